// A stand-in engine library for the host's tests: the five C functions with a fixed, fully
// populated state, so the host's JSON can be checked byte for byte without a server.
//
// Its configuration file holds "key=value" lines: "refuse=1" makes start_from_config return 0;
// "client_id=N" sets the state's client id; "marker=PATH" makes stop and destroy append "stop" and
// "destroy" lines to PATH. The environment variable VELMORA_FAKE_ENGINE_CREATE_FAILS=1 makes
// create return null. Built without FAKE_ENGINE_WITHOUT_STOP it exports all five functions.
#include <velmora/engine/velmora_engine.h>

#include <cstdlib>
#include <fstream>
#include <string>

namespace {

struct FakeEngine {
    VelmoraEngineState state{5, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 8, 0, 0, 0, {}, {}, {}};
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
    if (g_engine != nullptr || (fail != nullptr && fail[0] == '1')) {
        return nullptr;
    }
    return g_engine = new FakeEngine;
}

VELMORA_ENGINE_EXPORT int velmora_engine_start_from_config(void* engine, const char* config_path) {
    if (engine == nullptr || config_path == nullptr) {
        return 0;
    }
    auto* fake = static_cast<FakeEngine*>(engine);
    std::ifstream file(config_path);
    unsigned client_id = 0;
    for (std::string line; std::getline(file, line);) {
        const std::string value = line.substr(line.find('=') + 1);
        if (line == "refuse=1") {
            return 0;
        } else if (line.starts_with("client_id=")) {
            client_id = static_cast<unsigned>(std::stoul(value));
        } else if (line.starts_with("marker=")) {
            fake->marker = value;
        }
    }
    // Running, degraded by an underrun, after a failed device recovery; two events, three levels.
    fake->state = {5, 3, 2, 5, 7, 23, 37, client_id, 48000, 128, 48000, 128, 2, 8, 2, 1, 3, {}, {}, {}};
    fake->state.recovery_events[0] = {1, 1000, 1, 10, 1, 3, 0, 38};
    fake->state.recovery_events[1] = {2, 1005, 3, 10, 1, 3, 7, 44};
    fake->state.input_levels[0] = {2, 500};
    fake->state.input_levels[1] = {3, 1000};
    fake->state.output_levels[0] = {0, 7};
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
