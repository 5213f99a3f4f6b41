#include <velmora/platform/environment.h>

#include <cstdlib>

namespace VelmoraPlatform {

std::string environment_string(const char* name) {
    if (name == nullptr || *name == '\0') {
        return {};
    }
    const char* value = std::getenv(name);
    return value != nullptr ? std::string(value) : std::string();
}

} // namespace VelmoraPlatform
