#include <velmora/protocol/packet_formats.h>

#include "wire_bytes.h"

namespace VelmoraProtocol {

using detail::append_u16;
using detail::append_u32;
using detail::append_u64;
using detail::load_u16;
using detail::load_u32;
using detail::load_u64;

namespace {

void append_header(PacketBytes& out, PacketType type, std::size_t size, std::uint32_t client_id) {
    for (const char byte : kPacketMagic) {
        out.push_back(byte);
    }
    append_u16(out, kProtocolVersion);
    append_u16(out, static_cast<std::uint16_t>(type));
    append_u32(out, static_cast<std::uint32_t>(size));
    append_u32(out, client_id);
}

PacketBytes start_packet(PacketType type, std::size_t size, std::uint32_t client_id) {
    PacketBytes out;
    out.reserve(size);
    append_header(out, type, size, client_id);
    return out;
}

bool size_matches(std::uint32_t size, int length) {
    return length >= 0 && size == static_cast<std::uint32_t>(length);
}

// The header part of any record: clears the whole record, then runs the checks shared by every
// parser, in their fixed order. The header fields are filled even when a later check fails.
template <typename Record>
PacketParseResult parse_header_fields(const char* data, int length, Record& record) {
    record = Record{};
    if (data == nullptr) {
        return PacketParseResult::null_buffer;
    }
    if (length < static_cast<int>(kPacketHeaderSize)) {
        return PacketParseResult::too_short;
    }
    record.magic = {data[0], data[1], data[2], data[3]};
    record.version = load_u16(data + 4);
    record.type = load_u16(data + 6);
    record.size = load_u32(data + 8);
    record.client_id = load_u32(data + 12);
    if (load_u32(data) != kPacketMagicValue) {
        return PacketParseResult::bad_magic;
    }
    if (record.version != kProtocolVersion) {
        return PacketParseResult::bad_version;
    }
    if (!size_matches(record.size, length)) {
        return PacketParseResult::bad_size;
    }
    if (record.client_id == 0) {
        return PacketParseResult::zero_client;
    }
    return PacketParseResult::ok;
}

template <typename Record>
PacketParseResult parse_fixed_size(const char* data, int length, Record& record, PacketType type,
                                   std::size_t fixed_size) {
    const PacketParseResult header = parse_header_fields(data, length, record);
    if (header != PacketParseResult::ok) {
        return header;
    }
    if (record.type != static_cast<std::uint16_t>(type)) {
        return PacketParseResult::wrong_type;
    }
    if (length != static_cast<int>(fixed_size)) {
        return PacketParseResult::bad_size;
    }
    return PacketParseResult::ok;
}

} // namespace

const char* packet_parse_result_name(PacketParseResult result) {
    switch (result) {
    case PacketParseResult::ok:
        return "ok";
    case PacketParseResult::null_buffer:
        return "null_buffer";
    case PacketParseResult::too_short:
        return "too_short";
    case PacketParseResult::bad_magic:
        return "bad_magic";
    case PacketParseResult::bad_version:
        return "bad_version";
    case PacketParseResult::bad_size:
        return "bad_size";
    case PacketParseResult::zero_client:
        return "zero_client";
    case PacketParseResult::wrong_type:
        return "wrong_type";
    case PacketParseResult::invalid_payload:
        return "invalid_payload";
    }
    return "unknown";
}

PacketBytes build_discovery_request_packet(std::uint32_t client_id, std::uint64_t nonce) {
    PacketBytes out = start_packet(PacketType::discovery_request, kDiscoveryRequestPacketSize, client_id);
    append_u64(out, nonce);
    append_u32(out, 0);
    append_u32(out, 0);
    return out;
}

PacketBytes build_discovery_response_packet(std::uint32_t client_id, std::uint64_t nonce,
                                            std::uint16_t server_port) {
    PacketBytes out = start_packet(PacketType::discovery_response, kDiscoveryResponsePacketSize, client_id);
    append_u64(out, nonce);
    append_u16(out, server_port);
    append_u16(out, 0);
    append_u32(out, 0);
    append_u32(out, kProtocolVersion);
    append_u64(out, kCapabilitySignature);
    append_u32(out, kDiscoveryResponseTrailer);
    return out;
}

PacketBytes build_time_probe_request_packet(std::uint32_t client_id, std::uint64_t probe_id,
                                            std::uint64_t client_send_time_ns) {
    PacketBytes out = start_packet(PacketType::time_probe_request, kTimeProbeRequestPacketSize, client_id);
    append_u64(out, probe_id);
    append_u64(out, client_send_time_ns);
    return out;
}

PacketBytes build_time_probe_response_packet(std::uint32_t client_id, std::uint64_t probe_id,
                                             std::uint64_t client_send_time_ns,
                                             std::uint64_t server_receive_time_ns,
                                             std::uint64_t server_send_time_ns) {
    PacketBytes out = start_packet(PacketType::time_probe_response, kTimeProbeResponsePacketSize, client_id);
    append_u64(out, probe_id);
    append_u64(out, client_send_time_ns);
    append_u64(out, server_receive_time_ns);
    append_u64(out, server_send_time_ns);
    return out;
}

PacketBytes build_sync_packet(std::uint32_t client_id, std::uint32_t sequence, std::uint32_t sample_rate,
                              std::uint16_t frame_count, std::uint64_t server_sample_time,
                              std::uint64_t server_host_time_ns) {
    PacketBytes out;
    build_sync_packet(client_id, sequence, sample_rate, frame_count, server_sample_time, server_host_time_ns, out);
    return out;
}

void build_sync_packet(std::uint32_t client_id, std::uint32_t sequence, std::uint32_t sample_rate,
                       std::uint16_t frame_count, std::uint64_t server_sample_time, std::uint64_t server_host_time_ns,
                       PacketBytes& out) {
    out.clear();
    out.reserve(kSyncPacketSize);
    append_header(out, PacketType::sync, kSyncPacketSize, client_id);
    append_u32(out, sequence);
    append_u32(out, sample_rate);
    append_u16(out, frame_count);
    append_u16(out, 0);
    append_u64(out, server_sample_time);
    append_u64(out, server_host_time_ns);
}

PacketBytes build_announce_packet(const ClientSettings& settings) {
    return build_announce_packet(settings, 0);
}

PacketBytes build_announce_packet(const ClientSettings& settings, std::uint32_t session_id) {
    const std::size_t size =
        kAnnouncePacketFixedSize + 4 * (settings.driver_inputs.size() + settings.driver_outputs.size());
    PacketBytes out = start_packet(PacketType::announce, size, settings.client_id);
    append_u16(out, static_cast<std::uint16_t>(settings.driver_inputs.size()));
    append_u16(out, static_cast<std::uint16_t>(settings.driver_outputs.size()));
    append_u32(out, session_id);
    append_u32(out, settings.input_latency_blocks);
    append_u32(out, settings.output_latency_blocks);
    for (const std::int64_t entry : settings.driver_inputs) {
        append_u32(out, static_cast<std::uint32_t>(entry));
    }
    for (const std::int64_t entry : settings.driver_outputs) {
        append_u32(out, static_cast<std::uint32_t>(entry));
    }
    return out;
}

PacketBytes build_client_disconnect_packet(std::uint32_t client_id, std::uint32_t session_id) {
    PacketBytes out = start_packet(PacketType::announce, kAnnouncePacketFixedSize, client_id);
    append_u16(out, 0);
    append_u16(out, 0);
    append_u32(out, session_id);
    append_u32(out, 0);
    append_u32(out, 0);
    return out;
}

PacketParseResult parse_packet_header(const char* data, int length, PacketHeader& header) {
    return parse_header_fields(data, length, header);
}

bool validate_header(const PacketHeader& header, int length) {
    return header.magic == kPacketMagic && header.version == kProtocolVersion &&
           size_matches(header.size, length) && header.client_id != 0;
}

PacketParseResult parse_discovery_request_packet(const char* data, int length,
                                                 DiscoveryRequestPacket& packet) {
    const PacketParseResult result =
        parse_fixed_size(data, length, packet, PacketType::discovery_request, kDiscoveryRequestPacketSize);
    if (result != PacketParseResult::ok) {
        return result;
    }
    packet.nonce = load_u64(data + 16);
    packet.reserved_24 = load_u32(data + 24);
    packet.reserved_28 = load_u32(data + 28);
    return PacketParseResult::ok;
}

PacketParseResult parse_discovery_response_packet(const char* data, int length,
                                                  DiscoveryResponsePacket& packet) {
    const PacketParseResult result =
        parse_fixed_size(data, length, packet, PacketType::discovery_response, kDiscoveryResponsePacketSize);
    if (result != PacketParseResult::ok) {
        return result;
    }
    packet.nonce = load_u64(data + 16);
    packet.server_port = load_u16(data + 24);
    packet.reserved_26 = load_u16(data + 26);
    packet.reserved_28 = load_u32(data + 28);
    packet.protocol_version = load_u32(data + 32);
    packet.capability_signature = load_u64(data + 36);
    packet.reserved_44 = load_u32(data + 44);
    return PacketParseResult::ok;
}

PacketParseResult parse_time_probe_request_packet(const char* data, int length,
                                                  TimeProbeRequestPacket& packet) {
    const PacketParseResult result =
        parse_fixed_size(data, length, packet, PacketType::time_probe_request, kTimeProbeRequestPacketSize);
    if (result != PacketParseResult::ok) {
        return result;
    }
    packet.probe_id = load_u64(data + 16);
    packet.client_send_time_ns = load_u64(data + 24);
    return PacketParseResult::ok;
}

PacketParseResult parse_time_probe_response_packet(const char* data, int length,
                                                   TimeProbeResponsePacket& packet) {
    const PacketParseResult result =
        parse_fixed_size(data, length, packet, PacketType::time_probe_response, kTimeProbeResponsePacketSize);
    if (result != PacketParseResult::ok) {
        return result;
    }
    packet.probe_id = load_u64(data + 16);
    packet.client_send_time_ns = load_u64(data + 24);
    packet.server_receive_time_ns = load_u64(data + 32);
    packet.server_send_time_ns = load_u64(data + 40);
    return PacketParseResult::ok;
}

PacketParseResult parse_sync_packet(const char* data, int length, SyncPacket& packet) {
    const PacketParseResult result =
        parse_fixed_size(data, length, packet, PacketType::sync, kSyncPacketSize);
    if (result != PacketParseResult::ok) {
        return result;
    }
    packet.sequence = load_u32(data + 16);
    packet.sample_rate = load_u32(data + 20);
    packet.frame_count = load_u16(data + 24);
    packet.reserved_26 = load_u16(data + 26);
    packet.server_sample_time = load_u64(data + 28);
    packet.server_host_time_ns = load_u64(data + 36);
    return PacketParseResult::ok;
}

PacketParseResult parse_announce_packet(const char* data, int length, AnnouncePacket& packet,
                                        std::vector<std::int64_t>& input_entries,
                                        std::vector<std::int64_t>& output_entries) {
    input_entries.clear();
    output_entries.clear();
    const PacketParseResult header = parse_header_fields(data, length, packet);
    if (header != PacketParseResult::ok) {
        return header;
    }
    if (length < static_cast<int>(kAnnouncePacketFixedSize) ||
        packet.type != static_cast<std::uint16_t>(PacketType::announce)) {
        return PacketParseResult::invalid_payload;
    }
    packet.input_channel_count = load_u16(data + 16);
    packet.output_channel_count = load_u16(data + 18);
    packet.session_id = load_u32(data + 20);
    packet.input_latency_blocks = load_u32(data + 24);
    packet.output_latency_blocks = load_u32(data + 28);
    const std::size_t entry_count =
        static_cast<std::size_t>(packet.input_channel_count) + packet.output_channel_count;
    if (kAnnouncePacketFixedSize + 4 * entry_count != static_cast<std::size_t>(length)) {
        return PacketParseResult::invalid_payload;
    }
    const char* entry = data + kAnnouncePacketFixedSize;
    input_entries.resize(packet.input_channel_count);
    for (std::int64_t& value : input_entries) {
        value = static_cast<std::int32_t>(load_u32(entry));
        entry += 4;
    }
    output_entries.resize(packet.output_channel_count);
    for (std::int64_t& value : output_entries) {
        value = static_cast<std::int32_t>(load_u32(entry));
        entry += 4;
    }
    return PacketParseResult::ok;
}

PacketParseResult parse_audio_fragment_packet(const char* data, int length, AudioFragmentPacket& packet,
                                              const float*& samples, std::size_t& sample_count) {
    samples = nullptr;
    sample_count = 0;
    const PacketParseResult header = parse_header_fields(data, length, packet);
    if (header != PacketParseResult::ok) {
        return header;
    }
    if (length < static_cast<int>(kAudioFragmentPacketFixedSize) ||
        packet.type != static_cast<std::uint16_t>(PacketType::audio_fragment)) {
        return PacketParseResult::invalid_payload;
    }
    packet.sequence = load_u32(data + 16);
    packet.sample_rate = load_u32(data + 20);
    packet.frame_count = load_u16(data + 24);
    packet.channel_count = load_u16(data + 26);
    packet.channel_offset = load_u16(data + 28);
    packet.fragment_channel_count = load_u16(data + 30);
    packet.frame_offset = load_u16(data + 32);
    packet.fragment_frame_count = load_u16(data + 34);
    packet.fragment_index = load_u16(data + 36);
    packet.fragment_count = load_u16(data + 38);
    packet.server_sample_time = load_u64(data + 40);

    // Sums are taken in int, so 16-bit fields cannot wrap.
    const int channel_end = packet.channel_offset + packet.fragment_channel_count;
    const int frame_end = packet.frame_offset + packet.fragment_frame_count;
    if (packet.frame_count == 0 || packet.channel_count == 0 || packet.fragment_channel_count == 0 ||
        packet.fragment_frame_count == 0 || packet.fragment_count == 0 ||
        packet.fragment_index >= packet.fragment_count || packet.channel_offset >= packet.channel_count ||
        channel_end > packet.channel_count || packet.frame_offset >= packet.frame_count ||
        frame_end > packet.frame_count) {
        return PacketParseResult::invalid_payload;
    }
    const std::size_t count =
        static_cast<std::size_t>(packet.fragment_channel_count) * packet.fragment_frame_count;
    if (kAudioFragmentPacketFixedSize + 4 * count != static_cast<std::size_t>(length)) {
        return PacketParseResult::invalid_payload;
    }
    samples = reinterpret_cast<const float*>(data + kAudioFragmentPacketFixedSize);
    sample_count = count;
    return PacketParseResult::ok;
}

} // namespace VelmoraProtocol
