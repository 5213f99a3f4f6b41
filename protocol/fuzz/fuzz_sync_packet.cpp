#include "fuzz_check.h"

#include <velmora/protocol/packet_formats.h>

#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstring>

using namespace VelmoraProtocol;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size > INT_MAX) {
        return 0;
    }
    SyncPacket packet;
    if (parse_sync_packet(reinterpret_cast<const char*>(data), static_cast<int>(size), packet) !=
        PacketParseResult::ok) {
        return 0;
    }
    if (packet.reserved_26 == 0) {
        const PacketBytes rebuilt =
            build_sync_packet(packet.client_id, packet.sequence, packet.sample_rate, packet.frame_count,
                              packet.server_sample_time, packet.server_host_time_ns);
        FUZZ_CHECK(rebuilt.size() == size && std::memcmp(rebuilt.data(), data, size) == 0);
    }
    return 0;
}
