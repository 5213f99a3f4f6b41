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
};

TEST_F(HalListeners, ChangesByAnotherApplicationAreHeardOnTheNotificationThread) {
    ListenerLog log;
    const auto rate = address(kAudioDevicePropertyNominalSampleRate);
    ASSERT_EQ(AudioObjectAddPropertyListener(interface, &rate, &ListenerLog::callback, &log), kAudioHardwareNoError);
    ASSERT_EQ(AudioObjectAddPropertyListener(interface, &rate, &ListenerLog::callback, &log), kAudioHardwareNoError);  // once only
    const Float64 other = 44100.0;
    ASSERT_EQ(Hal::set_property_externally(interface, kAudioDevicePropertyNominalSampleRate, &other, sizeof other), kAudioHardwareNoError);
    ASSERT_TRUE(log.wait_for(1));
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    const auto calls = log.calls();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].object, interface);
    ASSERT_EQ(calls[0].addresses.size(), 1u);
    EXPECT_EQ(calls[0].addresses[0].mSelector, kAudioDevicePropertyNominalSampleRate);
    EXPECT_EQ(calls[0].addresses[0].mScope, kAudioObjectPropertyScopeGlobal);
    EXPECT_EQ(calls[0].addresses[0].mElement, kAudioObjectPropertyElementMain);
    EXPECT_NE(calls[0].thread, std::this_thread::get_id());
    EXPECT_EQ(AudioObjectRemovePropertyListener(interface, &rate, &ListenerLog::callback, &log), kAudioHardwareNoError);
}

TEST_F(HalListeners, AddressesMatchExactlyOrByWildcard) {
    ListenerLog exact_output_scope;
    ListenerLog wildcard;
    const auto output_scoped = address(kAudioDevicePropertyBufferFrameSize, kAudioObjectPropertyScopeOutput);
    const auto any = address(kAudioObjectPropertySelectorWildcard, kAudioObjectPropertyScopeWildcard, kAudioObjectPropertyElementWildcard);
    ASSERT_EQ(AudioObjectAddPropertyListener(interface, &output_scoped, &ListenerLog::callback, &exact_output_scope), kAudioHardwareNoError);
    ASSERT_EQ(AudioObjectAddPropertyListener(interface, &any, &ListenerLog::callback, &wildcard), kAudioHardwareNoError);
    const UInt32 frames = 128;
    ASSERT_EQ(Hal::set_property_externally(interface, kAudioDevicePropertyBufferFrameSize, &frames, sizeof frames), kAudioHardwareNoError);
    ASSERT_TRUE(wildcard.wait_for(1));
    EXPECT_TRUE(wildcard.heard(interface, kAudioDevicePropertyBufferFrameSize));
    // The change is announced in the global scope, where the property lives.
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_TRUE(exact_output_scope.calls().empty());
    AudioObjectRemovePropertyListener(interface, &output_scoped, &ListenerLog::callback, &exact_output_scope);
    AudioObjectRemovePropertyListener(interface, &any, &ListenerLog::callback, &wildcard);
    EXPECT_EQ(AudioObjectAddPropertyListener(4242, &any, &ListenerLog::callback, &wildcard), kAudioHardwareBadObjectError);
    EXPECT_EQ(AudioObjectAddPropertyListener(interface, nullptr, &ListenerLog::callback, &wildcard), kAudioHardwareIllegalOperationError);
    EXPECT_EQ(AudioObjectAddPropertyListener(interface, &any, nullptr, &wildcard), kAudioHardwareIllegalOperationError);
}

TEST_F(HalListeners, HotPlugAndDefaultDeviceChangesReachTheSystemObject) {
    ListenerLog log;
    const auto any = address(kAudioObjectPropertySelectorWildcard, kAudioObjectPropertyScopeWildcard, kAudioObjectPropertyElementWildcard);
    ASSERT_EQ(AudioObjectAddPropertyListener(kAudioObjectSystemObject, &any, &ListenerLog::callback, &log), kAudioHardwareNoError);
    const AudioObjectID speakers = Hal::device_with_uid("BuiltInSpeakerDevice");
    ASSERT_TRUE(Hal::remove_device(speakers));
    ASSERT_TRUE(log.wait_until_heard(kAudioObjectSystemObject, kAudioHardwarePropertyDevices));
    ASSERT_TRUE(log.wait_until_heard(kAudioObjectSystemObject, kAudioHardwarePropertyDefaultOutputDevice));
    EXPECT_EQ(value_of<AudioObjectID>(kAudioObjectSystemObject, kAudioHardwarePropertyDefaultOutputDevice), interface);
    AudioObjectRemovePropertyListener(kAudioObjectSystemObject, &any, &ListenerLog::callback, &log);
}

// Once removal returns, the listener is neither running nor called again: its data may go.
TEST_F(HalListeners, RemovalWaitsForACallInProgress) {
    struct Slow {
        std::atomic<int> calls{0};
        std::atomic<bool> inside{false};
        std::atomic<bool> called_after_removal{false};
        std::atomic<bool> removed{false};
        static OSStatus callback(AudioObjectID, UInt32, const AudioObjectPropertyAddress*, void* data) {
            auto* s = static_cast<Slow*>(data);
            if (s->removed.load()) {
                s->called_after_removal = true;
            }
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
    UInt32 frames = 128;
    Hal::set_property_externally(interface, kAudioDevicePropertyBufferFrameSize, &frames, 4);
    frames = 64;
    Hal::set_property_externally(interface, kAudioDevicePropertyBufferFrameSize, &frames, 4);
    while (!slow.inside.load()) {
        std::this_thread::yield();
    }
    ASSERT_EQ(AudioObjectRemovePropertyListener(interface, &frames_address, &Slow::callback, &slow), kAudioHardwareNoError);
    slow.removed = true;
    EXPECT_FALSE(slow.inside.load());
    std::this_thread::sleep_for(std::chrono::milliseconds(120));
    EXPECT_FALSE(slow.called_after_removal.load());
    EXPECT_EQ(slow.calls.load(), 1);
}

} // namespace
