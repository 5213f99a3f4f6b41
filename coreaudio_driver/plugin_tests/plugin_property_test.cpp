// Every property of the four objects, read through the function table with the size the host
// asks first; wrong sizes, unknown addresses and their log lines.
#include "driver_test_fixture.h"

#include <velmora_compat/cf_debug.h>
#include <velmora_compat/os_log_capture.h>

#include <variant>

namespace {

using VelmoraTest::address_of;
using VelmoraTest::DriverTest;
using VelmoraTest::four_cc;

constexpr AudioObjectPropertyScope kGlobal = kAudioObjectPropertyScopeGlobal;
constexpr AudioObjectPropertyScope kInput = kAudioObjectPropertyScopeInput;
constexpr AudioObjectPropertyScope kOutput = kAudioObjectPropertyScopeOutput;
constexpr AudioObjectPropertyScope kWildcard = kAudioObjectPropertyScopeWildcard;
constexpr AudioObjectPropertyElement kAnyElement = kAudioObjectPropertyElementWildcard;

struct Scalar {
    AudioObjectID object;
    AudioObjectPropertySelector selector;
    AudioObjectPropertyScope scope;
    std::variant<UInt32, Float64, Float32, std::string> value;
};

// One row per (object, property, scope): its value, and by its type its size.
const std::vector<Scalar> kScalars = {
    {1, kAudioObjectPropertyBaseClass, kGlobal, UInt32{kAudioObjectClassID}},
    {1, kAudioObjectPropertyClass, kGlobal, UInt32{kAudioPlugInClassID}},
    {1, kAudioObjectPropertyOwner, kGlobal, UInt32{0}},
    {1, kAudioObjectPropertyName, kGlobal, std::string("Velmora")},
    {1, kAudioObjectPropertyModelName, kWildcard, std::string("Velmora")},
    {1, kAudioObjectPropertyManufacturer, kGlobal, std::string("Tarnwell")},
    {1, kAudioPlugInPropertyBundleID, kGlobal, std::string("com.tarnwell.velmora.coreaudio")},
    {2, kAudioObjectPropertyBaseClass, kGlobal, UInt32{kAudioObjectClassID}},
    {2, kAudioObjectPropertyClass, kGlobal, UInt32{kAudioDeviceClassID}},
    {2, kAudioObjectPropertyOwner, kGlobal, UInt32{1}},
    {2, kAudioObjectPropertyName, kGlobal, std::string("Velmora")},
    {2, kAudioObjectPropertyModelName, kGlobal, std::string("Velmora")},
    {2, kAudioObjectPropertyManufacturer, kGlobal, std::string("Tarnwell")},
    {2, kAudioDevicePropertyDeviceUID, kGlobal, std::string("com.tarnwell.velmora.coreaudio.device")},
    {2, kAudioDevicePropertyModelUID, kWildcard, std::string("com.tarnwell.velmora.coreaudio.device")},
    {2, kAudioDevicePropertyTransportType, kGlobal, UInt32{kAudioDeviceTransportTypeVirtual}},
    {2, kAudioDevicePropertyClockDomain, kGlobal, UInt32{0}},
    {2, kAudioDevicePropertyClockAlgorithm, kGlobal, UInt32{kAudioDeviceClockAlgorithmRaw}},
    {2, kAudioDevicePropertyClockIsStable, kGlobal, UInt32{1}},
    {2, kAudioDevicePropertyDeviceIsAlive, kGlobal, UInt32{1}},
    {2, kAudioDevicePropertyDeviceIsRunning, kGlobal, UInt32{0}},
    {2, kAudioDevicePropertyDeviceIsRunningSomewhere, kGlobal, UInt32{0}},
    {2, kAudioDevicePropertyIsHidden, kGlobal, UInt32{0}},
    {2, kAudioDevicePropertyUsesVariableBufferFrameSizes, kGlobal, UInt32{0}},
    {2, kAudioDevicePropertySafetyOffset, kGlobal, UInt32{0}},
    {2, kAudioDevicePropertySafetyOffset, kInput, UInt32{0}},
    {2, kAudioDevicePropertySafetyOffset, kOutput, UInt32{0}},
    {2, kAudioDevicePropertyLatency, kInput, UInt32{0}},
    {2, kAudioDevicePropertyLatency, kWildcard, UInt32{0}},
    {2, kAudioDevicePropertyNominalSampleRate, kGlobal, Float64{48000}},
    {2, kAudioDevicePropertyBufferFrameSize, kGlobal, UInt32{128}},
    {2, kAudioDevicePropertyZeroTimeStampPeriod, kGlobal, UInt32{10923}},
    {2, kAudioDevicePropertyIOCycleUsage, kGlobal, Float32{0.5f}},
    {2, 'accs', kGlobal, UInt32{1}},
    {2, 'aExS', kGlobal, UInt32{0}},
    {2, 'aExS', kOutput, UInt32{0}},
    {2, 'siso', kGlobal, UInt32{0}},
    {2, kAudioObjectPropertyElementName, kGlobal, std::string("Velmora")},
    {3, kAudioObjectPropertyBaseClass, kGlobal, UInt32{kAudioObjectClassID}},
    {3, kAudioObjectPropertyClass, kInput, UInt32{kAudioStreamClassID}},
    {3, kAudioObjectPropertyOwner, kGlobal, UInt32{2}},
    {3, kAudioObjectPropertyName, kGlobal, std::string("Velmora Input")},
    {3, kAudioObjectPropertyModelName, kGlobal, std::string("Velmora Input")},
    {3, kAudioObjectPropertyManufacturer, kGlobal, std::string("Tarnwell")},
    {3, kAudioStreamPropertyIsActive, kGlobal, UInt32{1}},
    {3, kAudioStreamPropertyDirection, kGlobal, UInt32{1}},
    {3, kAudioStreamPropertyTerminalType, kGlobal, UInt32{kAudioStreamTerminalTypeMicrophone}},
    {3, kAudioStreamPropertyStartingChannel, kGlobal, UInt32{1}},
    {3, kAudioStreamPropertyLatency, kInput, UInt32{0}},
    {4, kAudioObjectPropertyBaseClass, kGlobal, UInt32{kAudioObjectClassID}},
    {4, kAudioObjectPropertyClass, kOutput, UInt32{kAudioStreamClassID}},
    {4, kAudioObjectPropertyOwner, kGlobal, UInt32{2}},
    {4, kAudioObjectPropertyName, kGlobal, std::string("Velmora Output")},
    {4, kAudioObjectPropertyModelName, kWildcard, std::string("Velmora Output")},
    {4, kAudioObjectPropertyManufacturer, kGlobal, std::string("Tarnwell")},
    {4, kAudioStreamPropertyIsActive, kGlobal, UInt32{1}},
    {4, kAudioStreamPropertyDirection, kGlobal, UInt32{0}},
    {4, kAudioStreamPropertyTerminalType, kGlobal, UInt32{kAudioStreamTerminalTypeSpeaker}},
    {4, kAudioStreamPropertyStartingChannel, kOutput, UInt32{1}},
    {4, kAudioStreamPropertyLatency, kGlobal, UInt32{0}},
};

TEST_F(DriverTest, ScalarPropertiesHaveTheirSizeAndValue) {
    for (const Scalar& row : kScalars) {
        const auto address = address_of(row.selector, row.scope);
        SCOPED_TRACE("object " + std::to_string(row.object) + " " + four_cc(row.selector) + " " +
                     four_cc(row.scope));
        EXPECT_TRUE(host_.has(row.object, address));
        Boolean settable = 1;
        EXPECT_EQ(table().IsPropertySettable(ref(), row.object, 0, &address, &settable),
                  kAudioHardwareNoError);
        EXPECT_EQ(settable != 0, row.object == 2 && (row.selector == kAudioDevicePropertyNominalSampleRate ||
                                                     row.selector == kAudioDevicePropertyBufferFrameSize));
        if (const auto* value = std::get_if<UInt32>(&row.value)) {
            EXPECT_EQ(host_.u32(row.object, address), *value);
        } else if (const auto* value = std::get_if<Float64>(&row.value)) {
            EXPECT_EQ(host_.value<Float64>(row.object, address), *value);
        } else if (const auto* value = std::get_if<Float32>(&row.value)) {
            EXPECT_EQ(host_.value<Float32>(row.object, address), *value);
        } else {
            EXPECT_EQ(host_.text(row.object, address), std::get<std::string>(row.value));
        }
    }
}

TEST_F(DriverTest, StringAnswersAreOwnedByTheHost) {
    const long before = VelmoraCompat::cf_live_object_count();
    CFStringRef name = host_.value<CFStringRef>(2, address_of(kAudioObjectPropertyName));
    ASSERT_NE(name, nullptr);
    EXPECT_EQ(CFGetRetainCount(name), 1);
    EXPECT_EQ(VelmoraCompat::cf_live_object_count(), before + 1);
    CFRelease(name);
    EXPECT_EQ(VelmoraCompat::cf_live_object_count(), before);
}

TEST_F(DriverTest, ObjectListsFollowTheScope) {
    struct Case {
        AudioObjectID object;
        AudioObjectPropertySelector selector;
        AudioObjectPropertyScope scope;
        std::vector<AudioObjectID> objects;
    };
    const std::vector<Case> cases = {
        {1, kAudioPlugInPropertyDeviceList, kGlobal, {2}},
        {1, kAudioPlugInPropertyBoxList, kGlobal, {}},
        {1, kAudioPlugInPropertyClockDeviceList, kGlobal, {}},
        {1, kAudioObjectPropertyControlList, kGlobal, {}},
        {1, kAudioObjectPropertyCustomPropertyInfoList, kGlobal, {}},
        {2, kAudioDevicePropertyStreams, kInput, {3}},
        {2, kAudioDevicePropertyStreams, kOutput, {4}},
        {2, kAudioDevicePropertyStreams, kGlobal, {3, 4}},
        {2, kAudioDevicePropertyStreams, kWildcard, {3, 4}},
        {2, 'tap#', kGlobal, {}},
        {2, kAudioObjectPropertyControlList, kGlobal, {}},
        {2, kAudioObjectPropertyCustomPropertyInfoList, kGlobal, {}},
        {3, 'tap#', kGlobal, {}},
        {4, kAudioObjectPropertyControlList, kGlobal, {}},
        {4, kAudioObjectPropertyCustomPropertyInfoList, kOutput, {}},
    };
    for (const Case& test : cases) {
        SCOPED_TRACE(std::to_string(test.object) + " " + four_cc(test.selector) + " " + four_cc(test.scope));
        const std::vector<unsigned char> data =
            host_.bytes(test.object, address_of(test.selector, test.scope));
        ASSERT_EQ(data.size(), test.objects.size() * sizeof(AudioObjectID));
        std::vector<AudioObjectID> objects(test.objects.size());
        if (!data.empty()) {
            std::memcpy(objects.data(), data.data(), data.size());
        }
        EXPECT_EQ(objects, test.objects);
    }
}

TEST_F(DriverTest, RatesRangesAndFormats) {
    const std::vector<unsigned char> rates =
        host_.bytes(2, address_of(kAudioDevicePropertyAvailableNominalSampleRates));
    ASSERT_EQ(rates.size(), 96u);
    const Float64 expected_rates[] = {44100, 48000, 88200, 96000, 176400, 192000};
    for (std::size_t i = 0; i < 6; ++i) {
        AudioValueRange range{};
        std::memcpy(&range, rates.data() + i * sizeof range, sizeof range);
        EXPECT_EQ(range.mMinimum, expected_rates[i]);
        EXPECT_EQ(range.mMaximum, expected_rates[i]);
    }
    const auto frames = host_.value<AudioValueRange>(2, address_of(kAudioDevicePropertyBufferFrameSizeRange));
    EXPECT_EQ(frames.mMinimum, 15.0);
    EXPECT_EQ(frames.mMaximum, 4096.0);

    for (AudioObjectID stream : {3u, 4u}) {
        for (AudioObjectPropertySelector selector :
             {kAudioStreamPropertyVirtualFormat, kAudioStreamPropertyPhysicalFormat}) {
            const auto format = host_.value<AudioStreamBasicDescription>(stream, address_of(selector));
            EXPECT_EQ(format.mSampleRate, 48000.0);
            EXPECT_EQ(format.mFormatID, kAudioFormatLinearPCM);
            EXPECT_EQ(format.mFormatFlags, 9u);
            EXPECT_EQ(format.mBytesPerPacket, 128u);
            EXPECT_EQ(format.mFramesPerPacket, 1u);
            EXPECT_EQ(format.mBytesPerFrame, 128u);
            EXPECT_EQ(format.mChannelsPerFrame, 32u);
            EXPECT_EQ(format.mBitsPerChannel, 32u);
            EXPECT_EQ(format.mReserved, 0u);
        }
        for (AudioObjectPropertySelector selector :
             {kAudioStreamPropertyAvailableVirtualFormats, kAudioStreamPropertyAvailablePhysicalFormats}) {
            const std::vector<unsigned char> data = host_.bytes(stream, address_of(selector));
            ASSERT_EQ(data.size(), 336u);
            for (std::size_t i = 0; i < 6; ++i) {
                AudioStreamRangedDescription description{};
                std::memcpy(&description, data.data() + i * sizeof description, sizeof description);
                EXPECT_EQ(description.mFormat.mSampleRate, expected_rates[i]);
                EXPECT_EQ(description.mFormat.mChannelsPerFrame, 32u);
                EXPECT_EQ(description.mSampleRateRange.mMinimum, expected_rates[i]);
                EXPECT_EQ(description.mSampleRateRange.mMaximum, expected_rates[i]);
            }
        }
    }
}

TEST_F(DriverTest, StreamConfigurationHasOneBufferPerDirection) {
    for (AudioObjectPropertyScope scope : {kInput, kOutput, kGlobal, kWildcard}) {
        const std::vector<unsigned char> data =
            host_.bytes(2, address_of(kAudioDevicePropertyStreamConfiguration, scope));
        const UInt32 buffers = scope == kInput || scope == kOutput ? 1 : 2;
        ASSERT_EQ(data.size(), 8u + 16u * buffers);
        UInt32 count = 0;
        std::memcpy(&count, data.data(), sizeof count);
        EXPECT_EQ(count, buffers);
        for (UInt32 i = 0; i < buffers; ++i) {
            AudioBuffer buffer{};
            std::memcpy(&buffer, data.data() + 8 + 16 * i, sizeof buffer);
            EXPECT_EQ(buffer.mNumberChannels, 32u);
            EXPECT_EQ(buffer.mDataByteSize, 0u);
            EXPECT_EQ(buffer.mData, nullptr);
        }
    }
}

TEST_F(DriverTest, ChannelNamesForEveryScopeAndElement) {
    struct Case {
        AudioObjectPropertySelector selector;
        AudioObjectPropertyScope scope;
        AudioObjectPropertyElement element;
        const char* text;
    };
    const std::vector<Case> cases = {
        {kAudioObjectPropertyElementName, kInput, 0, "Velmora"},
        {kAudioObjectPropertyElementName, kOutput, kAnyElement, "Velmora"},
        {kAudioObjectPropertyElementName, kInput, 1, "In 1"},
        {kAudioObjectPropertyElementName, kOutput, 32, "Out 32"},
        {kAudioObjectPropertyElementName, kGlobal, 7, "Channel 7"},
        {kAudioObjectPropertyElementName, kWildcard, 12, "Channel 12"},
        {kAudioObjectPropertyElementNumberName, kInput, 3, "In 3"},
        {kAudioObjectPropertyElementNumberName, kGlobal, 0, "Velmora"},
        {kAudioObjectPropertyElementCategoryName, kInput, 5, "In"},
        {kAudioObjectPropertyElementCategoryName, kOutput, 32, "Out"},
        {kAudioObjectPropertyElementCategoryName, kGlobal, 2, "Channel"},
    };
    for (const Case& test : cases) {
        SCOPED_TRACE(four_cc(test.selector) + " " + four_cc(test.scope) + " " + std::to_string(test.element));
        EXPECT_EQ(host_.text(2, address_of(test.selector, test.scope, test.element)), test.text);
    }
    EXPECT_FALSE(host_.has(2, address_of(kAudioObjectPropertyElementName, kInput, 33)));
    EXPECT_FALSE(
        host_.has(2, address_of(kAudioObjectPropertyElementName, kAudioObjectPropertyScopePlayThrough, 1)));
    // No other object names channels: what HasProperty claims, GetPropertyData answers.
    for (AudioObjectID object : {1u, 3u, 4u}) {
        EXPECT_FALSE(host_.has(object, address_of(kAudioObjectPropertyElementName, kGlobal, 1)));
    }
}

TEST_F(DriverTest, AddressesOutsideTheirScopesOrElementsAreUnknown) {
    struct Case {
        AudioObjectID object;
        AudioObjectPropertyAddress address;
    };
    const std::vector<Case> cases = {
        {1, address_of(kAudioObjectPropertyName, kInput)},
        {1, address_of(kAudioObjectPropertyName, kGlobal, 1)},
        {2, address_of(kAudioObjectPropertyName, kOutput)},
        {2, address_of(kAudioDevicePropertyNominalSampleRate, kInput)},
        {2, address_of(kAudioDevicePropertyLatency, kAudioObjectPropertyScopePlayThrough)},
        {2, address_of(kAudioDevicePropertyStreams, kInput, 1)},
        {3, address_of(kAudioObjectPropertyName, kOutput)},
        {4, address_of(kAudioObjectPropertyName, kInput)},
        {4, address_of(kAudioStreamPropertyDirection, kGlobal, 2)},
        {2, address_of(kAudioObjectPropertyOwnedObjects)},
        {0, address_of(kAudioObjectPropertyClass)},
        {5, address_of(kAudioObjectPropertyClass)},
    };
    for (const Case& test : cases) {
        SCOPED_TRACE(std::to_string(test.object) + " " + four_cc(test.address.mSelector) + " " +
                     four_cc(test.address.mScope));
        EXPECT_FALSE(host_.has(test.object, test.address));
        UInt32 size = 99;
        EXPECT_EQ(host_.size_of(test.object, test.address, size), kAudioHardwareUnknownPropertyError);
        UInt32 value = 0;
        EXPECT_EQ(host_.get(test.object, test.address, &value, sizeof value, size),
                  kAudioHardwareUnknownPropertyError);
        Boolean settable = 0;
        EXPECT_EQ(table().IsPropertySettable(ref(), test.object, 0, &test.address, &settable),
                  kAudioHardwareUnknownPropertyError);
    }
}

TEST_F(DriverTest, UnknownPropertiesAreLoggedOncePerCallWithTheirAddress) {
    VelmoraCompat::OsLogCapture capture;
    const auto address = address_of('zzzz', kInput, 3);
    UInt32 size = 0;
    UInt32 value = 0;
    EXPECT_FALSE(host_.has(9, address));
    EXPECT_EQ(host_.size_of(2, address, size), kAudioHardwareUnknownPropertyError);
    EXPECT_EQ(host_.get(3, address, &value, sizeof value, size), kAudioHardwareUnknownPropertyError);
    EXPECT_EQ(host_.set(1, address, &value, sizeof value), kAudioHardwareUnknownPropertyError);
    EXPECT_FALSE(table().HasProperty(ref(), 2, 0, nullptr));
    EXPECT_EQ(table().GetPropertyDataSize(ref(), 4, 0, nullptr, 0, nullptr, &size),
              kAudioHardwareUnknownPropertyError);
    EXPECT_EQ(table().GetPropertyData(ref(), 4, 0, nullptr, 0, nullptr, 4, &size, &value),
              kAudioHardwareUnknownPropertyError);
    EXPECT_EQ(table().SetPropertyData(ref(), 1, 0, nullptr, 0, nullptr, 4, &value),
              kAudioHardwareUnknownPropertyError);
    const std::string tail = " unknown property object=";
    const std::string where = " selector=2054847098 scope=1768845428 element=3";
    const std::vector<std::string> expected = {
        "VelmoraCoreAudio HasProperty" + tail + "9" + where,
        "VelmoraCoreAudio GetPropertyDataSize" + tail + "2" + where,
        "VelmoraCoreAudio GetPropertyData" + tail + "3" + where,
        "VelmoraCoreAudio SetPropertyData" + tail + "1" + where,
        "VelmoraCoreAudio HasProperty" + tail + "2 address=null",
        "VelmoraCoreAudio GetPropertyDataSize" + tail + "4 address=null",
        "VelmoraCoreAudio GetPropertyData" + tail + "4 address=null",
        "VelmoraCoreAudio SetPropertyData" + tail + "1 address=null",
    };
    EXPECT_EQ(capture.messages(), expected);
    for (const auto& entry : capture.entries()) {
        EXPECT_EQ(entry.type, OS_LOG_TYPE_ERROR);
    }
    // Nothing when error logging is off.
    capture.clear();
    VelmoraCompat::set_os_log_type_enabled(OS_LOG_TYPE_ERROR, false);
    EXPECT_FALSE(host_.has(2, address_of('zzzz')));
    VelmoraCompat::reset_os_log_types();
    EXPECT_TRUE(capture.messages().empty());
}

TEST_F(DriverTest, TooSmallBuffersAndNullPointers) {
    AudioObjectID streams[2] = {};
    UInt32 size = 77;
    EXPECT_EQ(host_.get(2, address_of(kAudioDevicePropertyStreams), streams, 4, size),
              kAudioHardwareBadPropertySizeError);
    EXPECT_EQ(size, 0u);
    size = 77;
    EXPECT_EQ(host_.get(2, address_of(kAudioDevicePropertyStreams), streams, 8, size), kAudioHardwareNoError);
    EXPECT_EQ(size, 8u);
    Float64 rate = 0;
    size = 77;
    EXPECT_EQ(host_.get(2, address_of(kAudioDevicePropertyNominalSampleRate), &rate, 4, size),
              kAudioHardwareBadPropertySizeError);
    EXPECT_EQ(size, 0u);
    unsigned char formats[335] = {};
    EXPECT_EQ(
        host_.get(3, address_of(kAudioStreamPropertyAvailableVirtualFormats), formats, sizeof formats, size),
        kAudioHardwareBadPropertySizeError);
    const auto address = address_of(kAudioObjectPropertyClass);
    EXPECT_EQ(table().GetPropertyData(ref(), 2, 0, &address, 0, nullptr, 4, nullptr, &rate),
              kAudioHardwareIllegalOperationError);
    EXPECT_EQ(table().GetPropertyData(ref(), 2, 0, &address, 0, nullptr, 4, &size, nullptr),
              kAudioHardwareIllegalOperationError);
    EXPECT_EQ(table().GetPropertyDataSize(ref(), 2, 0, &address, 0, nullptr, nullptr),
              kAudioHardwareIllegalOperationError);
    EXPECT_EQ(table().IsPropertySettable(ref(), 2, 0, &address, nullptr),
              kAudioHardwareIllegalOperationError);
}

TEST_F(DriverTest, TranslateUIDToDeviceNeedsAWholeStringQualifier) {
    const auto address = address_of(kAudioPlugInPropertyTranslateUIDToDevice);
    UInt32 size = 0;
    EXPECT_EQ(host_.size_of(1, address, size), kAudioHardwareNoError);
    EXPECT_EQ(size, 4u);
    auto translate = [&](const char* uid) {
        CFStringRef string = CFStringCreateWithCString(nullptr, uid, kCFStringEncodingUTF8);
        AudioObjectID device = 99;
        UInt32 written = 0;
        EXPECT_EQ(host_.get(1, address, &device, sizeof device, written, sizeof string, &string),
                  kAudioHardwareNoError);
        EXPECT_EQ(written, 4u);
        CFRelease(string);
        return device;
    };
    EXPECT_EQ(translate("com.tarnwell.velmora.coreaudio.device"), 2u);
    EXPECT_EQ(translate("com.tarnwell.velmora.coreaudio.device2"), 0u);
    EXPECT_EQ(translate("com.tarnwell.velmora.coreaudio"), 0u);
    CFStringRef null_string = nullptr;
    AudioObjectID device = 99;
    UInt32 written = 9;
    EXPECT_EQ(host_.get(1, address, &device, sizeof device, written, sizeof null_string, &null_string),
              kAudioHardwareNoError);
    EXPECT_EQ(device, 0u);
    // A missing or short qualifier is refused without reading it: the 4 bytes here are all the
    // memory there is, so a read past them would trip the address sanitizer.
    auto short_qualifier = std::make_unique<std::uint32_t>(0);
    for (UInt32 qualifier_size : {0u, 4u, 7u}) {
        written = 9;
        EXPECT_EQ(host_.get(1, address, &device, sizeof device, written, qualifier_size,
                            qualifier_size == 0 ? nullptr : short_qualifier.get()),
                  kAudioHardwareBadPropertySizeError);
        EXPECT_EQ(written, 0u);
    }
    written = 9;
    EXPECT_EQ(host_.get(1, address, &device, sizeof device, written, 8, nullptr),
              kAudioHardwareBadPropertySizeError);
    EXPECT_EQ(written, 0u);
}

TEST_F(DriverTest, LatencyIsTheLargestAnnouncedTimesTheBufferSizeBounded) {
    ASSERT_EQ(host_.add_client(), kAudioHardwareNoError);
    struct Case {
        UInt32 input_blocks;
        UInt32 output_blocks;
        UInt32 frames;
        UInt32 input;
        UInt32 output;
        UInt32 global;
    };
    const std::vector<Case> cases = {
        {0, 0, 128, 0, 0, 0},
        {3, 6, 128, 384, 768, 768},
        {9, 2, 64, 576, 128, 576},
        // Straight from the network: at most 128 blocks count, in 64-bit arithmetic.
        {0xFFFFFFFF, 1, 128, 16384, 128, 16384},
        {0xFFFFFFFF, 0x80000000, 4096, 524288, 524288, 524288},
        {129, 128, 4096, 524288, 524288, 524288},
    };
    for (const Case& test : cases) {
        server_.set_latency_summary(test.input_blocks, test.output_blocks);
        ASSERT_EQ(perform(1, test.frames), kAudioHardwareNoError);
        SCOPED_TRACE(std::to_string(test.input_blocks) + "/" + std::to_string(test.output_blocks));
        EXPECT_EQ(host_.u32(2, address_of(kAudioDevicePropertyLatency, kInput)), test.input);
        EXPECT_EQ(host_.u32(2, address_of(kAudioDevicePropertyLatency, kOutput)), test.output);
        EXPECT_EQ(host_.u32(2, address_of(kAudioDevicePropertyLatency, kGlobal)), test.global);
        EXPECT_EQ(host_.u32(2, address_of(kAudioDevicePropertyLatency, kWildcard)), test.global);
    }
    // The streams report no latency of their own.
    EXPECT_EQ(host_.u32(3, address_of(kAudioStreamPropertyLatency)), 0u);
}

TEST(DeviceLatency, SaturatesAtTheUInt32Range) {
    VelmoraMac::DevicePropertyState state;
    state.input_latency_blocks = 128;
    state.buffer_frame_size = 0xFFFFFFFF;
    EXPECT_EQ(VelmoraMac::device_latency_frames(kInput, state), 0xFFFFFFFFu);
    EXPECT_EQ(VelmoraMac::device_latency_frames(kOutput, state), 0u);
}

} // namespace
