// A tiny shared object for the loader tests: one exported function and one that reports where
// the library itself lives.
#include <velmora/platform/dynamic_library.h>
#include <velmora/platform/module_paths.h>

#include <cstring>

extern "C" __attribute__((visibility("default"))) int velmora_test_answer() { return 42; }

extern "C" __attribute__((visibility("default"))) void velmora_test_sibling(char* out, unsigned size) {
    const std::string path = VelmoraPlatform::module_sibling_path(
        reinterpret_cast<const void*>(&velmora_test_answer), "x.dylib");
    std::strncpy(out, path.c_str(), size);
    out[size - 1] = '\0';
}

extern "C" __attribute__((visibility("default"))) void* velmora_test_load_sibling_wide(const wchar_t* file_name) {
    const std::wstring path = VelmoraPlatform::module_sibling_path_wide(
        reinterpret_cast<const void*>(&velmora_test_answer), file_name);
    return VelmoraPlatform::load_dynamic_library(path);
}
