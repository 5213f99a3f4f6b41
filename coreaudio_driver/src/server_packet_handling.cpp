#include <velmora/server/server_packet_handling.h>

#include <velmora/server/server_limits.h>

#include <utility>

namespace VelmoraCore {

using VelmoraProtocol::PacketParseResult;
using VelmoraProtocol::PacketType;

ServerControlResponse build_server_control_packet_response(const char* data, int size, std::uint16_t listen_port,
                                                           std::uint64_t receive_time_ns,
                                                           std::uint64_t send_time_ns) {
    ServerControlResponse response;
    VelmoraProtocol::PacketHeader header;
    if (VelmoraProtocol::parse_packet_header(data, size, header) != PacketParseResult::ok) {
        return response;
    }
    const std::uint16_t type = header.type;
    if (type == static_cast<std::uint16_t>(PacketType::time_probe_request)) {
        response.is_control = true;
        VelmoraProtocol::TimeProbeRequestPacket request;
        if (VelmoraProtocol::parse_time_probe_request_packet(data, size, request) == PacketParseResult::ok) {
            response.packet = VelmoraProtocol::build_time_probe_response_packet(
                request.client_id, request.probe_id, request.client_send_time_ns, receive_time_ns, send_time_ns);
            response.has_response = true;
        }
    } else if (type == static_cast<std::uint16_t>(PacketType::discovery_request)) {
        response.is_control = true;
        VelmoraProtocol::DiscoveryRequestPacket request;
        if (VelmoraProtocol::parse_discovery_request_packet(data, size, request) == PacketParseResult::ok) {
            response.packet =
                VelmoraProtocol::build_discovery_response_packet(request.client_id, request.nonce, listen_port);
            response.has_response = true;
        }
    }
    return response;
}

bool process_server_input_audio_fragment(std::uint32_t assembly_client_id, const std::vector<std::int64_t>& channel_map,
                                         std::vector<VelmoraProtocol::AudioFragmentAssemblySlot>& slots,
                                         VelmoraProtocol::ServerInputPublishState& publish_state,
                                         const VelmoraProtocol::AudioFragmentPacket& packet, const float* samples,
                                         std::size_t sample_count, std::uint32_t expected_sequence,
                                         std::size_t channel_limit, std::uint16_t frame_limit, std::size_t slot_count,
                                         ServerInputReceiveResult& result) {
    // Cleared field by field: the sample storage is kept for the next block.
    std::vector<float> storage = std::move(result.samples);
    storage.clear();
    result = ServerInputReceiveResult{};

    if (assembly_client_id == 0 || assembly_client_id != packet.client_id || channel_map.empty()) {
        result.samples = std::move(storage);
        return false;
    }
    for (std::int64_t entry : channel_map) {
        if (entry < 0 || static_cast<std::uint64_t>(entry) >= channel_limit) {
            result.samples = std::move(storage);
            return false;
        }
    }

    // The assembler swaps the finished samples out of the slot; handing it our spare storage
    // gives the slot that storage back, so a steady stream allocates nothing.
    VelmoraProtocol::AudioFragmentAssemblyResult assembly;
    assembly.block.samples = std::move(storage);
    if (!VelmoraProtocol::assemble_audio_fragment(slots, packet, samples, sample_count, channel_map.size(),
                                                  frame_limit, slot_count, true, assembly)) {
        result.samples = std::move(assembly.block.samples);
        result.samples.clear();
        return false;
    }
    result.fragment_accepted = assembly.accepted;
    result.late = assembly.dropped;
    result.samples = std::move(assembly.block.samples);
    if (!assembly.completed) {
        result.samples.clear();
        return true;
    }

    result.block_complete = true;
    result.sequence = assembly.block.sequence;
    result.sample_rate = assembly.block.sample_rate;
    result.frames = assembly.block.frame_count;
    result.channels = assembly.block.channel_count;
    result.sample_time = packet.server_sample_time;

    // The device's input ring holds kServerInputRingBlocks blocks by sequence modulo its size: a
    // block that far ahead would land on blocks still to be played, its own and other clients'.
    if (VelmoraProtocol::sequence_difference(result.sequence, expected_sequence) >=
        static_cast<std::int32_t>(kServerInputRingBlocks)) {
        result.late = true;
        return true;
    }
    const VelmoraProtocol::ServerInputPublishDecision decision =
        VelmoraProtocol::decide_server_input_publish(publish_state, result.sequence, expected_sequence);
    result.publish = decision.publish;
    if (decision.too_old) {
        result.late = true;
    }
    result.stale = decision.duplicate;
    return true;
}

} // namespace VelmoraCore
