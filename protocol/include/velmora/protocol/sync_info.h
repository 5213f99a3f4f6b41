#pragma once

#include <cstdint>

namespace VelmoraProtocol {

// What one accepted sync packet tells the engine: the server block's sequence, format and where
// that block sits on the server's sample and host clocks. Copied field for field from the packet.
struct SyncInfo {
    std::uint32_t sequence = 0;
    std::uint32_t sample_rate = 0;
    std::uint16_t frame_count = 0;
    std::uint64_t server_sample_time = 0;
    std::uint64_t server_host_time_ns = 0;
};

} // namespace VelmoraProtocol
