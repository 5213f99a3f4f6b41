// The engine library's C interface: the five exported functions around the process's one
// EngineRuntime (layout and contract in velmora_engine.h).
#include <velmora/engine/engine_runtime.h>
#include <velmora/engine/velmora_engine.h>

#include <mutex>
#include <new>

namespace {

std::mutex g_instance_mutex;
EngineRuntime* g_instance = nullptr;

EngineRuntime* runtime_of(void* engine) { return static_cast<EngineRuntime*>(engine); }

} // namespace

extern "C" {

void* velmora_engine_create(void) {
    std::lock_guard<std::mutex> lock(g_instance_mutex);
    if (g_instance != nullptr) {
        return nullptr;
    }
    g_instance = new (std::nothrow) EngineRuntime();
    return g_instance;
}

int velmora_engine_start_from_config(void* engine, const char* config_path) {
    if (engine == nullptr) {
        return 0;
    }
    return runtime_of(engine)->start_from_config(config_path) ? 1 : 0;
}

void velmora_engine_stop(void* engine) {
    if (engine != nullptr) {
        runtime_of(engine)->stop();
    }
}

void velmora_engine_destroy(void* engine) {
    if (engine == nullptr) {
        return;
    }
    EngineRuntime* runtime = runtime_of(engine);
    runtime->stop();
    {
        std::lock_guard<std::mutex> lock(g_instance_mutex);
        if (g_instance == runtime) {
            g_instance = nullptr;
        }
    }
    delete runtime;
}

int velmora_engine_get_state(void* engine, VelmoraEngineState* out) {
    if (engine == nullptr || out == nullptr) {
        return 0;
    }
    *out = runtime_of(engine)->get_state();
    return 1;
}

} // extern "C"
