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
    DiscoveryResponsePacket packet;
    if (parse_discovery_response_packet(reinterpret_cast<const char*>(data), static_cast<int>(size),
                                        packet) != PacketParseResult::ok) {
        return 0;
    }
    // What parses builds back to the same bytes when the constant fields hold the builder's values.
    if (packet.reserved_26 == 0 && packet.reserved_28 == 0 && packet.protocol_version == kProtocolVersion &&
        packet.capability_signature == kCapabilitySignature &&
        packet.reserved_44 == kDiscoveryResponseTrailer) {
        const PacketBytes rebuilt =
            build_discovery_response_packet(packet.client_id, packet.nonce, packet.server_port);
        FUZZ_CHECK(rebuilt.size() == size && std::memcmp(rebuilt.data(), data, size) == 0);
    }
    return 0;
}
