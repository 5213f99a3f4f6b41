// Test doubles for the audio player: an audio device stepped by hand, one that cycles on a thread
// of its own, and a clock that runs in simulated time.
#pragma once

#include <velmora/engine/audio_device.h>
#include <velmora/engine/player_clock.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

// Keeps what `open` was given: the formats, and the player's cycle callback.
class TestAudioDevice : public AudioDevice {
protected:
    void keep(const AudioDeviceSettings& s, CycleCallback callback, void* context) {
        callback_ = callback;
        context_ = context;
        block_frames = s.block_frames;
        sample_rate = s.sample_rate;
        output_channels = s.output_channel_map.size();
        input_channels = s.input_channel_map.size();
    }
    CycleCallback callback_ = nullptr;
    void* context_ = nullptr;
};

// An `AudioDevice` whose cycles the test runs by calling `cycle()`. Input channel c of every cycle
// is `input[c]` (zeros from `open`, a whole block when set); what the player writes lands in
// `output[c]`.
class ScriptedAudioDevice final : public TestAudioDevice {
public:
    bool open_succeeds = true;
    bool start_succeeds = true;
    bool ready = true;
    std::atomic<bool> lost{false};
    std::vector<std::vector<float>> input;
    std::vector<std::vector<float>> output;
    std::vector<bool> output_was_silence_request;

    bool open(const AudioDeviceSettings& s, LogCallback log, CycleCallback callback, void* context) override {
        if (!open_succeeds) {
            log("[test] scripted device refused to open");
            return false;
        }
        keep(s, callback, context);
        output.assign(output_channels, std::vector<float>(block_frames, 0.0f));
        output_was_silence_request.assign(output_channels, false);
        input.assign(input_channels, std::vector<float>(block_frames, 0.0f));
        return true;
    }
    bool start() override { return start_succeeds; }
    void stop() override {}
    void read_channel(long channel, long, float* destination, long frames) override {
        std::copy_n(input[static_cast<std::size_t>(channel)].begin(), frames, destination);
    }
    void write_channel(long channel, long, const float* source, long frames) override {
        const auto c = static_cast<std::size_t>(channel);
        output_was_silence_request[c] = source == nullptr;
        std::fill_n(output[c].begin(), frames, 0.0f);
        if (source != nullptr) {
            std::copy_n(source, frames, output[c].begin());
        }
    }
    bool output_ready() override { return ready; }
    bool device_lost() const override { return lost.load(); }

    // Runs one IO cycle (the player's callback) on the calling thread.
    void cycle() { callback_(context_, 0); }
    // A player's device factory that makes scripted devices and points `created` at the last one.
    static std::function<std::unique_ptr<AudioDevice>()> factory(ScriptedAudioDevice*& created) {
        return [&created] {
            auto device = std::make_unique<ScriptedAudioDevice>();
            created = device.get();
            return device;
        };
    }
};

// An `AudioDevice` whose cycles run on a thread of their own, one per `period`, as hardware does.
// Every input reads 0.25; it reports itself lost (and stops cycling) while `lost` says so.
class ThreadedAudioDevice final : public TestAudioDevice {
public:
    explicit ThreadedAudioDevice(std::chrono::microseconds period = std::chrono::milliseconds(1),
                                 std::function<bool()> lost = {})
        : period_(period), lost_(std::move(lost)) {}
    ~ThreadedAudioDevice() override { stop(); }
    bool open(const AudioDeviceSettings& s, LogCallback, CycleCallback callback, void* context) override {
        keep(s, callback, context);
        return true;
    }
    bool start() override {
        running_ = true;
        thread_ = std::thread([this] {
            for (; running_; std::this_thread::sleep_for(period_)) {
                if (!device_lost()) {
                    callback_(context_, 0);
                }
            }
        });
        return true;
    }
    void stop() override {
        running_ = false;
        if (thread_.joinable()) {
            thread_.join();
        }
    }
    void read_channel(long, long, float* destination, long frames) override {
        std::fill_n(destination, frames, 0.25f);
    }
    void write_channel(long, long, const float*, long) override {}
    bool output_ready() override { return true; }
    bool device_lost() const override { return lost_ && lost_(); }

private:
    const std::chrono::microseconds period_;
    const std::function<bool()> lost_;
    std::atomic<bool> running_{false};
    std::thread thread_;
};

// Simulated time. Reading host time advances it by `read_step_ns` so that a thread spinning on the
// clock makes progress; sleeping advances it at once. `on_advance` runs on the thread that moved
// the clock, after the move.
class VirtualPlayerClock final : public PlayerClock {
public:
    explicit VirtualPlayerClock(std::uint64_t start_ns = 1000000000ull) : now_ns_(start_ns) {}

    std::uint64_t host_time_ns() const override { return now_ns_.fetch_add(read_step_ns) + read_step_ns; }
    std::uint64_t monotonic_ms() const override { return now_ns_.load() / 1000000; }
    void sleep_ms(std::uint32_t ms) const override { advance_ns(std::uint64_t{ms} * 1000000); }
    void sleep_us(std::uint32_t us) const override { advance_ns(std::uint64_t{us} * 1000); }

    void advance_ns(std::uint64_t ns) const {
        const std::uint64_t now = now_ns_.fetch_add(ns) + ns;
        if (on_advance) {
            on_advance(now);
        }
    }
    void set_ns(std::uint64_t ns) const { now_ns_.store(ns); }
    std::uint64_t now_ns() const { return now_ns_.load(); }

    std::uint64_t read_step_ns = 0;
    std::function<void(std::uint64_t now_ns)> on_advance;

private:
    mutable std::atomic<std::uint64_t> now_ns_;
};
