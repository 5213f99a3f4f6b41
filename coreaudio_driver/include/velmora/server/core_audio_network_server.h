// The plug-in's network thread: runs the pump round after round until stopped.
//
// The mutex is held for each whole round and by every accessor, start and stop, so the receiver,
// client table and pump are only touched under it; the runtime is shared with the IO thread only
// through its lock-free operations. Between rounds the thread sleeps the tick period, shortened
// to a quarter of the time the device takes to fill the 8-block output queue at the rate and
// block size last seen, so short blocks at high rates are drained before the queue overflows.
#pragma once

#include <velmora/server/core_audio_hal_runtime.h>
#include <velmora/server/core_audio_network_pump.h>
#include <velmora/server/core_audio_udp_input_receiver.h>
#include <velmora/server/ipv4_endpoint.h>

#include <atomic>
#include <cstdint>
#include <mutex>
#include <thread>

namespace VelmoraCore {

// Pause between rounds in microseconds: `tick_period_us` (1000 when 0), but at most a quarter of
// the time `queue_slots` blocks of `frames` take at `sample_rate`, and at least 1. Without a
// known format, the tick period.
std::uint32_t server_tick_sleep_microseconds(std::uint32_t tick_period_us, std::uint32_t sample_rate,
                                             std::uint32_t frames, std::uint32_t queue_slots);

} // namespace VelmoraCore

namespace VelmoraMac {

class CoreAudioDebugSharedState;

class CoreAudioNetworkServer {
public:
    struct Config : CoreAudioNetworkPump::Config {
        std::uint32_t tick_period_us = 1000;
    };

    struct Stats {
        std::uint32_t loops = 0;
        std::uint32_t active_ticks = 0; // rounds whose tick returned true
        std::uint32_t idle_ticks = 0;   // rounds whose tick returned false, or without a runtime
    };

    CoreAudioNetworkServer();
    // Stops the server.
    ~CoreAudioNetworkServer();
    CoreAudioNetworkServer(const CoreAudioNetworkServer&) = delete;
    CoreAudioNetworkServer& operator=(const CoreAudioNetworkServer&) = delete;

    // Control thread; blocks while a running server stops and the socket opens. Restarts a
    // running server. False when the platform's atomics are not lock-free, the pump cannot start
    // (bad payload size, socket or bind failure) or the thread cannot be created.
    bool start(CoreAudioHalRuntime* runtime, const Config& config, CoreAudioDebugSharedState* debug_state);
    // Control thread; joins the network thread. Safe when not running.
    void stop();
    // Any thread; no lock.
    bool is_running() const { return running_.load(std::memory_order_acquire); }

    // Any thread; take the mutex (wait at most one round).
    VelmoraCore::Ipv4Endpoint input_endpoint();
    std::uint32_t active_client_count();
    std::uint64_t latency_summary();
    Stats stats();
    CoreAudioNetworkPump::Stats pump_stats();
    CoreAudioUdpInputReceiver::Stats udp_input_stats();
    CoreAudioUdpInputReceiver::InputStats input_stats();

private:
    void thread_loop();
    void stop_pump_locked();

    std::mutex mutex_;
    std::atomic<bool> stop_requested_{false};
    std::atomic<bool> running_{false};
    CoreAudioHalRuntime* runtime_ = nullptr;
    CoreAudioDebugSharedState* debug_state_ = nullptr;
    std::uint32_t tick_period_us_ = 1000;
    Stats stats_;
    CoreAudioNetworkPump pump_;
    std::thread thread_;
};

} // namespace VelmoraMac
