#include <velmora/protocol/audio_fragments.h>

#include "wire_bytes.h"

#include <algorithm>
#include <cstring>

namespace VelmoraProtocol {

using detail::store_u16;
using detail::store_u32;
using detail::store_u64;

namespace {

bool limit_in_range(std::size_t max_packet_bytes) {
    return max_packet_bytes >= kMinAudioFragmentPacketBytes &&
           max_packet_bytes <= kMaxAudioFragmentPacketBytes;
}

std::size_t ceil_div(std::size_t a, std::size_t b) {
    return (a + b - 1) / b;
}

// The 48-byte fixed part, written in place so that a reused datagram keeps its storage.
void store_fragment_header(char* out, std::uint32_t size, std::uint32_t client_id, std::uint32_t sequence,
                           std::uint32_t sample_rate, std::uint16_t frame_count, std::uint16_t channel_count,
                           std::uint16_t channel_offset, std::uint16_t fragment_channel_count,
                           std::uint16_t frame_offset, std::uint16_t fragment_frame_count,
                           std::uint16_t fragment_index, std::uint16_t fragment_count,
                           std::uint64_t server_sample_time) {
    std::memcpy(out, kPacketMagic.data(), kPacketMagic.size());
    store_u16(out + 4, kProtocolVersion);
    store_u16(out + 6, static_cast<std::uint16_t>(PacketType::audio_fragment));
    store_u32(out + 8, size);
    store_u32(out + 12, client_id);
    store_u32(out + 16, sequence);
    store_u32(out + 20, sample_rate);
    store_u16(out + 24, frame_count);
    store_u16(out + 26, channel_count);
    store_u16(out + 28, channel_offset);
    store_u16(out + 30, fragment_channel_count);
    store_u16(out + 32, frame_offset);
    store_u16(out + 34, fragment_frame_count);
    store_u16(out + 36, fragment_index);
    store_u16(out + 38, fragment_count);
    store_u64(out + 40, server_sample_time);
}

// Starts (or restarts) a slot for the packet's block: zero-filled samples, no fragment received.
void start_slot(AudioFragmentAssemblySlot& slot, const AudioFragmentPacket& packet) {
    slot.sequence = packet.sequence;
    slot.sample_rate = packet.sample_rate;
    slot.frame_count = packet.frame_count;
    slot.channel_count = packet.channel_count;
    slot.fragment_count = packet.fragment_count;
    slot.received_count = 0;
    slot.active = true;
    // assign() rather than resize(): a restarted slot may still hold samples of the block it gave up.
    slot.samples.assign(static_cast<std::size_t>(packet.channel_count) * packet.frame_count, 0.0f);
    slot.received.assign(packet.fragment_count, 0);
}

// The assembly input check, inlined into the assembler's per-fragment path.
inline bool assembly_input_is_valid(const AudioFragmentPacket& packet, const float* samples,
                                    std::size_t sample_count, std::size_t expected_channel_count,
                                    std::uint16_t max_frame_count) {
    const int channel_end = packet.channel_offset + packet.fragment_channel_count;
    const int frame_end = packet.frame_offset + packet.fragment_frame_count;
    return packet.channel_count == expected_channel_count && packet.frame_count >= 1 &&
           packet.frame_count <= max_frame_count && packet.fragment_count >= 1 &&
           packet.fragment_index < packet.fragment_count && packet.fragment_channel_count != 0 &&
           packet.fragment_frame_count != 0 && packet.channel_offset < packet.channel_count &&
           channel_end <= packet.channel_count && packet.frame_offset < packet.frame_count &&
           frame_end <= packet.frame_count && samples != nullptr &&
           sample_count ==
               static_cast<std::size_t>(packet.fragment_channel_count) * packet.fragment_frame_count;
}

void clear_result(AudioFragmentAssemblyResult& result) {
    result.accepted = false;
    result.completed = false;
    result.dropped = false;
    CompletedOutputBlock& block = result.block;
    block.sequence = 0;
    block.sample_rate = 0;
    block.frame_count = 0;
    block.channel_count = 0;
    block.server_host_time_ns = 0;
    block.server_time_local_ns = 0;
    block.receive_time_ns = 0;
    block.append_time_ns = 0;
    // clear(), not a fresh record: the storage is recycled into the slots when blocks are moved.
    block.samples.clear();
}

} // namespace

void AudioFragmentAssemblySlot::reset() {
    sequence = 0;
    sample_rate = 0;
    frame_count = 0;
    channel_count = 0;
    fragment_count = 0;
    received_count = 0;
    active = false;
    samples.clear();
    received.clear();
}

bool build_audio_fragment_plan(std::uint16_t frame_count, std::size_t channel_count,
                               std::size_t max_packet_bytes, AudioFragmentPlan& plan) {
    plan = AudioFragmentPlan{};
    if (frame_count == 0 || channel_count == 0 || channel_count > 65535 ||
        !limit_in_range(max_packet_bytes)) {
        return false;
    }
    const std::size_t max_samples = (max_packet_bytes - kAudioFragmentPacketFixedSize) / 4;
    const std::size_t rows_per_fragment = std::max<std::size_t>(max_samples / frame_count, 1);
    const bool whole_channels = max_samples >= frame_count;
    const std::size_t fragment_count = whole_channels ? ceil_div(channel_count, rows_per_fragment)
                                                      : ceil_div(frame_count, max_samples) * channel_count;
    if (fragment_count == 0 || fragment_count > kMaxAudioFragmentCount) {
        return false;
    }
    // The narrowing below is exact: rows_per_fragment <= 16364 and, in split mode,
    // max_samples < frame_count <= 65535.
    plan.frame_count = frame_count;
    plan.channel_count = static_cast<std::uint16_t>(channel_count);
    plan.max_samples_per_fragment = max_samples;
    plan.fragment_count = static_cast<std::uint16_t>(fragment_count);
    plan.channels_per_fragment = whole_channels ? static_cast<std::uint16_t>(rows_per_fragment) : 1;
    plan.frames_per_fragment = whole_channels ? frame_count : static_cast<std::uint16_t>(max_samples);
    plan.whole_channels = whole_channels;
    return true;
}

bool get_audio_fragment_descriptor(const AudioFragmentPlan& plan, std::uint16_t fragment_index,
                                   AudioFragmentDescriptor& descriptor) {
    descriptor = AudioFragmentDescriptor{};
    if (plan.frame_count == 0 || plan.channel_count == 0 || plan.fragment_count == 0 ||
        plan.max_samples_per_fragment == 0 || fragment_index >= plan.fragment_count ||
        plan.channels_per_fragment == 0 || plan.frames_per_fragment == 0) {
        return false;
    }
    // Computed wide: a hand-made plan must fail here, not wrap into a valid-looking rectangle.
    std::uint64_t channel_offset = 0;
    std::uint64_t channel_rows = 0;
    std::uint64_t frame_offset = 0;
    std::uint64_t frames = 0;
    if (plan.whole_channels) {
        channel_offset = std::uint64_t{plan.channels_per_fragment} * fragment_index;
        if (channel_offset >= plan.channel_count) {
            return false;
        }
        channel_rows =
            std::min<std::uint64_t>(plan.channel_count - channel_offset, plan.channels_per_fragment);
        frames = plan.frame_count;
        if (channel_rows == 0) {
            return false;
        }
    } else {
        const std::uint64_t pieces_per_row = ceil_div(plan.frame_count, plan.max_samples_per_fragment);
        channel_offset = fragment_index / pieces_per_row;
        frame_offset = (fragment_index % pieces_per_row) * plan.max_samples_per_fragment;
        if (frame_offset >= plan.frame_count) {
            return false;
        }
        frames = std::min<std::uint64_t>(plan.frame_count - frame_offset, plan.max_samples_per_fragment);
        channel_rows = 1;
        if (frames == 0 || channel_offset >= plan.channel_count) {
            return false;
        }
    }
    if (frame_offset >= plan.frame_count || frame_offset > 0xFFFF || frames > 0xFFFF) {
        return false;
    }
    descriptor.channel_offset = static_cast<std::uint16_t>(channel_offset);
    descriptor.fragment_channel_count = static_cast<std::uint16_t>(channel_rows);
    descriptor.frame_offset = static_cast<std::uint16_t>(frame_offset);
    descriptor.fragment_frame_count = static_cast<std::uint16_t>(frames);
    descriptor.sample_count = channel_rows * frames;
    return true;
}

bool prepare_audio_fragment_packet(std::uint32_t client_id, std::uint32_t sequence, std::uint32_t sample_rate,
                                   std::uint16_t frame_count, std::uint16_t channel_count,
                                   std::uint16_t channel_offset, std::uint16_t fragment_channel_count,
                                   std::uint16_t frame_offset, std::uint16_t fragment_frame_count,
                                   std::uint16_t fragment_index, std::uint16_t fragment_count,
                                   std::uint64_t server_sample_time, PacketBytes& out, float*& payload,
                                   std::size_t& sample_count, std::size_t max_packet_bytes) {
    payload = nullptr;
    sample_count = 0;
    // Sums are taken in int, so 16-bit fields cannot wrap.
    const bool valid = client_id != 0 && frame_count != 0 && channel_count != 0 &&
                       fragment_channel_count != 0 && fragment_frame_count != 0 &&
                       channel_offset < channel_count &&
                       channel_offset + fragment_channel_count <= channel_count &&
                       frame_offset < frame_count && frame_offset + fragment_frame_count <= frame_count &&
                       fragment_index < fragment_count && limit_in_range(max_packet_bytes);
    const std::size_t count = static_cast<std::size_t>(fragment_channel_count) * fragment_frame_count;
    const std::size_t total = kAudioFragmentPacketFixedSize + 4 * count;
    if (!valid || total > max_packet_bytes) {
        out.clear();
        return false;
    }
    // A vector reused for a datagram of the same size is neither reallocated nor zero-filled.
    out.resize(total);
    store_fragment_header(out.data(), static_cast<std::uint32_t>(total), client_id, sequence, sample_rate,
                          frame_count, channel_count, channel_offset, fragment_channel_count, frame_offset,
                          fragment_frame_count, fragment_index, fragment_count, server_sample_time);
    payload = reinterpret_cast<float*>(out.data() + kAudioFragmentPacketFixedSize);
    sample_count = count;
    return true;
}

bool build_audio_fragment_packet(std::uint32_t client_id, std::uint32_t sequence, std::uint32_t sample_rate,
                                 std::uint16_t frame_count, std::uint16_t channel_count,
                                 std::uint16_t channel_offset, std::uint16_t fragment_channel_count,
                                 std::uint16_t frame_offset, std::uint16_t fragment_frame_count,
                                 std::uint16_t fragment_index, std::uint16_t fragment_count,
                                 std::uint64_t server_sample_time, const float* samples,
                                 std::size_t sample_count, PacketBytes& out, std::size_t max_packet_bytes) {
    float* payload = nullptr;
    std::size_t prepared_count = 0;
    if (!prepare_audio_fragment_packet(client_id, sequence, sample_rate, frame_count, channel_count,
                                       channel_offset, fragment_channel_count, frame_offset,
                                       fragment_frame_count, fragment_index, fragment_count,
                                       server_sample_time, out, payload, prepared_count, max_packet_bytes)) {
        return false;
    }
    if (samples == nullptr || sample_count != prepared_count) {
        out.clear();
        return false;
    }
    std::memcpy(out.data() + kAudioFragmentPacketFixedSize, samples, sample_count * sizeof(float));
    return true;
}

bool build_audio_fragment_packet(std::uint32_t client_id, std::uint32_t sequence, std::uint32_t sample_rate,
                                 std::uint16_t frame_count, std::uint16_t channel_count,
                                 std::uint16_t channel_offset, std::uint16_t fragment_channel_count,
                                 std::uint16_t frame_offset, std::uint16_t fragment_frame_count,
                                 std::uint16_t fragment_index, std::uint16_t fragment_count,
                                 std::uint64_t server_sample_time, const std::vector<float>& samples,
                                 PacketBytes& out, std::size_t max_packet_bytes) {
    return build_audio_fragment_packet(
        client_id, sequence, sample_rate, frame_count, channel_count, channel_offset, fragment_channel_count,
        frame_offset, fragment_frame_count, fragment_index, fragment_count, server_sample_time,
        samples.data(), samples.size(), out, max_packet_bytes);
}

bool build_audio_fragment_packets(std::uint32_t client_id, std::uint32_t sequence, std::uint32_t sample_rate,
                                  std::uint16_t frame_count, std::size_t channel_count,
                                  const std::vector<float>& block, std::vector<PacketBytes>& out,
                                  std::size_t max_packet_bytes) {
    // The size check divides rather than multiplies, so a huge channel count cannot wrap into a match.
    const bool block_matches =
        frame_count != 0 && block.size() % frame_count == 0 && block.size() / frame_count == channel_count;
    AudioFragmentPlan plan;
    if (client_id == 0 || channel_count == 0 || !block_matches ||
        !build_audio_fragment_plan(frame_count, channel_count, max_packet_bytes, plan)) {
        out.clear();
        return false;
    }
    out.resize(plan.fragment_count);
    for (std::uint16_t index = 0; index < plan.fragment_count; ++index) {
        AudioFragmentDescriptor descriptor;
        if (!get_audio_fragment_descriptor(plan, index, descriptor) ||
            kAudioFragmentPacketFixedSize + 4 * descriptor.sample_count > max_packet_bytes) {
            out.clear();
            return false;
        }
        PacketBytes& datagram = out[index];
        // A datagram reused at the same size is neither reallocated nor zero-filled.
        datagram.resize(kAudioFragmentPacketFixedSize + 4 * descriptor.sample_count);
        char* bytes = datagram.data();
        // Field by field, straight into the datagram: a shared header copied in and then patched
        // costs store-forwarding stalls that outweigh the stores saved.
        store_fragment_header(bytes, static_cast<std::uint32_t>(datagram.size()), client_id, sequence,
                              sample_rate, frame_count, plan.channel_count, descriptor.channel_offset,
                              descriptor.fragment_channel_count, descriptor.frame_offset,
                              descriptor.fragment_frame_count, index, plan.fragment_count, 0);
        // Whole rows or part of one row: always one contiguous run of the planar block.
        const std::size_t first =
            static_cast<std::size_t>(descriptor.channel_offset) * frame_count + descriptor.frame_offset;
        std::memcpy(bytes + kAudioFragmentPacketFixedSize, block.data() + first,
                    descriptor.sample_count * sizeof(float));
    }
    return true;
}

bool validate_audio_fragment_assembly_input(const AudioFragmentPacket& packet, const float* samples,
                                            std::size_t sample_count, std::size_t expected_channel_count,
                                            std::uint16_t max_frame_count) {
    return assembly_input_is_valid(packet, samples, sample_count, expected_channel_count, max_frame_count);
}

AudioFragmentSlotDecision decide_audio_fragment_assembly_slot(const AudioFragmentAssemblySlot& slot,
                                                              std::uint32_t sequence,
                                                              std::size_t slot_count) {
    AudioFragmentSlotDecision decision;
    if (slot_count == 0) {
        return decision;
    }
    if (!slot.active || slot.sequence == sequence) {
        decision.accept = true;
        return decision;
    }
    const std::int32_t ahead = sequence_difference(sequence, slot.sequence);
    if (ahead < 0) {
        decision.drop = true;
        return decision;
    }
    decision.accept = true;
    if (static_cast<std::uint64_t>(ahead) >= slot_count) {
        decision.drop = true;
        decision.reset = true;
    }
    return decision;
}

bool assemble_audio_fragment(std::vector<AudioFragmentAssemblySlot>& slots, const AudioFragmentPacket& packet,
                             const float* samples, std::size_t sample_count,
                             std::size_t expected_channel_count, std::uint16_t max_frame_count,
                             std::size_t slot_count, bool move_block, AudioFragmentAssemblyResult& result) {
    clear_result(result);
    if (slot_count == 0) {
        return false;
    }
    if (!assembly_input_is_valid(packet, samples, sample_count, expected_channel_count, max_frame_count)) {
        return true;
    }
    if (slots.empty()) {
        slots.resize(slot_count);
    }
    // Slot counts are powers of two in practice: a mask instead of a division then.
    const std::size_t slot_total = slots.size();
    const std::size_t slot_index = (slot_total & (slot_total - 1)) == 0 ? packet.sequence & (slot_total - 1)
                                                                        : packet.sequence % slot_total;
    AudioFragmentAssemblySlot& slot = slots[slot_index];

    if (slot.active && slot.sequence != packet.sequence) {
        if (sequence_difference(packet.sequence, slot.sequence) < 0) {
            result.dropped = true;
            return true;
        }
        // A newer block takes the slot and the unfinished one is given up. Normally that needs a lead
        // of at least the slot count, but with a slot count that does not divide 2^32 two blocks
        // closer than that share a slot across the wrap; that loss is reported too.
        result.dropped = true;
        slot.reset();
    }
    const bool same_block =
        slot.active && slot.sequence == packet.sequence && slot.sample_rate == packet.sample_rate &&
        slot.frame_count == packet.frame_count && slot.channel_count == packet.channel_count &&
        slot.fragment_count == packet.fragment_count;
    if (!same_block) {
        // Also discards a partial block of the same sequence in another format, without `dropped`.
        start_slot(slot, packet);
    }
    if (packet.fragment_index >= slot.received.size() || slot.received[packet.fragment_index] != 0) {
        return true;
    }

    // The payload may sit at any address inside the receive buffer: copied bytewise. Whole rows are
    // one contiguous run in the slot as well.
    const char* source = reinterpret_cast<const char*>(samples);
    float* target = slot.samples.data() + static_cast<std::size_t>(packet.channel_offset) * slot.frame_count +
                    packet.frame_offset;
    if (packet.fragment_frame_count == slot.frame_count) {
        std::memcpy(target, source, sample_count * sizeof(float));
    } else {
        const std::size_t row_bytes = static_cast<std::size_t>(packet.fragment_frame_count) * sizeof(float);
        for (std::size_t row = 0; row < packet.fragment_channel_count; ++row) {
            std::memcpy(target + row * slot.frame_count, source + row * row_bytes, row_bytes);
        }
    }
    slot.received[packet.fragment_index] = 1;
    ++slot.received_count;
    result.accepted = true;
    if (slot.received_count < slot.fragment_count) {
        return true;
    }

    result.completed = true;
    CompletedOutputBlock& block = result.block;
    block.sequence = slot.sequence;
    block.sample_rate = slot.sample_rate;
    block.frame_count = slot.frame_count;
    block.channel_count = slot.channel_count;
    if (move_block) {
        block.samples.swap(slot.samples);
    } else {
        block.samples = slot.samples;
    }
    slot.reset();
    return true;
}

EngineOutputReceiveDecision decide_engine_output_receive(EngineOutputReceiveState& state,
                                                         std::uint32_t sequence) {
    EngineOutputReceiveDecision decision;
    if (!state.has_last_sequence) {
        state.has_last_sequence = true;
        state.last_sequence = sequence;
        decision.accept = true;
        return decision;
    }
    if (!is_sequence_newer(sequence, state.last_sequence)) {
        decision.stale = true;
        return decision;
    }
    decision.accept = true;
    decision.missing_first_sequence = state.last_sequence + 1;
    decision.missing_count = sequence - (state.last_sequence + 1);
    state.last_sequence = sequence;
    return decision;
}

ServerInputPublishDecision decide_server_input_publish(ServerInputPublishState& state, std::uint32_t sequence,
                                                       std::uint32_t oldest_wanted_sequence) {
    ServerInputPublishDecision decision;
    if (state.has_last_sequence && !is_sequence_newer(sequence, state.last_sequence)) {
        decision.duplicate = true;
        return decision;
    }
    if (sequence_difference(sequence, oldest_wanted_sequence) < 0) {
        decision.too_old = true;
        return decision;
    }
    state.has_last_sequence = true;
    state.last_sequence = sequence;
    decision.publish = true;
    return decision;
}

} // namespace VelmoraProtocol
