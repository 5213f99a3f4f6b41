// Any bytes as a device file: a result or a reason, never a crash or a hang.
#include <velmora_compat/hal_control.h>

#include <cstddef>
#include <cstdint>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    std::vector<VelmoraCompat::Hal::DeviceDescription> devices;
    std::string error;
    if (VelmoraCompat::Hal::parse_device_file(text, &devices, &error)) {
        for (const auto& device : devices) {
            if (!VelmoraCompat::Hal::validate_description(device, &error)) {
                __builtin_trap();  // the parser let through what validation refuses
            }
        }
    } else if (error.empty()) {
        __builtin_trap();  // a refusal must say why
    }
    return 0;
}
