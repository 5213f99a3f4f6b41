// Test doubles for the audio player: an audio device stepped by hand and a clock that runs in
// simulated time.
#pragma once

#include <velmora/engine/audio_device.h>
#include <velmora/engine/player_clock.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <thread>
#include <vector>

// An `AudioDevice` whose cycles the test runs by calling `cycle()`. Input channel c of every cycle
// is `input[c]` (zeros when missing); what the player writes lands in `output[c]`.
class ScriptedAudioDevice final : public AudioDevice {
public:
    // What `open` reports; the requested format when left at 0.
    std::size_t actual_block_frames = 0;
    double actual_sample_rate = 0.0;
    bool open_succeeds = true;
    bool start_succeeds = true;
    bool ready = true;

    std::vector<std::vector<float>> input;
    std::vector<std::vector<float>> output;
    std::vector<bool> output_was_silence_request;

    bool open(const AudioDeviceSettings& settings, LogCallback log, CycleCallback callback,
              void* context) override;
    bool start() override;
    void stop() override;
    void read_channel(long channel, long buffer_index, float* destination, long frames) override;
    void write_channel(long channel, long buffer_index, const float* source, long frames) override;
    bool output_ready() override { return ready; }
    bool device_lost() const override { return lost.load(); }

    // Runs one IO cycle (the player's callback) on the calling thread.
    void cycle();

    std::atomic<bool> lost{false};
    bool started = false;
    int open_calls = 0;
    int stop_calls = 0;

private:
    CycleCallback callback_ = nullptr;
    void* context_ = nullptr;
};

// An `AudioDevice` whose cycles run on a thread of their own, one per `period`, as hardware does.
// Every input reads 0.25; it reports itself lost (and stops cycling) while `lost` says so.
class ThreadedAudioDevice final : public AudioDevice {
public:
    explicit ThreadedAudioDevice(std::chrono::microseconds period = std::chrono::milliseconds(1),
                                 std::function<bool()> lost = {})
        : period_(period), lost_(std::move(lost)) {}
    ~ThreadedAudioDevice() override { stop(); }
    bool open(const AudioDeviceSettings& settings, LogCallback log, CycleCallback callback,
              void* context) override;
    bool start() override;
    void stop() override;
    void read_channel(long, long, float* destination, long frames) override {
        std::fill_n(destination, frames, 0.25f);
    }
    void write_channel(long, long, const float*, long) override {}
    bool output_ready() override { return true; }
    bool device_lost() const override { return lost_ && lost_(); }

private:
    const std::chrono::microseconds period_;
    const std::function<bool()> lost_;
    CycleCallback callback_ = nullptr;
    void* context_ = nullptr;
    std::atomic<bool> running_{false};
    std::thread thread_;
};

// Simulated time. Reading host time advances it by `read_step_ns` so that a thread spinning on the
// clock makes progress; sleeping advances it at once. `on_advance` runs on the thread
// that moved the clock, after the move.
class VirtualPlayerClock final : public PlayerClock {
public:
    explicit VirtualPlayerClock(std::uint64_t start_ns = 1000000000ull) : now_ns_(start_ns) {}

    std::uint64_t host_time_ns() const override;
    std::uint64_t monotonic_ms() const override { return now_ns_.load() / 1000000; }
    void sleep_ms(std::uint32_t milliseconds) const override;
    void sleep_us(std::uint32_t microseconds) const override;

    void advance_ns(std::uint64_t ns) const;
    void set_ns(std::uint64_t ns) const { now_ns_.store(ns); }
    std::uint64_t now_ns() const { return now_ns_.load(); }

    std::uint64_t read_step_ns = 0;
    std::function<void(std::uint64_t now_ns)> on_advance;

private:
    mutable std::atomic<std::uint64_t> now_ns_;
};
