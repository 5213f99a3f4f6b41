// Any byte string given to the configuration loader ends in exactly one of two ways: success with
// no message, or failure with one non-empty, single-line message and the caller's record untouched.
#include <velmora/engine/app_config.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    AppConfig::Settings settings;
    settings.client.server_ip = "untouched";
    std::string error;
    const bool ok = AppConfig::load_from_text(text, settings, error);
    if (ok) {
        if (!error.empty() || settings.client.server_ip.empty() || settings.client.client_id == 0 ||
            settings.client.client_latency_blocks == 0 || settings.client.client_latency_blocks > 128 ||
            settings.client.udp_payload_bytes < 52 || settings.client.udp_payload_bytes > 65507) {
            std::abort();
        }
        for (const std::int64_t channel : settings.client.driver_inputs) {
            if (channel < 0 || channel > 31) {
                std::abort();
            }
        }
    } else {
        if (error.empty() || settings.client.server_ip != "untouched") {
            std::abort();
        }
        // Messages quote at most a list item, which is cut at ',' and free of line breaks.
        if (error.find('\n') != std::string::npos) {
            std::abort();
        }
    }
    return 0;
}
