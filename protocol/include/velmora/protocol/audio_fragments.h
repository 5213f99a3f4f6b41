// Cutting audio blocks into fragment datagrams and putting them back together.
//
// A block is planar 32-bit float: `channel_count` rows of `frame_count` samples, sample (channel c,
// frame f) at index c x frame_count + f. A fragment is a rectangle of that matrix that fits one
// datagram of at most `max_packet_bytes` (52..65507; 52 is the 48-byte fixed part plus one sample):
//
//   whole-row mode (a full row fits)        split mode (one row does not fit)
//   fragment 0: rows 0..k-1, all frames     fragment 0: row 0, frames 0..m-1
//   fragment 1: rows k..2k-1, all frames    fragment 1: row 0, frames m..2m-1 (last piece shorter)
//   ...                                     fragment p: row 1, frames 0..m-1 ...
//
// with m = (max_packet_bytes - 48) / 4 samples per fragment and k = max(m / frame_count, 1).
// Either way a fragment is one contiguous run of the planar block.
//
// The receiver keeps a small ring of assembly slots, indexed by sequence modulo the slot count.
// Loss, duplication and reordering are tolerated: a fragment of an older block than the slot holds
// is dropped, a much newer block overtakes (and gives up) the unfinished one, a repeated fragment
// is ignored. Slots are zero-filled when (re)started, so a block never carries stale samples.
//
// Everything here is pure computation on caller-owned state: any thread, no locks, no system
// calls. Once the vectors involved have grown to the block size (slots, the result's block, the
// output datagrams), building and reassembling a steady stream allocates nothing.
#pragma once

#include <velmora/protocol/packet_formats.h>

#include <cstddef>
#include <cstdint>
#include <vector>

namespace VelmoraProtocol {

// Datagram limits for fragments: the 48-byte fixed part plus one sample, up to the largest UDP
// payload over IPv4.
inline constexpr std::size_t kMinAudioFragmentPacketBytes = 52;
inline constexpr std::size_t kMaxAudioFragmentPacketBytes = 65507;
// The engine's default limit (its udp_payload_bytes).
inline constexpr std::size_t kDefaultAudioFragmentPacketBytes = 1200;
inline constexpr std::size_t kMaxAudioFragmentCount = 65535;

// How one block is cut.
struct AudioFragmentPlan {
    std::uint16_t frame_count = 0;
    std::uint16_t channel_count = 0;
    std::uint64_t max_samples_per_fragment = 0; // (limit - 48) / 4
    std::uint16_t fragment_count = 0;           // 1..65535
    std::uint16_t channels_per_fragment = 0;    // whole-row mode: rows per fragment; split mode: 1
    std::uint16_t frames_per_fragment = 0; // whole-row mode: frame_count; split: max_samples_per_fragment
    bool whole_channels = false;           // at least one full row fits a datagram
};

// One fragment of a plan.
struct AudioFragmentDescriptor {
    std::uint16_t channel_offset = 0;
    std::uint16_t fragment_channel_count = 0;
    std::uint16_t frame_offset = 0;
    std::uint16_t fragment_frame_count = 0;
    std::uint64_t sample_count = 0; // fragment_channel_count x fragment_frame_count
};

// One block under reassembly.
struct AudioFragmentAssemblySlot {
    std::uint32_t sequence = 0;
    std::uint32_t sample_rate = 0;
    std::uint16_t frame_count = 0;
    std::uint16_t channel_count = 0;
    std::uint16_t fragment_count = 0;
    std::uint16_t received_count = 0; // distinct fragments stored so far
    bool active = false;
    std::vector<float> samples;         // channel_count x frame_count, zero-filled on (re)start
    std::vector<std::uint8_t> received; // one flag per fragment index

    // Zeroes the scalars and empties both vectors, keeping their capacity.
    void reset();
};

// A finished block as handed to its consumer. The assembler fills sequence, format and samples;
// the four times stay 0 for the engine to fill.
struct CompletedOutputBlock {
    std::uint32_t sequence = 0;
    std::uint32_t sample_rate = 0;
    std::uint16_t frame_count = 0;
    std::uint16_t channel_count = 0;
    std::uint64_t server_host_time_ns = 0;  // from the matching sync packet, or 0
    std::uint64_t server_time_local_ns = 0; // that time on the engine's host clock, or 0
    std::uint64_t receive_time_ns = 0;      // engine host time when the last fragment arrived
    std::uint64_t append_time_ns = 0;       // engine host time when handed to the output callback
    std::vector<float> samples;             // planar, channel_count x frame_count
};

// What happened to one fragment offered to the assembler.
struct AudioFragmentAssemblyResult {
    bool accepted = false;  // the fragment was stored
    bool completed = false; // it finished its block; `block` is valid
    // A block was given up: the fragment was older than its slot's block, or the slot's unfinished
    // block was overtaken and discarded.
    bool dropped = false;
    CompletedOutputBlock block;
};

struct EngineOutputReceiveState {
    bool has_last_sequence = false;
    std::uint32_t last_sequence = 0;
};

struct ServerInputPublishState {
    bool has_last_sequence = false;
    std::uint32_t last_sequence = 0;
};

struct EngineOutputReceiveDecision {
    bool accept = false;
    bool stale = false;
    std::uint32_t missing_first_sequence = 0;
    std::uint32_t missing_count = 0;
};

struct ServerInputPublishDecision {
    bool publish = false;
    bool too_old = false;
    bool duplicate = false;
};

struct AudioFragmentSlotDecision {
    bool accept = false;
    bool drop = false;
    bool reset = false;
};

// Cuts a block of `frame_count` x `channel_count` into fragments of at most `max_packet_bytes`.
// Fails (plan zeroed) for an empty block, more than 65535 channels, a limit outside 52..65507 or
// more than 65535 fragments.
bool build_audio_fragment_plan(std::uint16_t frame_count, std::size_t channel_count,
                               std::size_t max_packet_bytes, AudioFragmentPlan& plan);

// The rectangle of fragment `fragment_index`; fails (descriptor zeroed) for an index outside the
// plan or an inconsistent plan.
bool get_audio_fragment_descriptor(const AudioFragmentPlan& plan, std::uint16_t fragment_index,
                                   AudioFragmentDescriptor& descriptor);

// Sizes `out` to exactly one fragment datagram (reusing its capacity), writes the 48-byte fixed
// part and points `payload` at byte 48, where the caller writes `sample_count` samples. Fails, with
// `out` emptied, `payload` null and `sample_count` 0, for a zero client id, an empty block or
// fragment, a rectangle outside the block, an index outside the count, a limit outside 52..65507
// or a datagram above the limit. The sequence, rate and sample time are not checked.
bool prepare_audio_fragment_packet(std::uint32_t client_id, std::uint32_t sequence, std::uint32_t sample_rate,
                                   std::uint16_t frame_count, std::uint16_t channel_count,
                                   std::uint16_t channel_offset, std::uint16_t fragment_channel_count,
                                   std::uint16_t frame_offset, std::uint16_t fragment_frame_count,
                                   std::uint16_t fragment_index, std::uint16_t fragment_count,
                                   std::uint64_t server_sample_time, PacketBytes& out, float*& payload,
                                   std::size_t& sample_count, std::size_t max_packet_bytes);

// Prepares the datagram and copies the fragment's samples (row after row) into it. Fails, with
// `out` emptied, when the preparation fails, `samples` is null or `sample_count` is not the
// prepared count.
bool build_audio_fragment_packet(std::uint32_t client_id, std::uint32_t sequence, std::uint32_t sample_rate,
                                 std::uint16_t frame_count, std::uint16_t channel_count,
                                 std::uint16_t channel_offset, std::uint16_t fragment_channel_count,
                                 std::uint16_t frame_offset, std::uint16_t fragment_frame_count,
                                 std::uint16_t fragment_index, std::uint16_t fragment_count,
                                 std::uint64_t server_sample_time, const float* samples,
                                 std::size_t sample_count, PacketBytes& out, std::size_t max_packet_bytes);
bool build_audio_fragment_packet(std::uint32_t client_id, std::uint32_t sequence, std::uint32_t sample_rate,
                                 std::uint16_t frame_count, std::uint16_t channel_count,
                                 std::uint16_t channel_offset, std::uint16_t fragment_channel_count,
                                 std::uint16_t frame_offset, std::uint16_t fragment_frame_count,
                                 std::uint16_t fragment_index, std::uint16_t fragment_count,
                                 std::uint64_t server_sample_time, const std::vector<float>& samples,
                                 PacketBytes& out, std::size_t max_packet_bytes);

// Cuts the planar `block` (frame_count x channel_count samples) into `out`, one datagram per
// fragment in index order, server_sample_time 0. Resizes `out` to the fragment count and reuses the
// capacity of the datagrams already there. Fails, with `out` emptied, for a zero client id, no
// channels, a block of another size, or a plan that fails.
bool build_audio_fragment_packets(std::uint32_t client_id, std::uint32_t sequence, std::uint32_t sample_rate,
                                  std::uint16_t frame_count, std::size_t channel_count,
                                  const std::vector<float>& block, std::vector<PacketBytes>& out,
                                  std::size_t max_packet_bytes);

// True exactly when the fragment belongs to a block of `expected_channel_count` channels and
// 1..max_frame_count frames, its index lies below its count, its rectangle is non-empty and inside
// the block, and `samples` is non-null with `sample_count` = rows x frames.
bool validate_audio_fragment_assembly_input(const AudioFragmentPacket& packet, const float* samples,
                                            std::size_t sample_count, std::size_t expected_channel_count,
                                            std::uint16_t max_frame_count);

// Where a fragment of `sequence` stands against the block `slot` holds: slot count 0 sets nothing;
// an inactive slot or the same sequence: accept; an older sequence: drop; newer by at least the
// slot count: accept, drop and reset; newer by less: accept.
AudioFragmentSlotDecision decide_audio_fragment_assembly_slot(const AudioFragmentAssemblySlot& slot,
                                                              std::uint32_t sequence, std::size_t slot_count);

// Offers one parsed fragment to the slots (filled with `slot_count` default slots when empty; slot
// = sequence modulo their number). Returns false only for slot_count 0; otherwise `result` tells
// what happened: nothing set (invalid or repeated fragment), `accepted`, `completed` with the block,
// and/or `dropped`. With `move_block` the finished samples are swapped into `result.block` and the
// slot keeps the block's previous storage; otherwise they are copied. Reuse one `result` across
// calls so that its sample storage is recycled instead of allocated per block.
bool assemble_audio_fragment(std::vector<AudioFragmentAssemblySlot>& slots, const AudioFragmentPacket& packet,
                             const float* samples, std::size_t sample_count,
                             std::size_t expected_channel_count, std::uint16_t max_frame_count,
                             std::size_t slot_count, bool move_block, AudioFragmentAssemblyResult& result);

// Engine side, per completed output block: the first block is accepted; a block not newer than the
// last is stale (state unchanged); otherwise accepted, with the gap since the last one reported as
// missing_first_sequence / missing_count (0 when consecutive).
EngineOutputReceiveDecision decide_engine_output_receive(EngineOutputReceiveState& state,
                                                         std::uint32_t sequence);

// Server side, per completed input block: a block not newer than the last published one is a
// duplicate; one behind `oldest_wanted_sequence` is too old (state unchanged); otherwise it is
// recorded and published.
ServerInputPublishDecision decide_server_input_publish(ServerInputPublishState& state, std::uint32_t sequence,
                                                       std::uint32_t oldest_wanted_sequence);

} // namespace VelmoraProtocol
