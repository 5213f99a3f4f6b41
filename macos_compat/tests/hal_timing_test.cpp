// The real-time clock of a simulated device over a few seconds. What is asserted holds however
// loaded the machine is (time stamps at the nominal rate, no cycle before its time, skips only by
// whole buffers); how punctually the cycles came is printed for the record.
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
    UInt64 arrival[kCapacity]; // host time when the procedure ran
    Float64 sample_time[kCapacity];
    UInt64 stamped[kCapacity]; // host time in the time stamp
    std::atomic<std::size_t> count{0};
    std::atomic<bool> on_caller_thread{false};
    std::thread::id caller;

    static OSStatus proc(AudioObjectID, const AudioTimeStamp* now, const AudioBufferList*,
                         const AudioTimeStamp*, AudioBufferList*, const AudioTimeStamp*, void* data) {
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
    Hal::DeviceDescription d = manual_device("TimingDevice", {{2}}, {{2}});
    d.buffer_frames = 256;
    d.manual_clock = false;
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
    ASSERT_GE(n, 10u);
    double worst_late_ms = 0.0;
    double sum_late_ms = 0.0;
    std::size_t exact_steps = 0;
    for (std::size_t i = 0; i < n; ++i) {
        // Each cycle's host time is its sample time at the nominal rate, counted from the first.
        const double device_ns = (timing->sample_time[i] - timing->sample_time[0]) * 1.0e9 / 48000.0;
        const double stamped_ns = AudioConvertHostTimeToNanos(timing->stamped[i] - timing->stamped[0]);
        ASSERT_NEAR(stamped_ns, device_ns, 2000.0) << "cycle " << i;
        // No cycle runs before its time.
        ASSERT_GE(timing->arrival[i] + AudioConvertNanosToHostTime(100000), timing->stamped[i])
            << "cycle " << i;
        if (i > 0) {
            // A stalled machine may skip whole buffers, never parts of one.
            const double step = timing->sample_time[i] - timing->sample_time[i - 1];
            ASSERT_TRUE(step > 0 && std::fmod(step, 256.0) == 0.0) << "cycle " << i << " stepped " << step;
            exact_steps += step == 256.0 ? 1 : 0;
        }
        const double late = AudioConvertHostTimeToNanos(timing->arrival[i] -
                                                        std::min(timing->arrival[i], timing->stamped[i])) /
                            1.0e6;
        worst_late_ms = std::max(worst_late_ms, late);
        sum_late_ms += late;
    }
    const double device_ms = (timing->sample_time[n - 1] - timing->sample_time[0]) * 1000.0 / 48000.0;
    std::printf(
        "[timing] %zu cycles in %.1f ms (nominal %.1f); device time %.1f ms; wake-up lateness mean %.3f ms, "
        "worst %.3f ms; %zu of %zu sample-time steps exact\n",
        n, elapsed_ms, elapsed_ms / period_ms, device_ms, sum_late_ms / static_cast<double>(n), worst_late_ms,
        exact_steps, n - 1);
    // The device's time keeps up with the wall clock (skipping ahead when far behind).
    EXPECT_LE(device_ms, elapsed_ms);
    EXPECT_GE(device_ms, elapsed_ms / 2);
    Hal::reset_to_defaults();
}

} // namespace
