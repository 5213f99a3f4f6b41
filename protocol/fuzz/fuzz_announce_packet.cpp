#include "fuzz_check.h"

#include <velmora/protocol/packet_formats.h>

#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

using namespace VelmoraProtocol;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size > INT_MAX) {
        return 0;
    }
    AnnouncePacket packet;
    std::vector<std::int64_t> inputs;
    std::vector<std::int64_t> outputs;
    if (parse_announce_packet(reinterpret_cast<const char*>(data), static_cast<int>(size), packet, inputs,
                              outputs) != PacketParseResult::ok) {
        FUZZ_CHECK(inputs.empty() && outputs.empty());
        return 0;
    }
    FUZZ_CHECK(inputs.size() == packet.input_channel_count && outputs.size() == packet.output_channel_count);
    // The entries, widened and written back as their low 32 bits, give the same datagram.
    ClientSettings settings;
    settings.client_id = packet.client_id;
    settings.input_latency_blocks = packet.input_latency_blocks;
    settings.output_latency_blocks = packet.output_latency_blocks;
    settings.driver_inputs = inputs;
    settings.driver_outputs = outputs;
    const PacketBytes rebuilt = build_announce_packet(settings, packet.session_id);
    FUZZ_CHECK(rebuilt.size() == size && std::memcmp(rebuilt.data(), data, size) == 0);
    return 0;
}
