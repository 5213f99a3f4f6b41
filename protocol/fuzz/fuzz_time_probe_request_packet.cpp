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
    TimeProbeRequestPacket packet;
    if (parse_time_probe_request_packet(reinterpret_cast<const char*>(data), static_cast<int>(size),
                                        packet) != PacketParseResult::ok) {
        return 0;
    }
    const PacketBytes rebuilt =
        build_time_probe_request_packet(packet.client_id, packet.probe_id, packet.client_send_time_ns);
    FUZZ_CHECK(rebuilt.size() == size && std::memcmp(rebuilt.data(), data, size) == 0);
    return 0;
}
