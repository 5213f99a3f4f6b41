#include <velmora/server/core_audio_network_pump.h>

#include <velmora/platform/clocks.h>
#include <velmora/server/debug_shared_state.h>
#include <velmora/server/server_limits.h>
#include <velmora/server/server_network_config.h>

namespace VelmoraMac {

CoreAudioNetworkPump::CoreAudioNetworkPump() : snapshot_(std::make_unique<CoreAudioHalRuntime::Snapshot>()) {
    view_.channel_map.reserve(CoreAudioHalRuntime::kChannels);
}

CoreAudioNetworkPump::~CoreAudioNetworkPump() = default;

void CoreAudioNetworkPump::reset() {
    running_ = false;
    payload_bytes_ = VelmoraCore::kDefaultUdpPayloadBytes;
    packets_.clear();
    receiver_.close();
    max_packets_per_tick_ = VelmoraCore::kServerMaxPacketsPerTick;
    last_sample_rate_ = 0;
    last_frames_ = 0;
}

bool CoreAudioNetworkPump::start(const Config& config) {
    reset();
    if (config.payload_bytes < VelmoraCore::kMinUdpPayloadBytes ||
        config.payload_bytes > VelmoraCore::kMaxUdpPayloadBytes) {
        return false;
    }
    if (!receiver_.open(config.endpoint, config.client_timeout_ms, config.recv_buffer_bytes,
                        config.send_buffer_bytes)) {
        return false;
    }
    running_ = true;
    payload_bytes_ = config.payload_bytes;
    max_packets_per_tick_ =
        config.max_packets_per_tick != 0 ? config.max_packets_per_tick : VelmoraCore::kServerMaxPacketsPerTick;
    stats_ = Stats{};
    packets_.clear();
    receiver_.set_debug_state(debug_state_);
    return true;
}

void CoreAudioNetworkPump::stop() { reset(); }

void CoreAudioNetworkPump::set_debug_state(CoreAudioDebugSharedState* debug_state) {
    debug_state_ = debug_state;
    receiver_.set_debug_state(debug_state);
}

bool CoreAudioNetworkPump::tick(CoreAudioHalRuntime& runtime) {
    if (!running_) {
        return false;
    }
    ++stats_.ticks;
    const std::uint32_t datagrams_before = receiver_.stats().datagrams_received;
    if (!receiver_.receive_available(runtime, max_packets_per_tick_)) {
        ++stats_.errors;
        return false;
    }
    stats_.datagrams_received += receiver_.stats().datagrams_received - datagrams_before;
    const std::uint32_t sent_before = stats_.snapshots_sent;
    for (std::uint32_t i = 0; i < kMaxSnapshotsPerTick; ++i) {
        if (!send_next_output_snapshot(runtime)) {
            break;
        }
    }
    if (stats_.snapshots_sent == sent_before) {
        ++stats_.ticks_without_output;
    }
    if (debug_state_ != nullptr) {
        debug_state_->set_active_client_count(receiver_.active_client_count());
    }
    return true;
}

bool CoreAudioNetworkPump::send_next_output_snapshot(CoreAudioHalRuntime& runtime) {
    CoreAudioHalRuntime::Snapshot& snapshot = *snapshot_;
    if (!runtime.read_next_output_snapshot(snapshot) || snapshot.frames == 0) {
        return false;
    }
    last_sample_rate_ = snapshot.sample_rate;
    last_frames_ = snapshot.frames;

    view_.sequence = snapshot.sequence;
    view_.sample_rate = snapshot.sample_rate;
    view_.frames = snapshot.frames;
    view_.sample_position = snapshot.sample_position;
    view_.host_time_ns = snapshot.host_time_ns;
    view_.samples = snapshot.samples.data();
    view_.channels = CoreAudioHalRuntime::kChannels;
    view_.channel_map.assign(snapshot.channel_map.begin(),
                             snapshot.channel_map.begin() +
                                 std::min<std::size_t>(snapshot.channels, snapshot.channel_map.size()));

    receiver_.output_targets(targets_);
    bool served = false;
    for (const VelmoraCore::ServerClientOutputTarget& target : targets_) {
        if (VelmoraCore::build_server_output_packet_batch(target.client_id, view_, target.output_channel_map,
                                                          payload_bytes_, packets_) &&
            receiver_.send_packet_batch(packets_, target.endpoint)) {
            served = true;
        } else {
            ++stats_.errors;
        }
    }
    if (served) {
        if (debug_state_ != nullptr) {
            const std::uint64_t now = VelmoraPlatform::host_time_nanoseconds();
            if (now >= snapshot.enqueue_host_time_ns) {
                const std::uint64_t microseconds = (now - snapshot.enqueue_host_time_ns) / 1000;
                debug_state_->record_output_enqueue_to_send(
                    static_cast<std::int32_t>(std::min<std::uint64_t>(microseconds, 2147483647)));
            }
        }
        ++stats_.snapshots_sent;
    }
    return true;
}

} // namespace VelmoraMac
