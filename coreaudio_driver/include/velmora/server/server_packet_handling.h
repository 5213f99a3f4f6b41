// The receiver's pure steps: answering control requests and turning one client input fragment
// into (at most) one completed, publishable input block. Any thread; no system calls.
#pragma once

#include <velmora/protocol/audio_fragments.h>
#include <velmora/protocol/packet_formats.h>

#include <cstddef>
#include <cstdint>
#include <vector>

namespace VelmoraCore {

struct ServerControlResponse {
    bool is_control = false;   // a discovery or time-probe request
    bool has_response = false; // `packet` holds the answer
    VelmoraProtocol::PacketBytes packet;
};

// A discovery request is answered with `listen_port` as the server port; a time-probe request with
// the two server times. Anything else, or a request that does not parse, has no response.
ServerControlResponse build_server_control_packet_response(const char* data, int size, std::uint16_t listen_port,
                                                           std::uint64_t receive_time_ns,
                                                           std::uint64_t send_time_ns);

struct ServerInputReceiveResult {
    bool fragment_accepted = false;
    bool block_complete = false;
    bool publish = false; // the completed block may go to the device
    bool late = false;    // a block was given up: behind the device, overtaken, or too far ahead
    bool stale = false;   // the completed block was already published (or is older)
    std::uint32_t sequence = 0;
    std::uint32_t sample_rate = 0;
    std::uint16_t frames = 0;
    std::uint16_t channels = 0;
    std::uint64_t sample_time = 0; // the fragment's server_sample_time
    // The completed block, planar: `frames` samples per client input channel, in the order of the
    // client's input map. Its storage is recycled from call to call.
    std::vector<float> samples;
};

// Offers one parsed input fragment of a client to its reassembly slots. False (nothing changed)
// when `assembly_client_id` is 0 or not the fragment's, when the map is empty or has an entry
// outside 0..channel_limit-1, or when the assembler refuses. A completed block is published when
// it is newer than the last one published and not behind `expected_sequence`; a block behind it,
// or as many blocks ahead as the device's input ring holds (kServerInputRingBlocks) or more, is
// `late` and leaves `publish_state` as it was. Allocation-free once the slots and
// `result.samples` have grown to the block size.
bool process_server_input_audio_fragment(std::uint32_t assembly_client_id, const std::vector<std::int64_t>& channel_map,
                                         std::vector<VelmoraProtocol::AudioFragmentAssemblySlot>& slots,
                                         VelmoraProtocol::ServerInputPublishState& publish_state,
                                         const VelmoraProtocol::AudioFragmentPacket& packet, const float* samples,
                                         std::size_t sample_count, std::uint32_t expected_sequence,
                                         std::size_t channel_limit, std::uint16_t frame_limit, std::size_t slot_count,
                                         ServerInputReceiveResult& result);

} // namespace VelmoraCore
