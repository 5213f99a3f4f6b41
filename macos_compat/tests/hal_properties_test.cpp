#include "hal_test_support.h"

#include <gtest/gtest.h>

namespace {

using namespace HalTest;

class HalProperties : public ::testing::Test {
protected:
    void SetUp() override {
        Hal::reset_to_defaults();
        speakers = Hal::device_with_uid("BuiltInSpeakerDevice");
        microphone = Hal::device_with_uid("BuiltInMicrophoneDevice");
        interface = Hal::device_with_uid("SimulatedInterface8x8");
        ASSERT_NE(interface, kAudioObjectUnknown);
    }
    OSStatus set(AudioObjectID object, AudioObjectPropertySelector selector, UInt32 size, const void* data) {
        const auto a = address(selector);
        return AudioObjectSetPropertyData(object, &a, 0, nullptr, size, data);
    }
    AudioObjectID speakers = 0, microphone = 0, interface = 0;
    const AudioObjectPropertyAddress rate_address = address(kAudioDevicePropertyNominalSampleRate);
};

TEST_F(HalProperties, SystemObjectListsDevicesDefaultsAndTranslatesUids) {
    EXPECT_EQ(list_of(kAudioObjectSystemObject, address(kAudioHardwarePropertyDevices)),
              (std::vector<AudioObjectID>{speakers, microphone, interface}));
    EXPECT_EQ(value_of<AudioObjectID>(kAudioObjectSystemObject, kAudioHardwarePropertyDefaultOutputDevice), speakers);
    EXPECT_EQ(value_of<AudioObjectID>(kAudioObjectSystemObject, kAudioHardwarePropertyDefaultInputDevice), microphone);
    const auto translate = address(kAudioHardwarePropertyTranslateUIDToDevice);
    for (const auto& [uid, expected] : {std::pair{CFSTR("SimulatedInterface8x8"), interface},
                                        std::pair{CFSTR("simulatedinterface8x8"), AudioObjectID{kAudioObjectUnknown}}}) {
        AudioObjectID found = 99;
        UInt32 size = sizeof found;
        ASSERT_EQ(AudioObjectGetPropertyData(kAudioObjectSystemObject, &translate, sizeof uid, &uid, &size, &found),
                  kAudioHardwareNoError);
        EXPECT_EQ(found, expected);
    }
    AudioObjectID found = 0;
    UInt32 size = sizeof found;
    CFStringRef uid = CFSTR("x");
    EXPECT_EQ(AudioObjectGetPropertyData(kAudioObjectSystemObject, &translate, 4, &uid, &size, &found),
              kAudioHardwareBadPropertySizeError);
}

TEST_F(HalProperties, SizesAreThoseOfCoreAudio) {
    const struct {
        AudioObjectPropertySelector selector;
        AudioObjectPropertyScope scope;
        UInt32 size;
    } cases[] = {
        {kAudioDevicePropertyDeviceUID, kAudioObjectPropertyScopeGlobal, 8},
        {kAudioObjectPropertyName, kAudioObjectPropertyScopeGlobal, 8},
        {kAudioDevicePropertyDeviceIsAlive, kAudioObjectPropertyScopeGlobal, 4},
        {kAudioDevicePropertyNominalSampleRate, kAudioObjectPropertyScopeOutput, 8},
        {kAudioDevicePropertyAvailableNominalSampleRates, kAudioObjectPropertyScopeGlobal, 6 * 16},
        {kAudioDevicePropertyBufferFrameSize, kAudioObjectPropertyScopeGlobal, 4},
        {kAudioDevicePropertyBufferFrameSizeRange, kAudioObjectPropertyScopeGlobal, 16},
        {kAudioDevicePropertyStreams, kAudioObjectPropertyScopeOutput, 4},
        {kAudioDevicePropertyStreams, kAudioObjectPropertyScopeGlobal, 8},
        {kAudioDevicePropertyStreamConfiguration, kAudioObjectPropertyScopeInput, 8 + 16},
        {kAudioDevicePropertyLatency, kAudioObjectPropertyScopeOutput, 4},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(size_of(interface, address(c.selector, c.scope)), c.size) << std::hex << c.selector;
    }
    // A direction without streams: an empty list and an empty buffer list.
    EXPECT_EQ(size_of(speakers, address(kAudioDevicePropertyStreams, kAudioObjectPropertyScopeInput)), 0u);
    EXPECT_EQ(size_of(speakers, address(kAudioDevicePropertyStreamConfiguration, kAudioObjectPropertyScopeInput)), 8u);
    const auto streams = list_of(interface, address(kAudioDevicePropertyStreams, kAudioObjectPropertyScopeOutput));
    ASSERT_EQ(streams.size(), 1u);
    EXPECT_EQ(size_of(streams[0], address(kAudioStreamPropertyVirtualFormat)), 40u);
    EXPECT_EQ(size_of(streams[0], address(kAudioStreamPropertyAvailableVirtualFormats)), 6u * 56u);
}

TEST_F(HalProperties, MisuseGivesTheHalsErrors) {
    const struct {
        const char* what;
        AudioObjectID object;
        AudioObjectPropertyAddress a;
        OSStatus expected;
    } cases[] = {
        {"unknown object", 9999, rate_address, kAudioHardwareBadObjectError},
        {"unknown selector", interface, address('zzzz'), kAudioHardwareUnknownPropertyError},
        {"device property on the system", kAudioObjectSystemObject, rate_address, kAudioHardwareUnknownPropertyError},
        {"element 3 of a global property",
         interface, address(kAudioDevicePropertyNominalSampleRate, kAudioObjectPropertyScopeGlobal, 3),
         kAudioHardwareUnknownPropertyError},
        {"stream configuration without a direction", interface, address(kAudioDevicePropertyStreamConfiguration),
         kAudioHardwareUnknownPropertyError},
    };
    Float64 rate = 0;
    UInt32 size = sizeof rate;
    for (const auto& c : cases) {
        size = sizeof rate;
        EXPECT_EQ(AudioObjectGetPropertyData(c.object, &c.a, 0, nullptr, &size, &rate), c.expected) << c.what;
        EXPECT_EQ(AudioObjectGetPropertyDataSize(c.object, &c.a, 0, nullptr, &size), c.expected) << c.what;
        EXPECT_FALSE(AudioObjectHasProperty(c.object, &c.a)) << c.what;
    }
    size = 4;
    EXPECT_EQ(AudioObjectGetPropertyData(interface, &rate_address, 0, nullptr, &size, &rate),
              kAudioHardwareBadPropertySizeError);
    EXPECT_EQ(AudioObjectGetPropertyData(interface, &rate_address, 0, nullptr, &size, nullptr),
              kAudioHardwareIllegalOperationError);

    // Setting: only what the device supports, with exactly the property's size.
    const Float64 unsupported = 32000.0, supported = 96000.0;
    EXPECT_EQ(set(interface, kAudioDevicePropertyNominalSampleRate, 8, &unsupported), kAudioHardwareIllegalOperationError);
    EXPECT_EQ(set(interface, kAudioDevicePropertyNominalSampleRate, 4, &supported), kAudioHardwareBadPropertySizeError);
    for (UInt32 frames : {0u, 15u, 4097u}) {
        EXPECT_EQ(set(interface, kAudioDevicePropertyBufferFrameSize, 4, &frames), kAudioHardwareIllegalOperationError);
    }
    CFStringRef uid = CFSTR("x");
    EXPECT_EQ(set(interface, kAudioDevicePropertyDeviceUID, 8, &uid), kAudioHardwareUnsupportedOperationError);
    Boolean settable = true;
    const auto uid_address = address(kAudioDevicePropertyDeviceUID);
    EXPECT_EQ(AudioObjectIsPropertySettable(interface, &uid_address, &settable), kAudioHardwareNoError);
    EXPECT_FALSE(settable);
    // A device without outputs cannot be the default output.
    EXPECT_EQ(set(kAudioObjectSystemObject, kAudioHardwarePropertyDefaultOutputDevice, 4, &microphone),
              kAudioHardwareIllegalOperationError);
    EXPECT_EQ(set(kAudioObjectSystemObject, kAudioHardwarePropertyDefaultOutputDevice, 4, &interface),
              kAudioHardwareNoError);
    EXPECT_EQ(value_of<AudioObjectID>(kAudioObjectSystemObject, kAudioHardwarePropertyDefaultOutputDevice), interface);
}

TEST_F(HalProperties, StreamsDescribeTheirLayoutAndFormat) {
    const AudioObjectID device = Hal::add_device(manual_device(
        "MultiStream", {{2, Hal::SampleFormat::float32, true, 0.0}, {2, Hal::SampleFormat::int24, false, 0.0}},
        {{4, Hal::SampleFormat::float32, false, 0.0}, {1, Hal::SampleFormat::float32, true, 44100.0}}));
    ASSERT_NE(device, kAudioObjectUnknown);
    const auto inputs = list_of(device, address(kAudioDevicePropertyStreams, kAudioObjectPropertyScopeInput));
    const auto outputs = list_of(device, address(kAudioDevicePropertyStreams, kAudioObjectPropertyScopeOutput));
    ASSERT_EQ(inputs.size(), 2u);
    ASSERT_EQ(outputs.size(), 2u);
    EXPECT_EQ(value_of<UInt32>(inputs[1], kAudioStreamPropertyStartingChannel), 3u);
    EXPECT_EQ(value_of<UInt32>(inputs[1], kAudioStreamPropertyDirection), 1u);
    EXPECT_EQ(value_of<AudioObjectID>(outputs[0], kAudioObjectPropertyOwner), device);
    const auto format = [](AudioObjectID stream) {
        return value_of<AudioStreamBasicDescription>(stream, kAudioStreamPropertyVirtualFormat);
    };
    EXPECT_EQ(format(inputs[0]).mFormatFlags, kAudioFormatFlagsNativeFloatPacked);
    EXPECT_EQ(format(inputs[0]).mBytesPerFrame, 8u);
    EXPECT_EQ(format(inputs[1]).mFormatFlags,
              kAudioFormatFlagIsSignedInteger | kAudioFormatFlagIsPacked | kAudioFormatFlagIsNonInterleaved);
    EXPECT_EQ(format(inputs[1]).mBitsPerChannel, 24u);
    EXPECT_EQ(format(inputs[1]).mBytesPerFrame, 3u);
    EXPECT_EQ(format(outputs[0]).mFormatFlags, kAudioFormatFlagsNativeFloatPacked | kAudioFormatFlagIsNonInterleaved);
    EXPECT_EQ(format(outputs[1]).mSampleRate, 44100.0);
    // Stream configuration: one buffer per interleaved stream, one per channel otherwise.
    const auto config = address(kAudioDevicePropertyStreamConfiguration, kAudioObjectPropertyScopeOutput);
    UInt32 size = size_of(device, config);
    ASSERT_EQ(size, 8u + 5u * 16u);
    std::vector<std::uint64_t> storage(size / 8 + 1);
    auto* list = reinterpret_cast<AudioBufferList*>(storage.data());
    ASSERT_EQ(AudioObjectGetPropertyData(device, &config, 0, nullptr, &size, list), kAudioHardwareNoError);
    ASSERT_EQ(list->mNumberBuffers, 5u);
    for (UInt32 b = 0; b < 5; ++b) {
        EXPECT_EQ(list->mBuffers[b].mNumberChannels, 1u);
        EXPECT_EQ(list->mBuffers[b].mData, nullptr);
        EXPECT_EQ(list->mBuffers[b].mDataByteSize, 0u);
    }
}

TEST_F(HalProperties, RateChangesTakeSeveralPollsAndRefusedValuesFail) {
    ListenerLog log;
    ASSERT_EQ(AudioObjectAddPropertyListener(interface, &rate_address, &ListenerLog::callback, &log),
              kAudioHardwareNoError);
    ASSERT_TRUE(Hal::set_change_polls(interface, 2, 0));
    const Float64 wanted = 96000.0;
    ASSERT_EQ(set(interface, kAudioDevicePropertyNominalSampleRate, 8, &wanted), kAudioHardwareNoError);
    EXPECT_EQ(value_of<Float64>(interface, kAudioDevicePropertyNominalSampleRate), 48000.0);
    EXPECT_EQ(value_of<Float64>(interface, kAudioDevicePropertyNominalSampleRate), 48000.0);
    EXPECT_TRUE(log.calls().empty());
    EXPECT_EQ(value_of<Float64>(interface, kAudioDevicePropertyNominalSampleRate), 96000.0);
    EXPECT_TRUE(log.heard(interface, kAudioDevicePropertyNominalSampleRate));
    EXPECT_EQ(AudioObjectRemovePropertyListener(interface, &rate_address, &ListenerLog::callback, &log),
              kAudioHardwareNoError);

    ASSERT_TRUE(Hal::set_change_polls(interface, 0, 0));
    ASSERT_TRUE(Hal::refuse_sample_rate(interface, 44100.0));
    ASSERT_TRUE(Hal::refuse_buffer_frames(interface, 128));
    const Float64 refused_rate = 44100.0;
    const UInt32 refused_frames = 128, accepted_frames = 64;
    EXPECT_EQ(set(interface, kAudioDevicePropertyNominalSampleRate, 8, &refused_rate), kAudioHardwareIllegalOperationError);
    EXPECT_EQ(set(interface, kAudioDevicePropertyBufferFrameSize, 4, &refused_frames), kAudioHardwareIllegalOperationError);
    EXPECT_EQ(set(interface, kAudioDevicePropertyBufferFrameSize, 4, &accepted_frames), kAudioHardwareNoError);
    EXPECT_EQ(value_of<UInt32>(interface, kAudioDevicePropertyBufferFrameSize), 64u);
    // Another application is not refused.
    EXPECT_EQ(Hal::set_property_externally(interface, kAudioDevicePropertyNominalSampleRate, &refused_rate, 8),
              kAudioHardwareNoError);
    EXPECT_EQ(value_of<Float64>(interface, kAudioDevicePropertyNominalSampleRate), 44100.0);
}

TEST_F(HalProperties, DescriptionsAreCheckedAndUidsAreUnique) {
    std::string error;
    EXPECT_EQ(Hal::add_device(manual_device("BuiltInSpeakerDevice", {}, {{2}}), &error), kAudioObjectUnknown);
    EXPECT_EQ(error, "uid \"BuiltInSpeakerDevice\" is taken");
}

} // namespace
