// A stand-in engine library for the host's tests: the five C functions with a fixed, fully
// populated state, so the host's JSON can be checked byte for byte without a server.
//
// Its configuration file holds "key=value" lines: "refuse=1" makes start_from_config return 0;
// "client_id=N" sets the state's client id; "marker=PATH" makes stop and destroy append "stop" and
// "destroy" lines to PATH. The environment variable VELMORA_FAKE_ENGINE_CREATE_FAILS=1 makes
// create return null. Built without FAKE_ENGINE_WITHOUT_STOP it exports all five functions.
#include "fake_engine_state.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

namespace {

struct FakeEngine {
    VelmoraEngineState state{};
    std::string marker;
};

FakeEngine* g_engine = nullptr;

void append_marker(const FakeEngine& engine, const char* line) {
    if (engine.marker.empty()) {
        return;
    }
    if (FILE* file = std::fopen(engine.marker.c_str(), "a")) {
        std::fprintf(file, "%s\n", line);
        std::fclose(file);
    }
}

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
    std::string line;
    unsigned client_id = 0;
    bool refuse = false;
    while (std::getline(file, line)) {
        const std::size_t equals = line.find('=');
        if (equals == std::string::npos) {
            continue;
        }
        const std::string key = line.substr(0, equals);
        const std::string value = line.substr(equals + 1);
        if (key == "refuse") {
            refuse = value == "1";
        } else if (key == "client_id") {
            client_id = static_cast<unsigned>(std::strtoul(value.c_str(), nullptr, 10));
        } else if (key == "marker") {
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
        append_marker(*static_cast<FakeEngine*>(engine), "stop");
    }
}
#endif

VELMORA_ENGINE_EXPORT void velmora_engine_destroy(void* engine) {
    if (engine == nullptr) {
        return;
    }
    auto* fake = static_cast<FakeEngine*>(engine);
    append_marker(*fake, "destroy");
    if (fake == g_engine) {
        g_engine = nullptr;
    }
    delete fake;
}

VELMORA_ENGINE_EXPORT int velmora_engine_get_state(void* engine, VelmoraEngineState* out) {
    if (engine == nullptr || out == nullptr) {
        return 0;
    }
    *out = static_cast<FakeEngine*>(engine)->state;
    return 1;
}

} // extern "C"
