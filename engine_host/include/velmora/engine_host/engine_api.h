// The engine library as the host sees it: a loaded image and its five C functions, resolved by
// name so the host never links the engine.
#pragma once

#include <velmora/engine/velmora_engine.h>

#include <string>

namespace VelmoraMac {

struct EngineApi {
    void* library = nullptr;
    void* (*create)() = nullptr;
    int (*start_from_config)(void* engine, const char* config_path) = nullptr;
    void (*stop)(void* engine) = nullptr;
    void (*destroy)(void* engine) = nullptr;
    int (*get_state)(void* engine, VelmoraEngineState* state) = nullptr;
};

// Control thread; blocks on the loader. Unloads whatever `api` holds, loads the library and
// resolves the five functions. On failure `api` is empty and `error` is "engine library load
// failed" or "missing <function>" for the first missing one (in the order of EngineApi).
bool load_engine_api(const std::wstring& path, EngineApi& api, std::string& error);
// Control thread. Unloads the library when loaded and clears every field.
void unload_engine_api(EngineApi& api);

} // namespace VelmoraMac
