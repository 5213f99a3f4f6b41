// Turning one device output block into the datagrams one client receives: a sync packet, then
// the fragments of the block restricted to the client's output channels, in the client's order.
// Any thread; no system calls. The packet vectors are resized, not rebuilt, so their storage is
// reused when the same caller builds batches of the same shape again.
#pragma once

#include <velmora/protocol/packet_formats.h>

#include <cstddef>
#include <cstdint>
#include <vector>

namespace VelmoraCore {

// A read-only view of one output block.
struct ServerOutputBlockView {
    std::uint32_t sequence = 0;
    std::uint32_t sample_rate = 0;
    std::size_t frames = 0;
    std::uint64_t sample_position = 0;
    std::uint64_t host_time_ns = 0;
    const float* samples = nullptr; // planar, run length `frames`
    std::size_t channels = 0;       // rows of `samples`
    std::vector<std::int64_t> channel_map; // device channel of each row
};

// The sync packet, then (for a non-empty map) the fragments. False, with `packets` empty, for
// client id 0, a view without frames, or fragments that cannot be built.
bool build_server_output_packet_batch(std::uint32_t client_id, const ServerOutputBlockView& view,
                                      const std::vector<std::int64_t>& output_channel_map, std::size_t payload_bytes,
                                      std::vector<VelmoraProtocol::PacketBytes>& packets);

// One row per map entry: row r carries the device channel map[r] (silence when that channel is
// not in the view), cut to fit `payload_bytes`. False, with `packets` empty, for client id 0, a
// view without frames, samples or channels, more than 65535 frames, a payload outside
// 52..65507, or an empty map.
bool build_server_output_fragment_packets(std::uint32_t client_id, const ServerOutputBlockView& view,
                                          const std::vector<std::int64_t>& output_channel_map,
                                          std::size_t payload_bytes,
                                          std::vector<VelmoraProtocol::PacketBytes>& packets);

} // namespace VelmoraCore
