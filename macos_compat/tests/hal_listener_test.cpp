#include "hal_test_support.h"

#include <gtest/gtest.h>

#include <atomic>

namespace {

using namespace HalTest;

class HalListeners : public ::testing::Test {
protected:
    void SetUp() override {
        Hal::reset_to_defaults();
        interface = Hal::device_with_uid("SimulatedInterface8x8");
    }
    AudioObjectID interface = 0;
    const AudioObjectPropertyAddress any = address(kAudioObjectPropertySelectorWildcard,
                                                   kAudioObjectPropertyScopeWildcard,
                                                   kAudioObjectPropertyElementWildcard);
};

TEST_F(HalListeners, ChangesByAnotherApplicationAreHeardOnceOnTheNotificationThreadByAddress) {
    ListenerLog log, output_scope, wildcard;
    const auto rate = address(kAudioDevicePropertyNominalSampleRate);
    const auto output_scoped = address(kAudioDevicePropertyNominalSampleRate, kAudioObjectPropertyScopeOutput);
    ASSERT_EQ(AudioObjectAddPropertyListener(interface, &rate, &ListenerLog::callback, &log), kAudioHardwareNoError);
    ASSERT_EQ(AudioObjectAddPropertyListener(interface, &rate, &ListenerLog::callback, &log), kAudioHardwareNoError);
    ASSERT_EQ(AudioObjectAddPropertyListener(interface, &output_scoped, &ListenerLog::callback, &output_scope),
              kAudioHardwareNoError);
    ASSERT_EQ(AudioObjectAddPropertyListener(interface, &any, &ListenerLog::callback, &wildcard), kAudioHardwareNoError);
    const Float64 other = 44100.0;
    ASSERT_EQ(Hal::set_property_externally(interface, kAudioDevicePropertyNominalSampleRate, &other, sizeof other),
              kAudioHardwareNoError);
    ASSERT_TRUE(log.heard(interface, kAudioDevicePropertyNominalSampleRate));
    ASSERT_TRUE(wildcard.heard(interface, kAudioDevicePropertyNominalSampleRate));
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    const auto calls = log.calls();
    ASSERT_EQ(calls.size(), 1u) << "a listener added twice is called once";
    ASSERT_EQ(calls[0].addresses.size(), 1u);
    EXPECT_EQ(calls[0].addresses[0].mScope, kAudioObjectPropertyScopeGlobal);
    EXPECT_EQ(calls[0].addresses[0].mElement, kAudioObjectPropertyElementMain);
    EXPECT_NE(calls[0].thread, std::this_thread::get_id());
    // The change is announced in the global scope, where the property lives.
    EXPECT_TRUE(output_scope.calls().empty());
    EXPECT_EQ(AudioObjectRemovePropertyListener(interface, &rate, &ListenerLog::callback, &log), kAudioHardwareNoError);
    AudioObjectRemovePropertyListener(interface, &output_scoped, &ListenerLog::callback, &output_scope);
    AudioObjectRemovePropertyListener(interface, &any, &ListenerLog::callback, &wildcard);
    EXPECT_EQ(AudioObjectAddPropertyListener(4242, &any, &ListenerLog::callback, &log), kAudioHardwareBadObjectError);
    EXPECT_EQ(AudioObjectAddPropertyListener(interface, &any, nullptr, &log), kAudioHardwareIllegalOperationError);
}

TEST_F(HalListeners, HotPlugAndDefaultDeviceChangesReachTheSystemObject) {
    ListenerLog log;
    ASSERT_EQ(AudioObjectAddPropertyListener(kAudioObjectSystemObject, &any, &ListenerLog::callback, &log),
              kAudioHardwareNoError);
    ASSERT_TRUE(Hal::remove_device(Hal::device_with_uid("BuiltInSpeakerDevice")));
    ASSERT_TRUE(log.heard(kAudioObjectSystemObject, kAudioHardwarePropertyDevices));
    ASSERT_TRUE(log.heard(kAudioObjectSystemObject, kAudioHardwarePropertyDefaultOutputDevice));
    EXPECT_EQ(value_of<AudioObjectID>(kAudioObjectSystemObject, kAudioHardwarePropertyDefaultOutputDevice), interface);
    AudioObjectRemovePropertyListener(kAudioObjectSystemObject, &any, &ListenerLog::callback, &log);
}

// Once removal returns, the listener is neither running nor called again: its data may go.
TEST_F(HalListeners, RemovalWaitsForACallInProgress) {
    struct Slow {
        std::atomic<int> calls{0};
        std::atomic<bool> inside{false}, removed{false}, called_after_removal{false};
        static OSStatus callback(AudioObjectID, UInt32, const AudioObjectPropertyAddress*, void* data) {
            auto* s = static_cast<Slow*>(data);
            s->called_after_removal = s->called_after_removal || s->removed;
            s->inside = true;
            s->calls.fetch_add(1);
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            s->inside = false;
            return 0;
        }
    };
    Slow slow;
    const auto frames_address = address(kAudioDevicePropertyBufferFrameSize);
    ASSERT_EQ(AudioObjectAddPropertyListener(interface, &frames_address, &Slow::callback, &slow), kAudioHardwareNoError);
    for (UInt32 frames : {128u, 64u}) {
        Hal::set_property_externally(interface, kAudioDevicePropertyBufferFrameSize, &frames, 4);
    }
    while (!slow.inside.load()) {
        std::this_thread::yield();
    }
    ASSERT_EQ(AudioObjectRemovePropertyListener(interface, &frames_address, &Slow::callback, &slow),
              kAudioHardwareNoError);
    slow.removed = true;
    EXPECT_FALSE(slow.inside.load());
    std::this_thread::sleep_for(std::chrono::milliseconds(120));
    EXPECT_FALSE(slow.called_after_removal.load());
    EXPECT_EQ(slow.calls.load(), 1);
}

} // namespace
