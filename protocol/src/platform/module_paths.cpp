#include <velmora/platform/module_paths.h>

#include <dlfcn.h>

#include <cstdint>

namespace VelmoraPlatform {
namespace {

// The path of the image holding the address, or empty when the loader cannot tell.
std::string image_path_of(const void* address) {
    if (address == nullptr) {
        return {};
    }
    Dl_info info{};
    if (dladdr(address, &info) == 0 || info.dli_fname == nullptr) {
        return {};
    }
    return info.dli_fname;
}

template <typename Char>
std::basic_string<Char> sibling_of(const std::basic_string<Char>& image, const Char* file_name) {
    const std::basic_string<Char> name(file_name);
    const std::size_t slash = image.find_last_of(std::basic_string<Char>{Char('/'), Char('\\')});
    if (slash == std::basic_string<Char>::npos) {
        return name;
    }
    return image.substr(0, slash + 1) + name;
}

// The loader's path is UTF-8 on every supported system: decode it, so that the wide path names
// the same file when `load_dynamic_library` encodes it again. A byte that does not start a valid
// sequence is taken as the code point of the same value.
std::wstring widen_path(const std::string& path) {
    std::wstring wide;
    wide.reserve(path.size());
    std::size_t i = 0;
    while (i < path.size()) {
        const auto lead = static_cast<unsigned char>(path[i]);
        std::size_t length = 0;
        std::uint32_t code = 0;
        std::uint32_t minimum = 0;
        if (lead >= 0xC2 && lead <= 0xDF) {
            length = 2, code = lead & 0x1Fu, minimum = 0x80;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            length = 3, code = lead & 0x0Fu, minimum = 0x800;
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            length = 4, code = lead & 0x07u, minimum = 0x10000;
        }
        bool valid = length != 0 && i + length <= path.size();
        for (std::size_t k = 1; valid && k < length; ++k) {
            const auto next = static_cast<unsigned char>(path[i + k]);
            valid = (next & 0xC0u) == 0x80u;
            code = (code << 6) | (next & 0x3Fu);
        }
        valid = valid && code >= minimum && code <= 0x10FFFF && !(code >= 0xD800 && code <= 0xDFFF);
        if (valid) {
            wide.push_back(static_cast<wchar_t>(code));
            i += length;
        } else {
            wide.push_back(static_cast<wchar_t>(lead));
            ++i;
        }
    }
    return wide;
}

} // namespace

std::string module_sibling_path(const void* address_in_module, const char* file_name) {
    if (file_name == nullptr || *file_name == '\0') {
        return {};
    }
    return sibling_of(image_path_of(address_in_module), file_name);
}

std::wstring module_sibling_path_wide(const void* address_in_module, const wchar_t* file_name) {
    if (file_name == nullptr || *file_name == L'\0') {
        return {};
    }
    const std::string image = image_path_of(address_in_module);
    return sibling_of(widen_path(image), file_name);
}

} // namespace VelmoraPlatform
