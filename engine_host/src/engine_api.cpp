#include <velmora/engine_host/engine_api.h>

#include <velmora/platform/dynamic_library.h>

namespace VelmoraMac {
namespace {

template <typename Function>
Function resolve(void* library, const char* name) {
    return reinterpret_cast<Function>(VelmoraPlatform::load_dynamic_symbol(library, name));
}

} // namespace

bool load_engine_api(const std::wstring& path, EngineApi& api, std::string& error) {
    unload_engine_api(api);
    void* library = VelmoraPlatform::load_dynamic_library(path);
    if (library == nullptr) {
        error = "engine library load failed";
        return false;
    }
    EngineApi loaded;
    loaded.library = library;
    loaded.create = resolve<decltype(loaded.create)>(library, "velmora_engine_create");
    loaded.start_from_config = resolve<decltype(loaded.start_from_config)>(library, "velmora_engine_start_from_config");
    loaded.stop = resolve<decltype(loaded.stop)>(library, "velmora_engine_stop");
    loaded.destroy = resolve<decltype(loaded.destroy)>(library, "velmora_engine_destroy");
    loaded.get_state = resolve<decltype(loaded.get_state)>(library, "velmora_engine_get_state");

    const char* missing = nullptr;
    if (loaded.create == nullptr) {
        missing = "missing velmora_engine_create";
    } else if (loaded.start_from_config == nullptr) {
        missing = "missing velmora_engine_start_from_config";
    } else if (loaded.stop == nullptr) {
        missing = "missing velmora_engine_stop";
    } else if (loaded.destroy == nullptr) {
        missing = "missing velmora_engine_destroy";
    } else if (loaded.get_state == nullptr) {
        missing = "missing velmora_engine_get_state";
    }
    if (missing != nullptr) {
        VelmoraPlatform::unload_dynamic_library(library);
        error = missing;
        return false;
    }
    api = loaded;
    return true;
}

void unload_engine_api(EngineApi& api) {
    VelmoraPlatform::unload_dynamic_library(api.library);
    api = EngineApi{};
}

} // namespace VelmoraMac
