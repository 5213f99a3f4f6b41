// Every property of the four objects, read through the function table with the size the host
// asks first; wrong sizes, unknown addresses and their log lines.
#include "driver_test_fixture.h"

#include <velmora_compat/os_log_capture.h>

#include <tuple>
#include <variant>

namespace {

using VelmoraTest::address_of;
using VelmoraTest::DriverTest;
using VelmoraTest::four_cc;

constexpr AudioObjectPropertyScope kGlobal = kAudioObjectPropertyScopeGlobal;
constexpr AudioObjectPropertyScope kInput = kAudioObjectPropertyScopeInput;
constexpr AudioObjectPropertyScope kOutput = kAudioObjectPropertyScopeOutput;
constexpr AudioObjectPropertyScope kWildcard = kAudioObjectPropertyScopeWildcard;
const std::string kDeviceUID = "com.tarnwell.velmora.coreaudio.device";

std::string where(AudioObjectID object, const AudioObjectPropertyAddress& address) {
    return std::to_string(object) + " " + four_cc(address.mSelector) + " " + four_cc(address.mScope) + " " +
           std::to_string(address.mElement);
}

AudioObjectPropertyAddress at(AudioObjectPropertySelector selector, AudioObjectPropertyScope scope = kGlobal,
                              AudioObjectPropertyElement element = kAudioObjectPropertyElementMain) {
    return address_of(selector, scope, element);
}

using Objects = std::vector<AudioObjectID>;
// Rows of objects and addresses sharing a value, whose type gives the size.
struct Scalar {
    std::vector<AudioObjectID> objects;
    std::vector<AudioObjectPropertyAddress> addresses;
    std::variant<UInt32, Float64, Float32, std::string, Objects> value;
};
const std::vector<Scalar> kScalars = {
    {{1, 2, 3, 4}, {at(kAudioObjectPropertyBaseClass)}, UInt32{kAudioObjectClassID}},
    {{1}, {at(kAudioObjectPropertyClass)}, UInt32{kAudioPlugInClassID}},
    {{2}, {at(kAudioObjectPropertyClass)}, UInt32{kAudioDeviceClassID}},
    {{3}, {at(kAudioObjectPropertyClass, kInput)}, UInt32{kAudioStreamClassID}},
    {{4}, {at(kAudioObjectPropertyClass, kOutput)}, UInt32{kAudioStreamClassID}},
    {{1}, {at(kAudioObjectPropertyOwner)}, UInt32{0}},
    {{2}, {at(kAudioObjectPropertyOwner)}, UInt32{1}},
    {{3, 4}, {at(kAudioObjectPropertyOwner)}, UInt32{2}},
    {{1, 2},
     {at(kAudioObjectPropertyName), at(kAudioObjectPropertyModelName, kWildcard)},
     std::string("Velmora")},
    {{2},
     {at(kAudioObjectPropertyElementName), at(kAudioObjectPropertyElementName, kInput, 0),
      at(kAudioObjectPropertyElementName, kOutput, kAudioObjectPropertyElementWildcard),
      at(kAudioObjectPropertyElementNumberName, kGlobal, 0)},
     std::string("Velmora")},
    // Channel names for every scope and element.
    {{2}, {at(kAudioObjectPropertyElementName, kInput, 1)}, std::string("In 1")},
    {{2}, {at(kAudioObjectPropertyElementName, kOutput, 32)}, std::string("Out 32")},
    {{2}, {at(kAudioObjectPropertyElementName, kGlobal, 7)}, std::string("Channel 7")},
    {{2}, {at(kAudioObjectPropertyElementName, kWildcard, 12)}, std::string("Channel 12")},
    {{2}, {at(kAudioObjectPropertyElementNumberName, kInput, 3)}, std::string("In 3")},
    {{2}, {at(kAudioObjectPropertyElementCategoryName, kInput, 5)}, std::string("In")},
    {{2}, {at(kAudioObjectPropertyElementCategoryName, kOutput, 32)}, std::string("Out")},
    {{2}, {at(kAudioObjectPropertyElementCategoryName, kGlobal, 2)}, std::string("Channel")},
    {{1, 2, 3, 4}, {at(kAudioObjectPropertyManufacturer)}, std::string("Tarnwell")},
    {{1}, {at(kAudioPlugInPropertyBundleID)}, std::string("com.tarnwell.velmora.coreaudio")},
    {{2}, {at(kAudioDevicePropertyDeviceUID), at(kAudioDevicePropertyModelUID, kWildcard)}, kDeviceUID},
    {{2}, {at(kAudioDevicePropertyTransportType)}, UInt32{kAudioDeviceTransportTypeVirtual}},
    {{2}, {at(kAudioDevicePropertyClockAlgorithm)}, UInt32{kAudioDeviceClockAlgorithmRaw}},
    {{2},
     {at(kAudioDevicePropertyClockIsStable), at(kAudioDevicePropertyDeviceIsAlive), at('accs')},
     UInt32{1}},
    {{2},
     {at(kAudioDevicePropertyClockDomain), at(kAudioDevicePropertyDeviceIsRunning),
      at(kAudioDevicePropertyDeviceIsRunningSomewhere), at(kAudioDevicePropertyIsHidden),
      at(kAudioDevicePropertyUsesVariableBufferFrameSizes), at(kAudioDevicePropertySafetyOffset),
      at(kAudioDevicePropertySafetyOffset, kInput), at(kAudioDevicePropertySafetyOffset, kOutput),
      at(kAudioDevicePropertyLatency, kInput), at(kAudioDevicePropertyLatency, kWildcard), at('aExS'),
      at('aExS', kOutput), at('siso')},
     UInt32{0}},
    {{2}, {at(kAudioDevicePropertyNominalSampleRate)}, Float64{48000}},
    {{2}, {at(kAudioDevicePropertyBufferFrameSize)}, UInt32{128}},
    {{2}, {at(kAudioDevicePropertyZeroTimeStampPeriod)}, UInt32{10923}},
    {{2}, {at(kAudioDevicePropertyIOCycleUsage)}, Float32{0.5f}},
    {{3}, {at(kAudioObjectPropertyName), at(kAudioObjectPropertyModelName)}, std::string("Velmora Input")},
    {{4},
     {at(kAudioObjectPropertyName), at(kAudioObjectPropertyModelName, kWildcard)},
     std::string("Velmora Output")},
    {{3, 4}, {at(kAudioStreamPropertyIsActive), at(kAudioStreamPropertyStartingChannel)}, UInt32{1}},
    {{3}, {at(kAudioStreamPropertyDirection)}, UInt32{1}},
    {{4}, {at(kAudioStreamPropertyDirection), at(kAudioStreamPropertyLatency)}, UInt32{0}},
    {{3}, {at(kAudioStreamPropertyLatency, kInput)}, UInt32{0}},
    {{3}, {at(kAudioStreamPropertyTerminalType)}, UInt32{kAudioStreamTerminalTypeMicrophone}},
    {{4}, {at(kAudioStreamPropertyTerminalType)}, UInt32{kAudioStreamTerminalTypeSpeaker}},
    // Object lists follow the scope.
    {{1}, {at(kAudioPlugInPropertyDeviceList)}, Objects{2}},
    {{2}, {at(kAudioDevicePropertyStreams, kInput)}, Objects{3}},
    {{2}, {at(kAudioDevicePropertyStreams, kOutput)}, Objects{4}},
    {{2}, {at(kAudioDevicePropertyStreams), at(kAudioDevicePropertyStreams, kWildcard)}, Objects{3, 4}},
    {{1}, {at(kAudioPlugInPropertyBoxList), at(kAudioPlugInPropertyClockDeviceList)}, Objects{}},
    {{1, 2, 4},
     {at(kAudioObjectPropertyControlList), at(kAudioObjectPropertyCustomPropertyInfoList)},
     Objects{}},
    {{4}, {at(kAudioObjectPropertyCustomPropertyInfoList, kOutput)}, Objects{}},
    {{2, 3}, {at('tap#')}, Objects{}},
};

// Only the device's rate and buffer size are settable.
TEST_F(DriverTest, ScalarPropertiesHaveTheirSizeAndValue) {
    for (const Scalar& row : kScalars) {
        for (AudioObjectID object : row.objects) {
            for (const AudioObjectPropertyAddress& address : row.addresses) {
                SCOPED_TRACE(where(object, address));
                EXPECT_TRUE(host_.has(object, address));
                Boolean settable = 1;
                EXPECT_EQ(table().IsPropertySettable(ref(), object, 0, &address, &settable),
                          kAudioHardwareNoError);
                EXPECT_EQ(settable != 0, address.mSelector == kAudioDevicePropertyNominalSampleRate ||
                                             address.mSelector == kAudioDevicePropertyBufferFrameSize);
                if (const auto* value = std::get_if<UInt32>(&row.value)) {
                    EXPECT_EQ(host_.u32(object, address), *value);
                } else if (const auto* value = std::get_if<Float64>(&row.value)) {
                    EXPECT_EQ(host_.value<Float64>(object, address), *value);
                } else if (const auto* value = std::get_if<Float32>(&row.value)) {
                    EXPECT_EQ(host_.value<Float32>(object, address), *value);
                } else if (const auto* value = std::get_if<std::string>(&row.value)) {
                    EXPECT_EQ(host_.text(object, address), *value);
                } else {
                    const Objects& objects = std::get<Objects>(row.value);
                    const std::vector<unsigned char> data = host_.bytes(object, address);
                    ASSERT_EQ(data.size(), objects.size() * sizeof(AudioObjectID));
                    EXPECT_TRUE(data.empty() || std::memcmp(data.data(), objects.data(), data.size()) == 0);
                }
            }
        }
    }
}

TEST_F(DriverTest, RatesRangesFormatsAndStreamConfiguration) {
    const Float64 rates[] = {44100, 48000, 88200, 96000, 176400, 192000};
    const std::vector<unsigned char> ranges =
        host_.bytes(2, address_of(kAudioDevicePropertyAvailableNominalSampleRates));
    ASSERT_EQ(ranges.size(), 96u);
    for (std::size_t i = 0; i < 6; ++i) {
        AudioValueRange range{};
        std::memcpy(&range, ranges.data() + i * sizeof range, sizeof range);
        EXPECT_TRUE(range.mMinimum == rates[i] && range.mMaximum == rates[i]) << i;
    }
    const auto frames = host_.value<AudioValueRange>(2, address_of(kAudioDevicePropertyBufferFrameSizeRange));
    EXPECT_TRUE(frames.mMinimum == 15.0 && frames.mMaximum == 4096.0);
    // 32 interleaved float channels: flags 9 (float, packed), 128 bytes a frame.
    const AudioStreamBasicDescription expected{48000, kAudioFormatLinearPCM, 9, 128, 1, 128, 32, 32, 0};
    for (AudioObjectID stream : {3u, 4u}) {
        for (AudioObjectPropertySelector selector :
             {kAudioStreamPropertyVirtualFormat, kAudioStreamPropertyPhysicalFormat}) {
            const auto format = host_.value<AudioStreamBasicDescription>(stream, address_of(selector));
            EXPECT_EQ(std::memcmp(&format, &expected, sizeof format), 0)
                << stream << " " << four_cc(selector);
        }
        for (AudioObjectPropertySelector selector :
             {kAudioStreamPropertyAvailableVirtualFormats, kAudioStreamPropertyAvailablePhysicalFormats}) {
            const std::vector<unsigned char> data = host_.bytes(stream, address_of(selector));
            ASSERT_EQ(data.size(), 336u);
            for (std::size_t i = 0; i < 6; ++i) {
                AudioStreamRangedDescription description{};
                std::memcpy(&description, data.data() + i * sizeof description, sizeof description);
                EXPECT_EQ(description.mFormat.mSampleRate, rates[i]);
                EXPECT_EQ(description.mFormat.mChannelsPerFrame, 32u);
                EXPECT_TRUE(description.mSampleRateRange.mMinimum == rates[i] &&
                            description.mSampleRateRange.mMaximum == rates[i]);
            }
        }
    }
    // One buffer of 32 channels per direction, both for the global scopes.
    for (AudioObjectPropertyScope scope : {kInput, kOutput, kGlobal, kWildcard}) {
        const std::vector<unsigned char> data =
            host_.bytes(2, address_of(kAudioDevicePropertyStreamConfiguration, scope));
        const UInt32 buffers = scope == kInput || scope == kOutput ? 1 : 2;
        ASSERT_EQ(data.size(), 8u + 16u * buffers);
        std::vector<unsigned char> golden(data.size(), 0);
        golden[0] = static_cast<unsigned char>(buffers);
        for (UInt32 i = 0; i < buffers; ++i) {
            golden[8 + 16 * i] = 32;
        }
        EXPECT_EQ(data, golden) << four_cc(scope);
    }
}

// What HasProperty denies, every other call refuses as unknown.
TEST_F(DriverTest, AddressesOutsideTheirObjectsScopesOrElementsAreUnknown) {
    const std::pair<AudioObjectID, AudioObjectPropertyAddress> cases[] = {
        {1, address_of(kAudioObjectPropertyName, kInput)},
        {1, address_of(kAudioObjectPropertyName, kGlobal, 1)},
        {2, address_of(kAudioObjectPropertyName, kOutput)},
        {2, address_of(kAudioDevicePropertyNominalSampleRate, kInput)},
        {2, address_of(kAudioDevicePropertyLatency, kAudioObjectPropertyScopePlayThrough)},
        {2, address_of(kAudioDevicePropertyStreams, kInput, 1)},
        {2, address_of(kAudioObjectPropertyElementName, kInput, 33)},
        {2, address_of(kAudioObjectPropertyElementName, kAudioObjectPropertyScopePlayThrough, 1)},
        {3, address_of(kAudioObjectPropertyElementName, kGlobal, 1)},
        {4, address_of(kAudioObjectPropertyName, kInput)},
        {4, address_of(kAudioStreamPropertyDirection, kGlobal, 2)},
        {2, address_of(kAudioObjectPropertyOwnedObjects)},
        {0, address_of(kAudioObjectPropertyClass)},
        {5, address_of(kAudioObjectPropertyClass)},
    };
    for (const auto& [object, address] : cases) {
        SCOPED_TRACE(where(object, address));
        EXPECT_FALSE(host_.has(object, address));
        UInt32 size = 99;
        EXPECT_EQ(host_.size_of(object, address, size), kAudioHardwareUnknownPropertyError);
        UInt32 value = 0;
        EXPECT_EQ(host_.get(object, address, &value, sizeof value, size), kAudioHardwareUnknownPropertyError);
        Boolean settable = 0;
        EXPECT_EQ(table().IsPropertySettable(ref(), object, 0, &address, &settable),
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
    EXPECT_EQ(table().GetPropertyData(ref(), 4, 0, nullptr, 0, nullptr, 4, &size, &value),
              kAudioHardwareUnknownPropertyError);
    const std::string at = " selector=2054847098 scope=1768845428 element=3";
    const std::vector<std::string> expected = {
        "VelmoraCoreAudio HasProperty unknown property object=9" + at,
        "VelmoraCoreAudio GetPropertyDataSize unknown property object=2" + at,
        "VelmoraCoreAudio GetPropertyData unknown property object=3" + at,
        "VelmoraCoreAudio SetPropertyData unknown property object=1" + at,
        "VelmoraCoreAudio HasProperty unknown property object=2 address=null",
        "VelmoraCoreAudio GetPropertyData unknown property object=4 address=null",
    };
    EXPECT_EQ(capture.messages(), expected);
    EXPECT_EQ(capture.entries().at(0).type, OS_LOG_TYPE_ERROR);
    // Nothing when error logging is off.
    capture.clear();
    VelmoraCompat::set_os_log_type_enabled(OS_LOG_TYPE_ERROR, false);
    EXPECT_FALSE(host_.has(2, address_of('zzzz')));
    VelmoraCompat::reset_os_log_types();
    EXPECT_TRUE(capture.messages().empty());
}

// A buffer too small for the whole value gets nothing; null pointers are refused.
TEST_F(DriverTest, TooSmallBuffersAndNullPointers) {
    unsigned char buffer[335] = {};
    const std::tuple<AudioObjectID, AudioObjectPropertySelector, UInt32> cases[] = {
        {2, kAudioDevicePropertyStreams, 4},
        {2, kAudioDevicePropertyNominalSampleRate, 4},
        {3, kAudioStreamPropertyAvailableVirtualFormats, 335}};
    for (const auto& [object, selector, capacity] : cases) {
        UInt32 size = 77;
        EXPECT_EQ(host_.get(object, address_of(selector), buffer, capacity, size),
                  kAudioHardwareBadPropertySizeError);
        EXPECT_EQ(size, 0u) << four_cc(selector);
    }
    const auto address = address_of(kAudioObjectPropertyClass);
    UInt32 size = 0;
    const OSStatus illegal = kAudioHardwareIllegalOperationError;
    EXPECT_EQ(table().GetPropertyData(ref(), 2, 0, &address, 0, nullptr, 4, nullptr, buffer), illegal);
    EXPECT_EQ(table().GetPropertyData(ref(), 2, 0, &address, 0, nullptr, 4, &size, nullptr), illegal);
    EXPECT_EQ(table().GetPropertyDataSize(ref(), 2, 0, &address, 0, nullptr, nullptr), illegal);
    EXPECT_EQ(table().IsPropertySettable(ref(), 2, 0, &address, nullptr), illegal);
}

TEST_F(DriverTest, TranslateUIDToDeviceNeedsAWholeStringQualifier) {
    const auto address = address_of(kAudioPlugInPropertyTranslateUIDToDevice);
    UInt32 written = 0;
    EXPECT_EQ(host_.size_of(1, address, written), kAudioHardwareNoError);
    EXPECT_EQ(written, 4u);
    auto translate = [&](const char* uid) {
        CFStringRef string =
            uid == nullptr ? nullptr : CFStringCreateWithCString(nullptr, uid, kCFStringEncodingUTF8);
        AudioObjectID device = 99;
        EXPECT_EQ(host_.get(1, address, &device, sizeof device, written, sizeof string, &string),
                  kAudioHardwareNoError);
        EXPECT_EQ(written, 4u);
        if (string != nullptr) {
            CFRelease(string);
        }
        return device;
    };
    EXPECT_EQ(translate(kDeviceUID.c_str()), 2u);
    EXPECT_EQ(translate("com.tarnwell.velmora.coreaudio.device2"), 0u);
    EXPECT_EQ(translate("com.tarnwell.velmora.coreaudio"), 0u);
    EXPECT_EQ(translate(nullptr), 0u);
    // A missing or short qualifier is refused without reading it: the 4 bytes here are all the
    // memory there is, so a read past them would trip the address sanitizer.
    auto short_qualifier = std::make_unique<std::uint32_t>(0);
    const std::pair<UInt32, const void*> qualifiers[] = {
        {0, nullptr}, {4, short_qualifier.get()}, {7, short_qualifier.get()}, {8, nullptr}};
    for (const auto& [qualifier_size, qualifier] : qualifiers) {
        AudioObjectID device = 0;
        written = 9;
        EXPECT_EQ(host_.get(1, address, &device, sizeof device, written, qualifier_size, qualifier),
                  kAudioHardwareBadPropertySizeError);
        EXPECT_EQ(written, 0u);
    }
}

TEST_F(DriverTest, LatencyIsTheLargestAnnouncedTimesTheBufferSizeBounded) {
    ASSERT_EQ(host_.add_client(), kAudioHardwareNoError);
    struct Case {
        UInt32 input_blocks, output_blocks, frames, input, output, global;
    };
    const Case cases[] = {
        {0, 0, 128, 0, 0, 0},
        {3, 6, 128, 384, 768, 768},
        {9, 2, 64, 576, 128, 576},
        // Straight from the network: at most 128 blocks count, in 64-bit arithmetic.
        {0xFFFFFFFF, 1, 128, 16384, 128, 16384},
        {0xFFFFFFFF, 0x80000000, 4096, 524288, 524288, 524288},
        {129, 128, 4096, 524288, 524288, 524288},
    };
    for (const Case& test : cases) {
        server_.latency = std::uint64_t{test.output_blocks} << 32 | test.input_blocks;
        ASSERT_EQ(perform(1, test.frames), kAudioHardwareNoError);
        SCOPED_TRACE(std::to_string(test.input_blocks) + "/" + std::to_string(test.output_blocks));
        EXPECT_EQ(host_.u32(2, address_of(kAudioDevicePropertyLatency, kInput)), test.input);
        EXPECT_EQ(host_.u32(2, address_of(kAudioDevicePropertyLatency, kOutput)), test.output);
        EXPECT_EQ(host_.u32(2, address_of(kAudioDevicePropertyLatency, kGlobal)), test.global);
        EXPECT_EQ(host_.u32(2, address_of(kAudioDevicePropertyLatency, kWildcard)), test.global);
    }
    EXPECT_EQ(host_.u32(3, address_of(kAudioStreamPropertyLatency)), 0u) << "streams add none of their own";
    VelmoraMac::DevicePropertyState state;
    state.input_latency_blocks = 128;
    state.buffer_frame_size = 0xFFFFFFFF;
    EXPECT_EQ(VelmoraMac::device_latency_frames(kInput, state), 0xFFFFFFFFu) << "saturates at the range";
}

} // namespace
