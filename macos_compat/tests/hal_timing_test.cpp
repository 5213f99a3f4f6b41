// The real-time clock of a simulated device, measured over a few seconds. The bounds are loose:
// the machine running the tests is small and shared; the figures are printed for the record.
#include "hal_test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>

namespace {

using namespace HalTest;

struct Timing {
    static constexpr std::size_t kCapacity = 4096;
    UInt64 arrival[kCapacity];  // host time when the procedure ran
    Float64 sample_time[kCapacity];
    UInt64 stamped[kCapacity];  // host time in the time stamp
    std::atomic<std::size_t> count{0};
    std::atomic<bool> on_caller_thread{false};
    std::thread::id caller;

    static OSStatus proc(AudioObjectID, const AudioTimeStamp* now, const AudioBufferList*, const AudioTimeStamp*, AudioBufferList*,
                         const AudioTimeStamp*, void* data) {
        auto* t = static_cast<Timing*>(data);
        const std::size_t i = t->count.load(std::memory_order_relaxed);
        if (i < kCapacity) {
            t->arrival[i] = AudioGetCurrentHostTime();
            t->sample_time[i] = now->mSampleTime;
            t->stamped[i] = now->mHostTime;
            t->count.store(i + 1, std::memory_order_release);
        }
        if (std::this_thread::get_id() == t->caller) {
            t->on_caller_thread = true;
        }
        return 0;
    }
};

TEST(HalTiming, CyclesFollowTheNominalRateOverSeconds) {
    Hal::DeviceDescription d;
    d.uid = "TimingDevice";
    d.name = "Timing";
    d.output_streams = {{2}};
    d.input_streams = {{2}};
    d.sample_rate = 48000.0;
    d.buffer_frames = 256;
    Hal::reset({d});
    const AudioObjectID device = Hal::device_with_uid("TimingDevice");
    auto timing = std::make_unique<Timing>();
    timing->caller = std::this_thread::get_id();
    AudioDeviceIOProcID proc = nullptr;
    ASSERT_EQ(AudioDeviceCreateIOProcID(device, &Timing::proc, timing.get(), &proc), kAudioHardwareNoError);
    const UInt64 start = AudioGetCurrentHostTime();
    ASSERT_EQ(AudioDeviceStart(device, proc), kAudioHardwareNoError);
    std::this_thread::sleep_for(std::chrono::milliseconds(3000));
    ASSERT_EQ(AudioDeviceStop(device, proc), kAudioHardwareNoError);
    const UInt64 stopped = AudioGetCurrentHostTime();
    const std::size_t after_stop = timing->count.load(std::memory_order_acquire);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(timing->count.load(), after_stop) << "a procedure ran after AudioDeviceStop returned";
    EXPECT_FALSE(timing->on_caller_thread.load());
    ASSERT_EQ(AudioDeviceDestroyIOProcID(device, proc), kAudioHardwareNoError);

    const std::size_t n = after_stop;
    const double period_ms = 256.0 * 1000.0 / 48000.0;
    const double elapsed_ms = AudioConvertHostTimeToNanos(stopped - start) / 1.0e6;
    const double expected_cycles = elapsed_ms / period_ms;
    ASSERT_GE(n, 10u);
    double worst_late_ms = 0.0;
    double sum_late_ms = 0.0;
    std::size_t sample_steps_ok = 0;
    for (std::size_t i = 0; i < n; ++i) {
        const double late = timing->arrival[i] > timing->stamped[i] ? AudioConvertHostTimeToNanos(timing->arrival[i] - timing->stamped[i]) / 1.0e6 : 0.0;
        worst_late_ms = std::max(worst_late_ms, late);
        sum_late_ms += late;
        if (i > 0 && timing->sample_time[i] - timing->sample_time[i - 1] == 256.0) {
            ++sample_steps_ok;
        }
    }
    const double stamped_span_ms = AudioConvertHostTimeToNanos(timing->stamped[n - 1] - timing->stamped[0]) / 1.0e6;
    const double mean_period_ms = stamped_span_ms / static_cast<double>(n - 1);
    std::printf("[timing] %zu cycles in %.1f ms (expected %.1f); mean period %.4f ms (nominal %.4f); wake-up lateness mean %.3f ms, "
                "worst %.3f ms; %zu of %zu sample-time steps exact\n",
                n, elapsed_ms, expected_cycles, mean_period_ms, period_ms, sum_late_ms / static_cast<double>(n), worst_late_ms,
                sample_steps_ok, n - 1);
    // Schedule from the start time: the count cannot drift, whatever the wake-ups did.
    EXPECT_NEAR(static_cast<double>(n), expected_cycles, expected_cycles * 0.05 + 2.0);
    EXPECT_NEAR(mean_period_ms, period_ms, period_ms * 0.01);
    EXPECT_GE(sample_steps_ok + 5, n - 1);
    EXPECT_LT(sum_late_ms / static_cast<double>(n), period_ms);
    Hal::reset_to_defaults();
}

} // namespace
