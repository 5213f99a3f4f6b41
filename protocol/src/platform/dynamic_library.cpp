#include <velmora/platform/dynamic_library.h>

#include <dlfcn.h>

namespace VelmoraPlatform {

bool wide_path_to_utf8(const std::wstring& path, std::string& utf8) {
    utf8.clear();
    utf8.reserve(path.size());
    for (const wchar_t wide : path) {
        const auto code = static_cast<std::uint32_t>(wide);
        if ((code >= 0xD800 && code <= 0xDFFF) || code > 0x10FFFF) {
            utf8.clear();
            return false;
        }
        if (code < 0x80) {
            utf8.push_back(static_cast<char>(code));
        } else if (code < 0x800) {
            utf8.push_back(static_cast<char>(0xC0 | (code >> 6)));
            utf8.push_back(static_cast<char>(0x80 | (code & 0x3F)));
        } else if (code < 0x10000) {
            utf8.push_back(static_cast<char>(0xE0 | (code >> 12)));
            utf8.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
            utf8.push_back(static_cast<char>(0x80 | (code & 0x3F)));
        } else {
            utf8.push_back(static_cast<char>(0xF0 | (code >> 18)));
            utf8.push_back(static_cast<char>(0x80 | ((code >> 12) & 0x3F)));
            utf8.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
            utf8.push_back(static_cast<char>(0x80 | (code & 0x3F)));
        }
    }
    return true;
}

void* load_dynamic_library(const std::wstring& path) {
    if (path.empty()) {
        return nullptr;
    }
    std::string utf8;
    if (!wide_path_to_utf8(path, utf8)) {
        return nullptr;
    }
    return dlopen(utf8.c_str(), RTLD_NOW);
}

void* load_dynamic_symbol(void* handle, const char* name) {
    if (handle == nullptr || name == nullptr || *name == '\0') {
        return nullptr;
    }
    return dlsym(handle, name);
}

void unload_dynamic_library(void* handle) {
    if (handle != nullptr) {
        dlclose(handle);
    }
}

} // namespace VelmoraPlatform
