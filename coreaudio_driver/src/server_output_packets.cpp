#include <velmora/server/server_output_packets.h>

#include <velmora/protocol/audio_fragments.h>

#include <algorithm>
#include <cstring>

namespace VelmoraCore {
namespace {

// Row of `view.samples` holding `device_channel`, or -1.
std::ptrdiff_t view_row_of(const ServerOutputBlockView& view, std::int64_t device_channel) {
    if (device_channel < 0 || static_cast<std::uint64_t>(device_channel) >= view.channels) {
        return -1;
    }
    const std::size_t rows = std::min(view.channels, view.channel_map.size());
    for (std::size_t row = 0; row < rows; ++row) {
        if (view.channel_map[row] == device_channel) {
            return static_cast<std::ptrdiff_t>(row);
        }
    }
    return -1;
}

// Builds the fragments into packets[first ...], resizing `packets` to first + fragment count.
bool fill_fragment_packets(std::uint32_t client_id, const ServerOutputBlockView& view,
                           const std::vector<std::int64_t>& map, std::size_t payload_bytes,
                           std::vector<VelmoraProtocol::PacketBytes>& packets, std::size_t first) {
    if (client_id == 0 || view.frames == 0 || view.frames > 65535 || view.samples == nullptr || view.channels == 0 ||
        payload_bytes < VelmoraProtocol::kMinAudioFragmentPacketBytes ||
        payload_bytes > VelmoraProtocol::kMaxAudioFragmentPacketBytes || map.empty()) {
        return false;
    }
    const auto frames = static_cast<std::uint16_t>(view.frames);
    VelmoraProtocol::AudioFragmentPlan plan;
    if (!VelmoraProtocol::build_audio_fragment_plan(frames, map.size(), payload_bytes, plan)) {
        return false;
    }
    packets.resize(first + plan.fragment_count);
    for (std::uint16_t index = 0; index < plan.fragment_count; ++index) {
        VelmoraProtocol::AudioFragmentDescriptor descriptor;
        float* payload = nullptr;
        std::size_t payload_samples = 0;
        if (!VelmoraProtocol::get_audio_fragment_descriptor(plan, index, descriptor) ||
            !VelmoraProtocol::prepare_audio_fragment_packet(
                client_id, view.sequence, view.sample_rate, frames, plan.channel_count, descriptor.channel_offset,
                descriptor.fragment_channel_count, descriptor.frame_offset, descriptor.fragment_frame_count, index,
                plan.fragment_count, view.sample_position, packets[first + index], payload, payload_samples,
                payload_bytes) ||
            payload_samples != descriptor.sample_count) {
            return false;
        }
        const std::size_t run = descriptor.fragment_frame_count;
        for (std::size_t r = 0; r < descriptor.fragment_channel_count; ++r) {
            // The payload sits at byte 48 of a char buffer: copy bytes, never assume float alignment.
            char* target = reinterpret_cast<char*>(payload) + r * run * sizeof(float);
            const std::ptrdiff_t row = view_row_of(view, map[descriptor.channel_offset + r]);
            if (row < 0) {
                std::memset(target, 0, run * sizeof(float));
            } else {
                const float* source =
                    view.samples + static_cast<std::size_t>(row) * view.frames + descriptor.frame_offset;
                std::memcpy(target, source, run * sizeof(float));
            }
        }
    }
    return true;
}

} // namespace

bool build_server_output_fragment_packets(std::uint32_t client_id, const ServerOutputBlockView& view,
                                          const std::vector<std::int64_t>& output_channel_map,
                                          std::size_t payload_bytes,
                                          std::vector<VelmoraProtocol::PacketBytes>& packets) {
    if (!fill_fragment_packets(client_id, view, output_channel_map, payload_bytes, packets, 0)) {
        packets.clear();
        return false;
    }
    return true;
}

bool build_server_output_packet_batch(std::uint32_t client_id, const ServerOutputBlockView& view,
                                      const std::vector<std::int64_t>& output_channel_map, std::size_t payload_bytes,
                                      std::vector<VelmoraProtocol::PacketBytes>& packets) {
    if (client_id == 0 || view.frames == 0 || view.frames > 65535) {
        packets.clear();
        return false;
    }
    if (output_channel_map.empty()) {
        packets.resize(1);
    } else if (!fill_fragment_packets(client_id, view, output_channel_map, payload_bytes, packets, 1)) {
        packets.clear();
        return false;
    }
    VelmoraProtocol::build_sync_packet(client_id, view.sequence, view.sample_rate,
                                       static_cast<std::uint16_t>(view.frames), view.sample_position,
                                       view.host_time_ns, packets[0]);
    return true;
}

} // namespace VelmoraCore
