// A test thread playing the server device's IO thread: once per block period it reads the
// device input for the current sequence and publishes an output block whose samples tell the
// sequence and device channel they belong to.
#pragma once

#include <velmora/platform/clocks.h>
#include <velmora/server/core_audio_hal_runtime.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace velmora_test {

// The sample every frame of device output channel `channel` carries in block `sequence`.
inline float device_output_value(std::uint32_t sequence, std::size_t channel) {
    return static_cast<float>(sequence % 65536) + static_cast<float>(channel) / 64.0f;
}

class DeviceLoop {
public:
    // Called on the loop thread after each input read, with the cycle's sequence, whether the
    // runtime had exactly that block, and the 32 x frames planar input.
    using InputObserver = std::function<void(std::uint32_t sequence, bool exact, const float* input)>;

    DeviceLoop(VelmoraMac::CoreAudioHalRuntime& runtime, std::uint32_t sample_rate = 48000, std::uint32_t frames = 128)
        : runtime_(runtime), sample_rate_(sample_rate), frames_(frames),
          input_(VelmoraMac::CoreAudioHalRuntime::sample_count(frames)),
          output_(VelmoraMac::CoreAudioHalRuntime::sample_count(frames)) {}
    ~DeviceLoop() { stop(); }

    void set_input_observer(InputObserver observer) { observer_ = std::move(observer); }

    void start() {
        if (thread_.joinable()) {
            return;
        }
        running_ = true;
        thread_ = std::thread([this] { run(); });
    }
    void stop() {
        running_ = false;
        if (thread_.joinable()) {
            thread_.join();
        }
    }
    // The cycle with this sequence publishes no output: the number is consumed and never sent.
    void drop_sequence(std::uint32_t sequence) {
        dropped_sequence_ = sequence;
        drop_armed_ = true;
    }

    std::uint64_t cycles() const { return cycles_.load(); }
    std::uint64_t exact_input_cycles() const { return exact_cycles_.load(); }

private:
    void run() {
        using Clock = std::chrono::steady_clock;
        const auto period = std::chrono::nanoseconds(static_cast<std::int64_t>(1e9 * frames_ / sample_rate_));
        auto next = Clock::now();
        while (running_) {
            const std::uint32_t sequence = runtime_.expected_input_sequence();
            const VelmoraMac::CoreAudioHalBlockTimeline in =
                runtime_.read_prepared_input_block(input_.data(), frames_, sample_rate_);
            const bool exact = in.sample_rate != 0 && in.sequence == sequence;
            if (exact) {
                ++exact_cycles_;
            }
            if (observer_) {
                observer_(sequence, exact, input_.data());
            }
            const std::uint64_t now = VelmoraPlatform::host_time_nanoseconds();
            if (drop_armed_ && dropped_sequence_ == sequence) {
                drop_armed_ = false;
                runtime_.next_timeline(frames_, sample_rate_, now);
            } else {
                for (std::size_t c = 0; c < VelmoraMac::CoreAudioHalRuntime::kChannels; ++c) {
                    std::fill_n(output_.begin() + static_cast<std::ptrdiff_t>(c * frames_), frames_,
                                device_output_value(sequence, c));
                }
                runtime_.publish_output_block(output_.data(), frames_, sample_rate_, now);
            }
            ++cycles_;
            // Deadlines advance from the start; after a long stall the loop resumes from now.
            next += period;
            const auto now_point = Clock::now();
            if (next < now_point - 20 * period) {
                next = now_point;
            }
            std::this_thread::sleep_until(next);
        }
    }

    VelmoraMac::CoreAudioHalRuntime& runtime_;
    const std::uint32_t sample_rate_;
    const std::uint32_t frames_;
    std::vector<float> input_;
    std::vector<float> output_;
    InputObserver observer_;
    std::atomic<bool> running_{false};
    std::atomic<bool> drop_armed_{false};
    std::atomic<std::uint32_t> dropped_sequence_{0};
    std::atomic<std::uint64_t> cycles_{0};
    std::atomic<std::uint64_t> exact_cycles_{0};
    std::thread thread_;
};

} // namespace velmora_test
