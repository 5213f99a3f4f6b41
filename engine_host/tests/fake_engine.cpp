// A stand-in engine library for the host's tests: the five C functions with a fixed, fully
// populated state, so the host's JSON can be checked byte for byte without a server.
//
// Its configuration file holds "key=value" lines: "refuse=1" makes start_from_config return 0;
// "client_id=N" sets the state's client id; "marker=PATH" makes stop and destroy append "stop" and
// "destroy" lines to PATH. The environment variable VELMORA_FAKE_ENGINE_CREATE_FAILS=1 makes
// create return null. Built without FAKE_ENGINE_WITHOUT_STOP it exports all five functions.
#include "fake_engine_state.h"

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

namespace {

struct FakeEngine {
    VelmoraEngineState state{};
    std::string marker;
    void mark(const char* line) const {
        if (!marker.empty()) {
            std::ofstream(marker, std::ios::app) << line << "\n";
        }
    }
};

FakeEngine* g_engine = nullptr;

} // namespace

extern "C" {

VELMORA_ENGINE_EXPORT void* velmora_engine_create(void) {
    const char* fail = std::getenv("VELMORA_FAKE_ENGINE_CREATE_FAILS");
    if (g_engine != nullptr || (fail != nullptr && std::strcmp(fail, "1") == 0)) {
        return nullptr;
    }
    g_engine = new FakeEngine;
    g_engine->state.abi_version = 5;
    g_engine->state.recovery_event_capacity = 8;
    return g_engine;
}

VELMORA_ENGINE_EXPORT int velmora_engine_start_from_config(void* engine, const char* config_path) {
    if (engine == nullptr || config_path == nullptr) {
        return 0;
    }
    auto* fake = static_cast<FakeEngine*>(engine);
    std::ifstream file(config_path);
    unsigned client_id = 0;
    bool refuse = false;
    for (std::string line; std::getline(file, line);) {
        const std::string value = line.substr(line.find('=') + 1);
        if (line.starts_with("refuse=")) {
            refuse = value == "1";
        } else if (line.starts_with("client_id=")) {
            client_id = static_cast<unsigned>(std::stoul(value));
        } else if (line.starts_with("marker=")) {
            fake->marker = value;
        }
    }
    if (refuse) {
        return 0;
    }
    VelmoraHostTest::fill_fake_engine_state(fake->state, client_id);
    return 1;
}

#ifndef FAKE_ENGINE_WITHOUT_STOP
VELMORA_ENGINE_EXPORT void velmora_engine_stop(void* engine) {
    if (engine != nullptr) {
        static_cast<FakeEngine*>(engine)->mark("stop");
    }
}
#endif

VELMORA_ENGINE_EXPORT void velmora_engine_destroy(void* engine) {
    if (engine != nullptr) {
        static_cast<FakeEngine*>(engine)->mark("destroy");
        delete static_cast<FakeEngine*>(engine);
        g_engine = nullptr;
    }
}

VELMORA_ENGINE_EXPORT int velmora_engine_get_state(void* engine, VelmoraEngineState* out) {
    if (engine == nullptr || out == nullptr) {
        return 0;
    }
    *out = static_cast<FakeEngine*>(engine)->state;
    return 1;
}

} // extern "C"
