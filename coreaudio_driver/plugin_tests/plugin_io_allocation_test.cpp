// The plug-in's IO operations run on the host's real-time thread: a counting operator new is
// switched on around whole cycles, with and without output, at several buffer sizes.
#include "driver_test_fixture.h"

#include <velmora/test_support/counting_allocator.h>

namespace {

using VelmoraTest::DriverTest;

TEST_F(DriverTest, IOCyclesAllocateNothing) {
    if (!VelmoraTest::counting_allocator_available()) {
        GTEST_SKIP() << "this build's sanitizer owns the allocator";
    }
    VelmoraTest::TemporaryDriverConfig config("");
    ASSERT_EQ(host_.add_client(), kAudioHardwareNoError);
    ASSERT_EQ(table().StartIO(ref(), 2, 0), kAudioHardwareNoError);
    std::vector<float> input(32 * 4096);
    std::vector<float> output(32 * 4096, 0.25f);
    auto snapshot = std::make_unique<VelmoraMac::CoreAudioHalRuntime::Snapshot>();
    AudioServerPlugInIOCycleInfo cycle{};
    cycle.mCurrentTime.mFlags = kAudioTimeStampSampleHostTimeValid;
    VelmoraTest::track_current_thread();
    VelmoraTest::CountingAllocations counting;
    for (UInt32 n = 0; n < 300; ++n) {
        const UInt32 frames = n % 3 == 0 ? 4096 : (n % 3 == 1 ? 128 : 15);
        cycle.mIOCycleCounter = n + 1;
        cycle.mCurrentTime.mHostTime = 1000 + n;
        Float64 sample_time = 0;
        UInt64 host_time = 0;
        UInt64 seed = 0;
        zero_time_stamp(&sample_time, &host_time, &seed);
        begin_cycle(frames, &cycle);
        io(kAudioServerPlugInIOOperationReadInput, frames, input.data(), &cycle);
        if (n % 4 != 0) {
            io(kAudioServerPlugInIOOperationWriteMix, frames, output.data(), &cycle);
        }
        end_cycle(frames, &cycle);
        // The network side keeps the queue from filling, as it would.
        runtime_->read_next_output_snapshot(*snapshot);
    }
    EXPECT_EQ(counting.count(), 0u);
    ASSERT_EQ(table().StopIO(ref(), 2, 0), kAudioHardwareNoError);
    ASSERT_EQ(host_.remove_client(), kAudioHardwareNoError);
}

} // namespace
