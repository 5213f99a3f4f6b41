#include <velmora/server/core_audio_network_server.h>

#include <velmora/server/server_limits.h>

#include <algorithm>
#include <chrono>
#include <system_error>

namespace VelmoraCore {

std::uint32_t server_tick_sleep_microseconds(std::uint32_t tick_period_us, std::uint32_t sample_rate,
                                             std::uint32_t frames, std::uint32_t queue_slots) {
    const std::uint32_t period = tick_period_us != 0 ? tick_period_us : kServerTickPeriodMicroseconds;
    if (sample_rate == 0 || frames == 0 || queue_slots == 0) {
        return period;
    }
    const std::uint64_t queue_fill_us = static_cast<std::uint64_t>(queue_slots) * frames * 1000000ULL / sample_rate;
    const std::uint64_t quarter = std::max<std::uint64_t>(queue_fill_us / 4, 1);
    return static_cast<std::uint32_t>(std::min<std::uint64_t>(period, quarter));
}

} // namespace VelmoraCore

namespace VelmoraMac {

CoreAudioNetworkServer::CoreAudioNetworkServer() = default;

CoreAudioNetworkServer::~CoreAudioNetworkServer() { stop(); }

void CoreAudioNetworkServer::stop_pump_locked() {
    pump_.stop();
    pump_.set_debug_state(nullptr);
    runtime_ = nullptr;
    debug_state_ = nullptr;
    running_.store(false, std::memory_order_release);
}

bool CoreAudioNetworkServer::start(CoreAudioHalRuntime* runtime, const Config& config,
                                   CoreAudioDebugSharedState* debug_state) {
    stop();
    if (!CoreAudioHalRuntime::atomics_are_lock_free()) {
        return false;
    }
    {
        std::lock_guard<std::mutex> lock(mutex_);
        pump_.set_debug_state(debug_state);
        if (!pump_.start(config)) {
            pump_.set_debug_state(nullptr);
            return false;
        }
        runtime_ = runtime;
        debug_state_ = debug_state;
        tick_period_us_ = config.tick_period_us != 0 ? config.tick_period_us : VelmoraCore::kServerTickPeriodMicroseconds;
        stats_ = Stats{};
        stop_requested_.store(false, std::memory_order_release);
        running_.store(true, std::memory_order_release);
    }
    try {
        thread_ = std::thread(&CoreAudioNetworkServer::thread_loop, this);
    } catch (const std::system_error&) {
        std::lock_guard<std::mutex> lock(mutex_);
        stop_pump_locked();
        return false;
    }
    return true;
}

void CoreAudioNetworkServer::stop() {
    stop_requested_.store(true, std::memory_order_release);
    if (thread_.joinable()) {
        thread_.join();
    }
    std::lock_guard<std::mutex> lock(mutex_);
    stop_pump_locked();
}

void CoreAudioNetworkServer::thread_loop() {
    while (!stop_requested_.load(std::memory_order_acquire)) {
        std::uint32_t sleep_us = 0;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            ++stats_.loops;
            if (runtime_ != nullptr && pump_.tick(*runtime_)) {
                ++stats_.active_ticks;
            } else {
                ++stats_.idle_ticks;
            }
            sleep_us = VelmoraCore::server_tick_sleep_microseconds(
                tick_period_us_, pump_.last_sample_rate(), pump_.last_frames(),
                static_cast<std::uint32_t>(VelmoraCore::kServerOutputSnapshotSlots));
        }
        // The socket is non-blocking, so this pause alone paces the loop.
        if (sleep_us != 0) {
            std::this_thread::sleep_for(std::chrono::microseconds(sleep_us));
        }
    }
}

VelmoraCore::Ipv4Endpoint CoreAudioNetworkServer::input_endpoint() {
    std::lock_guard<std::mutex> lock(mutex_);
    return pump_.input_endpoint();
}

std::uint32_t CoreAudioNetworkServer::active_client_count() {
    std::lock_guard<std::mutex> lock(mutex_);
    return pump_.active_client_count();
}

std::uint64_t CoreAudioNetworkServer::latency_summary() {
    std::lock_guard<std::mutex> lock(mutex_);
    return pump_.latency_summary();
}

CoreAudioNetworkServer::Stats CoreAudioNetworkServer::stats() {
    std::lock_guard<std::mutex> lock(mutex_);
    return stats_;
}

CoreAudioNetworkPump::Stats CoreAudioNetworkServer::pump_stats() {
    std::lock_guard<std::mutex> lock(mutex_);
    return pump_.stats();
}

CoreAudioUdpInputReceiver::Stats CoreAudioNetworkServer::udp_input_stats() {
    std::lock_guard<std::mutex> lock(mutex_);
    return pump_.udp_input_stats();
}

CoreAudioUdpInputReceiver::InputStats CoreAudioNetworkServer::input_stats() {
    std::lock_guard<std::mutex> lock(mutex_);
    return pump_.input_stats();
}

} // namespace VelmoraMac
