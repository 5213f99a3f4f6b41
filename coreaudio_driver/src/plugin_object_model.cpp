#include <velmora/driver/plugin_object_model.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <limits>

namespace VelmoraMac {
namespace {

enum class Kind {
    unknown,
    uint32,
    float32,
    float64,
    text,          // a new CFString of `text`
    object_list,   // `objects[0 .. object_count)`
    value_range,   // `range`
    rate_list,     // the six supported rates as ranges
    stream_format, // the format at the nominal rate
    ranged_formats,
    stream_configuration, // `buffer_count` buffers of 32 channels
    uid_translation,
    empty,
};

struct Answer {
    Kind kind = Kind::unknown;
    UInt32 u32 = 0;
    Float32 f32 = 0;
    Float64 f64 = 0;
    char text[64] = {};
    AudioObjectID objects[2] = {};
    UInt32 object_count = 0;
    AudioValueRange range{};
    UInt32 buffer_count = 0;
};

Answer uint32_answer(UInt32 value) {
    Answer answer;
    answer.kind = Kind::uint32;
    answer.u32 = value;
    return answer;
}

Answer text_answer(const char* text) {
    Answer answer;
    answer.kind = Kind::text;
    std::snprintf(answer.text, sizeof answer.text, "%s", text);
    return answer;
}

Answer kind_answer(Kind kind) {
    Answer answer;
    answer.kind = kind;
    return answer;
}

bool is_global_scope(AudioObjectPropertyScope scope) {
    return scope == kAudioObjectPropertyScopeGlobal || scope == kAudioObjectPropertyScopeWildcard;
}

bool is_direction_scope(AudioObjectPropertyScope scope) {
    return scope == kAudioObjectPropertyScopeInput || scope == kAudioObjectPropertyScopeOutput;
}

bool is_main_element(AudioObjectPropertyElement element) {
    return element == kAudioObjectPropertyElementMain || element == kAudioObjectPropertyElementWildcard;
}

Answer plugin_answer(const AudioObjectPropertyAddress& address) {
    if (!is_global_scope(address.mScope) || !is_main_element(address.mElement)) {
        return {};
    }
    switch (address.mSelector) {
    case kAudioObjectPropertyBaseClass:
        return uint32_answer(kAudioObjectClassID);
    case kAudioObjectPropertyClass:
        return uint32_answer(kAudioPlugInClassID);
    case kAudioObjectPropertyOwner:
        return uint32_answer(kAudioObjectUnknown);
    case kAudioObjectPropertyName:
    case kAudioObjectPropertyModelName:
        return text_answer(kPlugInName);
    case kAudioObjectPropertyManufacturer:
        return text_answer(kManufacturerName);
    case kAudioPlugInPropertyBundleID:
        return text_answer(kPlugInBundleID);
    case kAudioPlugInPropertyDeviceList: {
        Answer answer = kind_answer(Kind::object_list);
        answer.objects[0] = kDeviceObjectID;
        answer.object_count = 1;
        return answer;
    }
    case kAudioPlugInPropertyTranslateUIDToDevice:
        return kind_answer(Kind::uid_translation);
    case kAudioPlugInPropertyBoxList:
    case kAudioPlugInPropertyClockDeviceList:
    case kAudioObjectPropertyControlList:
    case kAudioObjectPropertyCustomPropertyInfoList:
        return kind_answer(Kind::empty);
    default:
        return {};
    }
}

// Channel names: element 0 (or the wildcard) names the device; element n names channel n with the
// scope's prefix.
Answer channel_name_answer(const AudioObjectPropertyAddress& address) {
    if (!(is_global_scope(address.mScope) || is_direction_scope(address.mScope))) {
        return {};
    }
    if (!is_main_element(address.mElement) && address.mElement > kDeviceChannelCount) {
        return {};
    }
    if (is_main_element(address.mElement)) {
        return text_answer(kPlugInName);
    }
    const char* prefix = address.mScope == kAudioObjectPropertyScopeInput    ? "In"
                         : address.mScope == kAudioObjectPropertyScopeOutput ? "Out"
                                                                             : "Channel";
    // Channel names are at most 31 characters.
    constexpr std::size_t kNameCapacity = 32;
    Answer answer = kind_answer(Kind::text);
    if (address.mSelector == kAudioObjectPropertyElementCategoryName) {
        std::snprintf(answer.text, kNameCapacity, "%s", prefix);
    } else {
        std::snprintf(answer.text, kNameCapacity, "%s %u", prefix, address.mElement);
    }
    return answer;
}

// Properties of the device that also answer the input and output scopes.
Answer scoped_device_answer(const AudioObjectPropertyAddress& address, const DevicePropertyState& state) {
    switch (address.mSelector) {
    case kAudioDevicePropertySafetyOffset:
    case kDeviceSelectorAExS:
        return uint32_answer(0);
    case kAudioDevicePropertyLatency:
        return uint32_answer(device_latency_frames(address.mScope, state));
    case kAudioDevicePropertyStreams: {
        Answer answer = kind_answer(Kind::object_list);
        if (address.mScope == kAudioObjectPropertyScopeInput) {
            answer.objects[0] = kInputStreamObjectID;
            answer.object_count = 1;
        } else if (address.mScope == kAudioObjectPropertyScopeOutput) {
            answer.objects[0] = kOutputStreamObjectID;
            answer.object_count = 1;
        } else {
            answer.objects[0] = kInputStreamObjectID;
            answer.objects[1] = kOutputStreamObjectID;
            answer.object_count = 2;
        }
        return answer;
    }
    case kAudioDevicePropertyStreamConfiguration: {
        Answer answer = kind_answer(Kind::stream_configuration);
        answer.buffer_count = is_direction_scope(address.mScope) ? 1 : 2;
        return answer;
    }
    default:
        return {};
    }
}

Answer device_answer(const AudioObjectPropertyAddress& address, const DevicePropertyState& state) {
    switch (address.mSelector) {
    case kAudioObjectPropertyElementName:
    case kAudioObjectPropertyElementNumberName:
    case kAudioObjectPropertyElementCategoryName:
        return channel_name_answer(address);
    default:
        break;
    }
    if (!is_main_element(address.mElement)) {
        return {};
    }
    if (is_direction_scope(address.mScope) || is_global_scope(address.mScope)) {
        const Answer scoped = scoped_device_answer(address, state);
        if (scoped.kind != Kind::unknown || !is_global_scope(address.mScope)) {
            return scoped;
        }
    } else {
        return {};
    }
    switch (address.mSelector) {
    case kAudioObjectPropertyBaseClass:
        return uint32_answer(kAudioObjectClassID);
    case kAudioObjectPropertyClass:
        return uint32_answer(kAudioDeviceClassID);
    case kAudioObjectPropertyOwner:
        return uint32_answer(kPlugInObjectID);
    case kAudioObjectPropertyName:
    case kAudioObjectPropertyModelName:
        return text_answer(kPlugInName);
    case kAudioObjectPropertyManufacturer:
        return text_answer(kManufacturerName);
    case kAudioDevicePropertyDeviceUID:
    case kAudioDevicePropertyModelUID:
        return text_answer(kDeviceUID);
    case kAudioDevicePropertyTransportType:
        return uint32_answer(kAudioDeviceTransportTypeVirtual);
    case kAudioDevicePropertyClockDomain:
        return uint32_answer(0);
    case kAudioDevicePropertyClockAlgorithm:
        return uint32_answer(kAudioDeviceClockAlgorithmRaw);
    case kAudioDevicePropertyClockIsStable:
    case kAudioDevicePropertyDeviceIsAlive:
    case kDeviceSelectorAccs:
        return uint32_answer(1);
    case kAudioDevicePropertyDeviceIsRunning:
    case kAudioDevicePropertyDeviceIsRunningSomewhere:
        return uint32_answer(state.io_running ? 1 : 0);
    case kAudioDevicePropertyIsHidden:
    case kAudioDevicePropertyUsesVariableBufferFrameSizes:
    case kDeviceSelectorSiso:
        return uint32_answer(0);
    case kAudioDevicePropertyNominalSampleRate: {
        Answer answer = kind_answer(Kind::float64);
        answer.f64 = state.nominal_sample_rate;
        return answer;
    }
    case kAudioDevicePropertyAvailableNominalSampleRates:
        return kind_answer(Kind::rate_list);
    case kAudioDevicePropertyBufferFrameSize:
        return uint32_answer(state.buffer_frame_size);
    case kAudioDevicePropertyBufferFrameSizeRange: {
        Answer answer = kind_answer(Kind::value_range);
        answer.range = {static_cast<Float64>(kMinBufferFrameSize), static_cast<Float64>(kMaxBufferFrameSize)};
        return answer;
    }
    case kAudioDevicePropertyZeroTimeStampPeriod:
        return uint32_answer(kZeroTimeStampPeriodFrames);
    case kAudioDevicePropertyIOCycleUsage: {
        Answer answer = kind_answer(Kind::float32);
        answer.f32 = 0.5f;
        return answer;
    }
    case kAudioDevicePropertyTapList:
    case kAudioObjectPropertyControlList:
    case kAudioObjectPropertyCustomPropertyInfoList:
        return kind_answer(Kind::empty);
    default:
        return {};
    }
}

Answer stream_answer(AudioObjectID object, const AudioObjectPropertyAddress& address) {
    const bool input = object == kInputStreamObjectID;
    const AudioObjectPropertyScope own_scope = input ? kAudioObjectPropertyScopeInput : kAudioObjectPropertyScopeOutput;
    if (!(is_global_scope(address.mScope) || address.mScope == own_scope) || !is_main_element(address.mElement)) {
        return {};
    }
    switch (address.mSelector) {
    case kAudioObjectPropertyBaseClass:
        return uint32_answer(kAudioObjectClassID);
    case kAudioObjectPropertyClass:
        return uint32_answer(kAudioStreamClassID);
    case kAudioObjectPropertyOwner:
        return uint32_answer(kDeviceObjectID);
    case kAudioObjectPropertyName:
    case kAudioObjectPropertyModelName:
        return text_answer(input ? kInputStreamName : kOutputStreamName);
    case kAudioObjectPropertyManufacturer:
        return text_answer(kManufacturerName);
    case kAudioStreamPropertyIsActive:
    case kAudioStreamPropertyStartingChannel:
        return uint32_answer(1);
    case kAudioStreamPropertyDirection:
        return uint32_answer(input ? 1 : 0);
    case kAudioStreamPropertyTerminalType:
        return uint32_answer(input ? kAudioStreamTerminalTypeMicrophone : kAudioStreamTerminalTypeSpeaker);
    case kAudioStreamPropertyLatency:
        return uint32_answer(0);
    case kAudioStreamPropertyVirtualFormat:
    case kAudioStreamPropertyPhysicalFormat:
        return kind_answer(Kind::stream_format);
    case kAudioStreamPropertyAvailableVirtualFormats:
    case kAudioStreamPropertyAvailablePhysicalFormats:
        return kind_answer(Kind::ranged_formats);
    case kAudioDevicePropertyTapList:
    case kAudioObjectPropertyControlList:
    case kAudioObjectPropertyCustomPropertyInfoList:
        return kind_answer(Kind::empty);
    default:
        return {};
    }
}

Answer describe(AudioObjectID object, const AudioObjectPropertyAddress& address, const DevicePropertyState& state) {
    switch (object) {
    case kPlugInObjectID:
        return plugin_answer(address);
    case kDeviceObjectID:
        return device_answer(address, state);
    case kInputStreamObjectID:
    case kOutputStreamObjectID:
        return stream_answer(object, address);
    default:
        return {};
    }
}

UInt32 answer_size(const Answer& answer) {
    switch (answer.kind) {
    case Kind::uint32:
    case Kind::float32:
    case Kind::uid_translation:
        return sizeof(UInt32);
    case Kind::float64:
        return sizeof(Float64);
    case Kind::text:
        return sizeof(CFStringRef);
    case Kind::object_list:
        return static_cast<UInt32>(answer.object_count * sizeof(AudioObjectID));
    case Kind::value_range:
        return sizeof(AudioValueRange);
    case Kind::rate_list:
        return static_cast<UInt32>(kSupportedSampleRates.size() * sizeof(AudioValueRange));
    case Kind::stream_format:
        return sizeof(AudioStreamBasicDescription);
    case Kind::ranged_formats:
        return static_cast<UInt32>(kSupportedSampleRates.size() * sizeof(AudioStreamRangedDescription));
    case Kind::stream_configuration:
        return static_cast<UInt32>(offsetof(AudioBufferList, mBuffers) + answer.buffer_count * sizeof(AudioBuffer));
    case Kind::empty:
    case Kind::unknown:
        return 0;
    }
    return 0;
}

// The host's buffer carries no alignment promise: every value is copied in bytewise.
template <typename T>
void put(void* data, std::size_t offset, const T& value) {
    std::memcpy(static_cast<unsigned char*>(data) + offset, &value, sizeof value);
}

// The device's UID, the only one the plug-in translates; false for a missing or short qualifier.
bool translate_uid(UInt32 qualifier_size, const void* qualifier, AudioObjectID& device) {
    if (qualifier == nullptr || qualifier_size < sizeof(CFStringRef)) {
        return false;
    }
    CFStringRef uid = nullptr;
    std::memcpy(&uid, qualifier, sizeof uid);
    device = kAudioObjectUnknown;
    if (uid == nullptr || CFGetTypeID(uid) != CFStringGetTypeID()) {
        return true;
    }
    char text[sizeof kDeviceUID + 1] = {};
    if (CFStringGetCString(uid, text, sizeof text, kCFStringEncodingUTF8) && std::strcmp(text, kDeviceUID) == 0) {
        device = kDeviceObjectID;
    }
    return true;
}

} // namespace

bool is_supported_sample_rate(double rate) {
    return std::find(kSupportedSampleRates.begin(), kSupportedSampleRates.end(), rate) != kSupportedSampleRates.end();
}

bool is_supported_buffer_frame_size(std::uint64_t frames) {
    return frames >= kMinBufferFrameSize && frames <= kMaxBufferFrameSize;
}

AudioStreamBasicDescription device_stream_format(Float64 sample_rate) {
    AudioStreamBasicDescription format{};
    format.mSampleRate = sample_rate;
    format.mFormatID = kAudioFormatLinearPCM;
    format.mFormatFlags = kAudioFormatFlagIsFloat | kAudioFormatFlagIsPacked;
    format.mBytesPerPacket = kDeviceChannelCount * sizeof(Float32);
    format.mFramesPerPacket = 1;
    format.mBytesPerFrame = kDeviceChannelCount * sizeof(Float32);
    format.mChannelsPerFrame = kDeviceChannelCount;
    format.mBitsPerChannel = 32;
    return format;
}

UInt32 device_latency_frames(AudioObjectPropertyScope scope, const DevicePropertyState& state) {
    // Announced latencies come straight from the network: bound them before they reach every
    // application on the machine.
    const std::uint64_t input = std::min(state.input_latency_blocks, kMaxReportedLatencyBlocks);
    const std::uint64_t output = std::min(state.output_latency_blocks, kMaxReportedLatencyBlocks);
    std::uint64_t blocks = std::max(input, output);
    if (scope == kAudioObjectPropertyScopeInput) {
        blocks = input;
    } else if (scope == kAudioObjectPropertyScopeOutput) {
        blocks = output;
    }
    const std::uint64_t frames = blocks * state.buffer_frame_size;
    return static_cast<UInt32>(std::min<std::uint64_t>(frames, std::numeric_limits<UInt32>::max()));
}

bool has_plugin_property(AudioObjectID object, const AudioObjectPropertyAddress* address) {
    return address != nullptr && describe(object, *address, DevicePropertyState{}).kind != Kind::unknown;
}

bool is_plugin_property_settable(AudioObjectID object, const AudioObjectPropertyAddress& address) {
    return object == kDeviceObjectID && is_global_scope(address.mScope) && is_main_element(address.mElement) &&
           (address.mSelector == kAudioDevicePropertyNominalSampleRate ||
            address.mSelector == kAudioDevicePropertyBufferFrameSize);
}

OSStatus get_plugin_property_data_size(AudioObjectID object, const AudioObjectPropertyAddress& address,
                                       UInt32& data_size) {
    const Answer answer = describe(object, address, DevicePropertyState{});
    if (answer.kind == Kind::unknown) {
        return kAudioHardwareUnknownPropertyError;
    }
    data_size = answer_size(answer);
    return kAudioHardwareNoError;
}

OSStatus get_plugin_property_data(AudioObjectID object, const AudioObjectPropertyAddress& address,
                                  UInt32 qualifier_size, const void* qualifier, UInt32 capacity,
                                  UInt32& data_size, void* data, const DevicePropertyState& state) {
    const Answer answer = describe(object, address, state);
    if (answer.kind == Kind::unknown) {
        return kAudioHardwareUnknownPropertyError;
    }
    const UInt32 size = answer_size(answer);
    if (capacity < size) {
        data_size = 0;
        return kAudioHardwareBadPropertySizeError;
    }
    switch (answer.kind) {
    case Kind::uint32:
        put(data, 0, answer.u32);
        break;
    case Kind::float32:
        put(data, 0, answer.f32);
        break;
    case Kind::float64:
        put(data, 0, answer.f64);
        break;
    case Kind::text: {
        CFStringRef text = CFStringCreateWithCString(nullptr, answer.text, kCFStringEncodingUTF8);
        if (text == nullptr) {
            data_size = 0;
            return kAudioHardwareUnspecifiedError;
        }
        put(data, 0, text);
        break;
    }
    case Kind::object_list:
        for (UInt32 i = 0; i < answer.object_count; ++i) {
            put(data, i * sizeof(AudioObjectID), answer.objects[i]);
        }
        break;
    case Kind::value_range:
        put(data, 0, answer.range);
        break;
    case Kind::rate_list:
        for (std::size_t i = 0; i < kSupportedSampleRates.size(); ++i) {
            const auto rate = static_cast<Float64>(kSupportedSampleRates[i]);
            put(data, i * sizeof(AudioValueRange), AudioValueRange{rate, rate});
        }
        break;
    case Kind::stream_format:
        put(data, 0, device_stream_format(state.nominal_sample_rate));
        break;
    case Kind::ranged_formats:
        for (std::size_t i = 0; i < kSupportedSampleRates.size(); ++i) {
            const auto rate = static_cast<Float64>(kSupportedSampleRates[i]);
            AudioStreamRangedDescription description{};
            description.mFormat = device_stream_format(rate);
            description.mSampleRateRange = {rate, rate};
            put(data, i * sizeof(AudioStreamRangedDescription), description);
        }
        break;
    case Kind::stream_configuration: {
        put(data, 0, answer.buffer_count);
        // The four bytes between the count and the first buffer are padding; keep them defined.
        put(data, sizeof(UInt32), UInt32{0});
        for (UInt32 i = 0; i < answer.buffer_count; ++i) {
            AudioBuffer buffer{};
            buffer.mNumberChannels = kDeviceChannelCount;
            put(data, offsetof(AudioBufferList, mBuffers) + i * sizeof(AudioBuffer), buffer);
        }
        break;
    }
    case Kind::uid_translation: {
        AudioObjectID device = kAudioObjectUnknown;
        if (!translate_uid(qualifier_size, qualifier, device)) {
            data_size = 0;
            return kAudioHardwareBadPropertySizeError;
        }
        put(data, 0, device);
        break;
    }
    case Kind::empty:
    case Kind::unknown:
        break;
    }
    data_size = size;
    return kAudioHardwareNoError;
}

} // namespace VelmoraMac
