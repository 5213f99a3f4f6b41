// The simulated hardware behind a HAL device: a clock that paces IO cycles (a high-priority
// thread, or a manual clock stepped by tests), made-up input and observed output.
#pragma once

#include "device_backend.h"
#include <velmora_compat/wav_file.h>

#include <velmora_compat/hal_control.h>

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace VelmoraCompat::Hal {

class SimulatedBackend final : public DeviceBackend {
public:
    // `wav` is the loaded input file when the source is a WAV file. Buffers are sized for
    // `max_frames` here, so the IO thread never allocates.
    SimulatedBackend(const DeviceDescription& description, UInt32 input_channels, UInt32 output_channels,
                     UInt32 max_frames, std::shared_ptr<const VelmoraCompat::WavAudio> wav);
    ~SimulatedBackend() override;

    bool start(CycleRunner& runner) override;
    void stop() override;
    bool manual_clock() const override { return manual_; }
    UInt64 step(UInt64 count) override;
    void capture(float* const* channels, UInt32 channel_count, UInt32 frames, Float64 sample_rate) override;
    void render(const float* const* channels, UInt32 channel_count, UInt32 frames,
                Float64 sample_rate) override;

    // Caller holds the device's IO lock, so no cycle runs meanwhile.
    void set_input_source(const InputSource& source, std::shared_ptr<const VelmoraCompat::WavAudio> wav);
    // Any thread. Levels since the previous call.
    std::vector<ChannelLevel> take_levels();
    // Any thread. Cycles the clock skipped because the thread woke more than 4 periods late.
    UInt64 skipped_cycles() const { return skipped_cycles_.load(std::memory_order_relaxed); }

private:
    // Where the clock stands: cycle `k` after the anchor runs at anchor_ns + k periods and starts
    // at sample anchor_sample + k * frames. A new period re-anchors at the last cycle.
    struct Timeline {
        UInt64 anchor_ns = 0;
        Float64 anchor_sample = 0.0;
        UInt64 k = 0;
        UInt32 frames = 0;
        Float64 rate = 0.0;
        UInt64 deadline_ns() const;
        void follow_format(UInt32 new_frames, Float64 new_rate);
    };

    void clock_thread(CycleRunner* runner);
    void open_sink(Float64 sample_rate);

    const bool manual_;
    const UInt32 input_channels_;
    const UInt32 output_channels_;
    const UInt32 max_frames_;
    OutputSink sink_;

    // Signal state: touched by the IO thread inside cycles, and by set_input_source under the
    // device's IO lock.
    InputSource source_;
    std::shared_ptr<const VelmoraCompat::WavAudio> wav_;
    std::size_t wav_frame_ = 0;
    std::vector<double> tone_phases_;
    std::vector<float> loopback_;       // planar, output_channels x max_frames
    std::vector<float> wav_interleave_; // output_channels x max_frames
    VelmoraCompat::WavWriter writer_;

    std::unique_ptr<std::atomic<float>[]> peaks_;
    std::unique_ptr<std::atomic<double>[]> squares_;
    std::atomic<UInt64> metered_frames_{0};

    // Clock control.
    std::mutex clock_mutex_;
    std::condition_variable clock_wake_;
    bool stop_requested_ = false; // guarded by clock_mutex_
    bool started_ = false;        // guarded by clock_mutex_
    std::thread thread_;
    std::atomic<std::thread::id> io_thread_id_{};
    CycleRunner* runner_ = nullptr; // guarded by clock_mutex_
    Timeline manual_timeline_;      // guarded by clock_mutex_
    std::atomic<UInt64> skipped_cycles_{0};
};

} // namespace VelmoraCompat::Hal
