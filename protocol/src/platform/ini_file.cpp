#include <velmora/platform/ini_file.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <string_view>

namespace VelmoraPlatform {
namespace {

// Exactly these four; vertical tab and form feed are content.
bool is_ini_space(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

std::string_view trim(std::string_view text) {
    while (!text.empty() && is_ini_space(text.front())) {
        text.remove_prefix(1);
    }
    while (!text.empty() && is_ini_space(text.back())) {
        text.remove_suffix(1);
    }
    return text;
}

} // namespace

std::string read_ini_string(const char* path, const char* section, const char* key, const char* default_value) {
    const std::string fallback = default_value != nullptr ? default_value : "";
    if (path == nullptr || *path == '\0' || section == nullptr || key == nullptr) {
        return fallback;
    }
    std::ifstream file(path);
    if (!file.is_open()) {
        return fallback;
    }
    const std::string_view wanted_section(section);
    const std::string_view wanted_key(key);
    std::string current_section;
    std::string raw;
    while (std::getline(file, raw)) {
        const std::string_view line = trim(raw);
        if (line.empty() || line.front() == '#' || line.front() == ';') {
            continue;
        }
        if (line.size() >= 3 && line.front() == '[' && line.back() == ']') {
            current_section = std::string(trim(line.substr(1, line.size() - 2)));
            continue;
        }
        if (current_section != wanted_section) {
            continue;
        }
        const std::size_t equals = line.find('=');
        if (equals == std::string_view::npos) {
            continue;
        }
        if (trim(line.substr(0, equals)) == wanted_key) {
            return std::string(trim(line.substr(equals + 1)));
        }
    }
    return fallback;
}

std::uint32_t read_ini_uint32(const char* path, const char* section, const char* key, std::uint32_t default_value) {
    if (path == nullptr || *path == '\0' || section == nullptr || key == nullptr) {
        return default_value;
    }
    const std::string text = read_ini_string(path, section, key, "");
    if (text.empty()) {
        return default_value;
    }
    char* end = nullptr;
    errno = 0;
    const unsigned long value = std::strtoul(text.c_str(), &end, 10);
    if (end == text.c_str() || *end != '\0') {
        return default_value;
    }
    return static_cast<std::uint32_t>(value);
}

bool write_ini_string(const char*, const char*, const char*, const char*) { return false; }

} // namespace VelmoraPlatform
