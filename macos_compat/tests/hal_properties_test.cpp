#include "hal_test_support.h"

#include <velmora_compat/cf_debug.h>

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
        ASSERT_NE(speakers, kAudioObjectUnknown);
        ASSERT_NE(microphone, kAudioObjectUnknown);
        ASSERT_NE(interface, kAudioObjectUnknown);
    }
    AudioObjectID speakers = 0;
    AudioObjectID microphone = 0;
    AudioObjectID interface = 0;
};

TEST_F(HalProperties, SystemObjectListsDevicesAndDefaults) {
    const auto devices = list_of<AudioObjectID>(kAudioObjectSystemObject, address(kAudioHardwarePropertyDevices));
    EXPECT_EQ(devices, (std::vector<AudioObjectID>{speakers, microphone, interface}));
    EXPECT_EQ(value_of<AudioObjectID>(kAudioObjectSystemObject, kAudioHardwarePropertyDefaultOutputDevice), speakers);
    EXPECT_EQ(value_of<AudioObjectID>(kAudioObjectSystemObject, kAudioHardwarePropertyDefaultInputDevice), microphone);
    EXPECT_EQ(value_of<AudioClassID>(kAudioObjectSystemObject, kAudioObjectPropertyClass), kAudioSystemObjectClassID);

    const auto translate = address(kAudioHardwarePropertyTranslateUIDToDevice);
    CFStringRef uid = CFSTR("SimulatedInterface8x8");
    AudioObjectID found = 0;
    UInt32 size = sizeof found;
    ASSERT_EQ(AudioObjectGetPropertyData(kAudioObjectSystemObject, &translate, sizeof uid, &uid, &size, &found), kAudioHardwareNoError);
    EXPECT_EQ(found, interface);
    uid = CFSTR("simulatedinterface8x8");  // UIDs compare exactly
    ASSERT_EQ(AudioObjectGetPropertyData(kAudioObjectSystemObject, &translate, sizeof uid, &uid, &size, &found), kAudioHardwareNoError);
    EXPECT_EQ(found, kAudioObjectUnknown);
    EXPECT_EQ(AudioObjectGetPropertyData(kAudioObjectSystemObject, &translate, 4, &uid, &size, &found), kAudioHardwareBadPropertySizeError);
}

TEST_F(HalProperties, SizesAreThoseOfCoreAudio) {
    struct Case {
        const char* what;
        AudioObjectPropertySelector selector;
        AudioObjectPropertyScope scope;
        UInt32 size;
    };
    const Case device_cases[] = {
        {"uid", kAudioDevicePropertyDeviceUID, kAudioObjectPropertyScopeGlobal, 8},
        {"name", kAudioObjectPropertyName, kAudioObjectPropertyScopeGlobal, 8},
        {"manufacturer", kAudioObjectPropertyManufacturer, kAudioObjectPropertyScopeGlobal, 8},
        {"alive", kAudioDevicePropertyDeviceIsAlive, kAudioObjectPropertyScopeGlobal, 4},
        {"running", kAudioDevicePropertyDeviceIsRunning, kAudioObjectPropertyScopeGlobal, 4},
        {"rate", kAudioDevicePropertyNominalSampleRate, kAudioObjectPropertyScopeGlobal, 8},
        {"rate in output scope", kAudioDevicePropertyNominalSampleRate, kAudioObjectPropertyScopeOutput, 8},
        {"rates", kAudioDevicePropertyAvailableNominalSampleRates, kAudioObjectPropertyScopeGlobal, 6 * 16},
        {"buffer", kAudioDevicePropertyBufferFrameSize, kAudioObjectPropertyScopeGlobal, 4},
        {"buffer range", kAudioDevicePropertyBufferFrameSizeRange, kAudioObjectPropertyScopeGlobal, 16},
        {"output streams", kAudioDevicePropertyStreams, kAudioObjectPropertyScopeOutput, 4},
        {"all streams", kAudioDevicePropertyStreams, kAudioObjectPropertyScopeGlobal, 8},
        {"input configuration", kAudioDevicePropertyStreamConfiguration, kAudioObjectPropertyScopeInput, 8 + 16},
        {"latency", kAudioDevicePropertyLatency, kAudioObjectPropertyScopeOutput, 4},
    };
    for (const Case& c : device_cases) {
        EXPECT_EQ(size_of(interface, address(c.selector, c.scope)), c.size) << c.what;
    }
    // A direction without streams: an empty list and an empty buffer list.
    EXPECT_EQ(size_of(speakers, address(kAudioDevicePropertyStreams, kAudioObjectPropertyScopeInput)), 0u);
    EXPECT_EQ(size_of(speakers, address(kAudioDevicePropertyStreamConfiguration, kAudioObjectPropertyScopeInput)), 8u);

    const auto streams = list_of<AudioObjectID>(interface, address(kAudioDevicePropertyStreams, kAudioObjectPropertyScopeOutput));
    ASSERT_EQ(streams.size(), 1u);
    EXPECT_EQ(size_of(streams[0], address(kAudioStreamPropertyVirtualFormat)), 40u);
    EXPECT_EQ(size_of(streams[0], address(kAudioStreamPropertyAvailableVirtualFormats)), 6u * 56u);
    EXPECT_EQ(size_of(streams[0], address(kAudioStreamPropertyDirection)), 4u);
}

TEST_F(HalProperties, MisuseGivesTheHalsErrors) {
    Float64 rate = 0;
    UInt32 size = sizeof rate;
    const auto rate_address = address(kAudioDevicePropertyNominalSampleRate);
    struct Case {
        const char* what;
        AudioObjectID object;
        AudioObjectPropertyAddress a;
        OSStatus expected;
    };
    const Case cases[] = {
        {"unknown object", 9999, rate_address, kAudioHardwareBadObjectError},
        {"unknown selector", interface, address('zzzz'), kAudioHardwareUnknownPropertyError},
        {"device property on the system", kAudioObjectSystemObject, rate_address, kAudioHardwareUnknownPropertyError},
        {"element 3 of a global property", interface, address(kAudioDevicePropertyNominalSampleRate, kAudioObjectPropertyScopeGlobal, 3),
         kAudioHardwareUnknownPropertyError},
        {"play-through scope", interface, address(kAudioDevicePropertyNominalSampleRate, kAudioObjectPropertyScopePlayThrough),
         kAudioHardwareUnknownPropertyError},
        {"stream configuration without a direction", interface, address(kAudioDevicePropertyStreamConfiguration),
         kAudioHardwareUnknownPropertyError},
    };
    for (const Case& c : cases) {
        size = sizeof rate;
        EXPECT_EQ(AudioObjectGetPropertyData(c.object, &c.a, 0, nullptr, &size, &rate), c.expected) << c.what;
        UInt32 data_size = 0;
        EXPECT_EQ(AudioObjectGetPropertyDataSize(c.object, &c.a, 0, nullptr, &data_size), c.expected) << c.what;
        EXPECT_FALSE(AudioObjectHasProperty(c.object, &c.a)) << c.what;
    }
    size = 4;
    EXPECT_EQ(AudioObjectGetPropertyData(interface, &rate_address, 0, nullptr, &size, &rate), kAudioHardwareBadPropertySizeError);
    CFStringRef name = nullptr;
    size = 4;
    const auto name_address = address(kAudioObjectPropertyName);
    EXPECT_EQ(AudioObjectGetPropertyData(interface, &name_address, 0, nullptr, &size, &name), kAudioHardwareBadPropertySizeError);
    EXPECT_EQ(name, nullptr);
    EXPECT_EQ(AudioObjectGetPropertyData(interface, nullptr, 0, nullptr, &size, &rate), kAudioHardwareIllegalOperationError);
    EXPECT_EQ(AudioObjectGetPropertyData(interface, &rate_address, 0, nullptr, nullptr, &rate), kAudioHardwareIllegalOperationError);
    EXPECT_EQ(AudioObjectGetPropertyData(interface, &rate_address, 0, nullptr, &size, nullptr), kAudioHardwareIllegalOperationError);
    EXPECT_EQ(AudioObjectGetPropertyDataSize(interface, &rate_address, 0, nullptr, nullptr), kAudioHardwareIllegalOperationError);
    EXPECT_FALSE(AudioObjectHasProperty(interface, nullptr));
    EXPECT_TRUE(AudioObjectHasProperty(interface, &rate_address));

    // Setting: only what the device supports, with exactly the property's size.
    const Float64 unsupported = 32000.0;
    EXPECT_EQ(AudioObjectSetPropertyData(interface, &rate_address, 0, nullptr, 8, &unsupported), kAudioHardwareIllegalOperationError);
    const Float64 supported = 96000.0;
    EXPECT_EQ(AudioObjectSetPropertyData(interface, &rate_address, 0, nullptr, 4, &supported), kAudioHardwareBadPropertySizeError);
    EXPECT_EQ(AudioObjectSetPropertyData(interface, &rate_address, 0, nullptr, 16, &supported), kAudioHardwareBadPropertySizeError);
    EXPECT_EQ(AudioObjectSetPropertyData(interface, &rate_address, 0, nullptr, 8, nullptr), kAudioHardwareIllegalOperationError);
    const auto frames_address = address(kAudioDevicePropertyBufferFrameSize);
    for (UInt32 frames : {0u, 15u, 4097u}) {
        EXPECT_EQ(AudioObjectSetPropertyData(interface, &frames_address, 0, nullptr, 4, &frames), kAudioHardwareIllegalOperationError) << frames;
    }
    const auto uid_address = address(kAudioDevicePropertyDeviceUID);
    CFStringRef uid = CFSTR("x");
    EXPECT_EQ(AudioObjectSetPropertyData(interface, &uid_address, 0, nullptr, 8, &uid), kAudioHardwareUnsupportedOperationError);
    Boolean settable = true;
    EXPECT_EQ(AudioObjectIsPropertySettable(interface, &uid_address, &settable), kAudioHardwareNoError);
    EXPECT_FALSE(settable);
    EXPECT_EQ(AudioObjectIsPropertySettable(interface, &rate_address, &settable), kAudioHardwareNoError);
    EXPECT_TRUE(settable);
    EXPECT_EQ(AudioObjectIsPropertySettable(9999, &rate_address, &settable), kAudioHardwareBadObjectError);
    const auto default_output = address(kAudioHardwarePropertyDefaultOutputDevice);
    EXPECT_EQ(AudioObjectSetPropertyData(kAudioObjectSystemObject, &default_output, 0, nullptr, 4, &microphone),
              kAudioHardwareIllegalOperationError);  // no outputs
    EXPECT_EQ(AudioObjectSetPropertyData(kAudioObjectSystemObject, &default_output, 0, nullptr, 4, &interface), kAudioHardwareNoError);
    EXPECT_EQ(value_of<AudioObjectID>(kAudioObjectSystemObject, kAudioHardwarePropertyDefaultOutputDevice), interface);
}

TEST_F(HalProperties, StringsAreOwnedByTheCaller) {
    const long before = VelmoraCompat::cf_live_object_count();
    EXPECT_EQ(string_of(interface, kAudioDevicePropertyDeviceUID), "SimulatedInterface8x8");
    EXPECT_EQ(string_of(interface, kAudioObjectPropertyName), "Studio Interface 8x8");
    EXPECT_EQ(string_of(speakers, kAudioObjectPropertyManufacturer), "Simulated Audio");
    EXPECT_EQ(VelmoraCompat::cf_live_object_count(), before);
    CFStringRef uid = nullptr;
    ASSERT_EQ(read(interface, kAudioDevicePropertyDeviceUID, &uid), kAudioHardwareNoError);
    EXPECT_EQ(CFGetRetainCount(uid), 1);
    EXPECT_EQ(VelmoraCompat::cf_live_object_count(), before + 1);
    CFRelease(uid);
}

TEST_F(HalProperties, AListFetchedIntoASmallerBufferGivesWhatFits) {
    const auto devices = address(kAudioHardwarePropertyDevices);
    AudioObjectID first[2] = {0, 0};
    UInt32 size = sizeof(AudioObjectID) + 2;  // room for one and a half
    ASSERT_EQ(AudioObjectGetPropertyData(kAudioObjectSystemObject, &devices, 0, nullptr, &size, first), kAudioHardwareNoError);
    EXPECT_EQ(size, sizeof(AudioObjectID));
    EXPECT_EQ(first[0], speakers);
    EXPECT_EQ(first[1], 0u);
}

TEST_F(HalProperties, StreamsDescribeTheirLayoutAndFormat) {
    Hal::DeviceDescription d = manual_device("MultiStream", {{2, Hal::SampleFormat::float32, true, 0.0}, {2, Hal::SampleFormat::int24, false, 0.0}},
                                             {{4, Hal::SampleFormat::float32, false, 0.0}, {1, Hal::SampleFormat::float32, true, 44100.0}});
    const AudioObjectID device = Hal::add_device(d);
    ASSERT_NE(device, kAudioObjectUnknown);
    const auto inputs = list_of<AudioObjectID>(device, address(kAudioDevicePropertyStreams, kAudioObjectPropertyScopeInput));
    const auto outputs = list_of<AudioObjectID>(device, address(kAudioDevicePropertyStreams, kAudioObjectPropertyScopeOutput));
    ASSERT_EQ(inputs.size(), 2u);
    ASSERT_EQ(outputs.size(), 2u);
    EXPECT_EQ(value_of<UInt32>(inputs[1], kAudioStreamPropertyStartingChannel), 3u);
    EXPECT_EQ(value_of<UInt32>(inputs[1], kAudioStreamPropertyDirection), 1u);
    EXPECT_EQ(value_of<UInt32>(outputs[0], kAudioStreamPropertyDirection), 0u);
    EXPECT_EQ(value_of<AudioObjectID>(outputs[0], kAudioObjectPropertyOwner), device);

    const auto interleaved = value_of<AudioStreamBasicDescription>(inputs[0], kAudioStreamPropertyVirtualFormat);
    EXPECT_EQ(interleaved.mFormatID, kAudioFormatLinearPCM);
    EXPECT_EQ(interleaved.mFormatFlags, kAudioFormatFlagsNativeFloatPacked);
    EXPECT_EQ(interleaved.mBytesPerFrame, 8u);
    EXPECT_EQ(interleaved.mChannelsPerFrame, 2u);
    EXPECT_EQ(interleaved.mSampleRate, 48000.0);
    const auto int24 = value_of<AudioStreamBasicDescription>(inputs[1], kAudioStreamPropertyVirtualFormat);
    EXPECT_EQ(int24.mFormatFlags, kAudioFormatFlagIsSignedInteger | kAudioFormatFlagIsPacked | kAudioFormatFlagIsNonInterleaved);
    EXPECT_EQ(int24.mBitsPerChannel, 24u);
    EXPECT_EQ(int24.mBytesPerFrame, 3u);
    const auto planar = value_of<AudioStreamBasicDescription>(outputs[0], kAudioStreamPropertyVirtualFormat);
    EXPECT_EQ(planar.mFormatFlags, kAudioFormatFlagsNativeFloatPacked | kAudioFormatFlagIsNonInterleaved);
    EXPECT_EQ(planar.mBytesPerFrame, 4u);
    EXPECT_EQ(value_of<AudioStreamBasicDescription>(outputs[1], kAudioStreamPropertyVirtualFormat).mSampleRate, 44100.0);

    // Stream configuration: one buffer per interleaved stream, one per channel otherwise.
    const auto config = address(kAudioDevicePropertyStreamConfiguration, kAudioObjectPropertyScopeOutput);
    UInt32 size = size_of(device, config);
    ASSERT_EQ(size, 8u + 5u * 16u);
    std::vector<std::uint64_t> storage(size / 8 + 1);
    auto* list = reinterpret_cast<AudioBufferList*>(storage.data());
    ASSERT_EQ(AudioObjectGetPropertyData(device, &config, 0, nullptr, &size, list), kAudioHardwareNoError);
    ASSERT_EQ(list->mNumberBuffers, 5u);
    for (UInt32 b = 0; b < 4; ++b) {
        EXPECT_EQ(list->mBuffers[b].mNumberChannels, 1u);
        EXPECT_EQ(list->mBuffers[b].mData, nullptr);
        EXPECT_EQ(list->mBuffers[b].mDataByteSize, 0u);
    }
    EXPECT_EQ(list->mBuffers[4].mNumberChannels, 1u);
}

TEST_F(HalProperties, ARateChangeCanTakeSeveralPollsAndIsHeardWhenApplied) {
    ListenerLog log;
    const auto rate_address = address(kAudioDevicePropertyNominalSampleRate);
    ASSERT_EQ(AudioObjectAddPropertyListener(interface, &rate_address, &ListenerLog::callback, &log), kAudioHardwareNoError);
    ASSERT_TRUE(Hal::set_change_polls(interface, 2, 0));
    const Float64 wanted = 96000.0;
    ASSERT_EQ(AudioObjectSetPropertyData(interface, &rate_address, 0, nullptr, sizeof wanted, &wanted), kAudioHardwareNoError);
    EXPECT_EQ(value_of<Float64>(interface, kAudioDevicePropertyNominalSampleRate), 48000.0);
    EXPECT_EQ(value_of<Float64>(interface, kAudioDevicePropertyNominalSampleRate), 48000.0);
    EXPECT_FALSE(log.heard(interface, kAudioDevicePropertyNominalSampleRate));
    EXPECT_EQ(value_of<Float64>(interface, kAudioDevicePropertyNominalSampleRate), 96000.0);
    EXPECT_TRUE(log.wait_until_heard(interface, kAudioDevicePropertyNominalSampleRate));
    const auto streams = list_of<AudioObjectID>(interface, address(kAudioDevicePropertyStreams, kAudioObjectPropertyScopeInput));
    EXPECT_EQ(value_of<AudioStreamBasicDescription>(streams[0], kAudioStreamPropertyVirtualFormat).mSampleRate, 96000.0);
    EXPECT_EQ(AudioObjectRemovePropertyListener(interface, &rate_address, &ListenerLog::callback, &log), kAudioHardwareNoError);
}

TEST_F(HalProperties, RefusedValuesFailTheSetter) {
    ASSERT_TRUE(Hal::refuse_sample_rate(interface, 44100.0));
    ASSERT_TRUE(Hal::refuse_buffer_frames(interface, 128));
    const auto rate_address = address(kAudioDevicePropertyNominalSampleRate);
    const auto frames_address = address(kAudioDevicePropertyBufferFrameSize);
    const Float64 refused_rate = 44100.0;
    const UInt32 refused_frames = 128;
    const UInt32 accepted_frames = 64;
    EXPECT_EQ(AudioObjectSetPropertyData(interface, &rate_address, 0, nullptr, 8, &refused_rate), kAudioHardwareIllegalOperationError);
    EXPECT_EQ(AudioObjectSetPropertyData(interface, &frames_address, 0, nullptr, 4, &refused_frames), kAudioHardwareIllegalOperationError);
    EXPECT_EQ(AudioObjectSetPropertyData(interface, &frames_address, 0, nullptr, 4, &accepted_frames), kAudioHardwareNoError);
    EXPECT_EQ(value_of<UInt32>(interface, kAudioDevicePropertyBufferFrameSize), 64u);
    // Another application is not refused.
    EXPECT_EQ(Hal::set_property_externally(interface, kAudioDevicePropertyNominalSampleRate, &refused_rate, 8), kAudioHardwareNoError);
    EXPECT_EQ(value_of<Float64>(interface, kAudioDevicePropertyNominalSampleRate), 44100.0);
}

TEST_F(HalProperties, DescriptionsAreCheckedAndUidsAreUnique) {
    std::string error;
    Hal::DeviceDescription d = manual_device("BuiltInSpeakerDevice", {}, {{2}});
    EXPECT_EQ(Hal::add_device(d, &error), kAudioObjectUnknown);
    EXPECT_EQ(error, "uid \"BuiltInSpeakerDevice\" is taken");
    d = manual_device("NoStreams", {}, {});
    EXPECT_EQ(Hal::add_device(d, &error), kAudioObjectUnknown);
    EXPECT_EQ(error, "a device needs at least one stream");
    d = manual_device("BadRate", {}, {{2}});
    d.sample_rate = 32000.0;
    EXPECT_EQ(Hal::add_device(d, &error), kAudioObjectUnknown);
    EXPECT_EQ(error, "sample_rate is not one of sample_rates");
}

} // namespace
