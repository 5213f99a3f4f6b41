#include <velmora/platform/module_paths.h>

#include <dlfcn.h>

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
    // Widened byte by byte, as the loader's path is taken to be 8-bit.
    std::wstring wide_image;
    wide_image.reserve(image.size());
    for (const char c : image) {
        wide_image.push_back(static_cast<wchar_t>(static_cast<unsigned char>(c)));
    }
    return sibling_of(wide_image, file_name);
}

} // namespace VelmoraPlatform
