// The objects of the virtual device as the host sees them, and every property they answer.
//
//   ID 1  the plug-in       kAudioPlugInClassID     owns the device
//   ID 2  the device        kAudioDeviceClassID     32 in / 32 out, owned by the plug-in
//   ID 3  the input stream  kAudioStreamClassID     32 channels, owned by the device
//   ID 4  the output stream kAudioStreamClassID     32 channels, owned by the device
//
// Both streams carry interleaved, packed 32-bit float PCM of 32 channels. There are no controls,
// boxes or clock devices.
//
// Addressing: plug-in and device properties answer the global or wildcard scope with element 0 or
// the wildcard; the device's scoped properties (safety offset, latency, streams, stream
// configuration, 'aExS') also answer the input and output scopes; its channel names answer all four
// scopes for elements 0..32 and the wildcard. The input stream answers the global, wildcard and
// input scopes, the output stream the global, wildcard and output scopes, element 0 or wildcard.
// An address outside these, and every address on any other object, is an unknown property.
//
// Everything here is a pure function of its arguments apart from the strings it creates for the
// host: control threads; it allocates only those strings.
#pragma once

#include <CoreAudio/AudioHardware.h>
#include <CoreAudio/AudioServerPlugIn.h>

#include <array>
#include <cstdint>

namespace VelmoraMac {

// The SDK spells the device's tap list only as the aggregate-device selector; this device answers
// the same code with an empty list.
inline constexpr AudioObjectPropertySelector kAudioDevicePropertyTapList = 'tap#';
// Selectors a host asks that carry fixed values here (no SDK name).
inline constexpr AudioObjectPropertySelector kDeviceSelectorAccs = 'accs';
inline constexpr AudioObjectPropertySelector kDeviceSelectorAExS = 'aExS';
inline constexpr AudioObjectPropertySelector kDeviceSelectorSiso = 'siso';

inline constexpr AudioObjectID kPlugInObjectID = kAudioObjectPlugInObject;
inline constexpr AudioObjectID kDeviceObjectID = 2;
inline constexpr AudioObjectID kInputStreamObjectID = 3;
inline constexpr AudioObjectID kOutputStreamObjectID = 4;

inline constexpr UInt32 kDeviceChannelCount = 32;
inline constexpr UInt32 kMinBufferFrameSize = 15;
inline constexpr UInt32 kMaxBufferFrameSize = 4096;
inline constexpr UInt32 kDefaultBufferFrameSize = 128;
inline constexpr UInt32 kDefaultNominalSampleRate = 48000;
inline constexpr UInt32 kZeroTimeStampPeriodFrames = 10923;
// A client may announce any latency; the device reports at most this many blocks of it.
inline constexpr UInt32 kMaxReportedLatencyBlocks = 128;
inline constexpr std::array<UInt32, 6> kSupportedSampleRates = {44100, 48000, 88200, 96000, 176400, 192000};

// Configuration-change actions the device asks its host for.
inline constexpr UInt64 kChangeActionBufferFrameSize = 1;
inline constexpr UInt64 kChangeActionNominalSampleRate = 2;

inline constexpr char kPlugInName[] = "Velmora";
inline constexpr char kManufacturerName[] = "Tarnwell";
inline constexpr char kPlugInBundleID[] = "com.tarnwell.velmora.coreaudio";
inline constexpr char kDeviceUID[] = "com.tarnwell.velmora.coreaudio.device";
inline constexpr char kInputStreamName[] = "Velmora Input";
inline constexpr char kOutputStreamName[] = "Velmora Output";

bool is_supported_sample_rate(double rate);
bool is_supported_buffer_frame_size(std::uint64_t frames);

// The stream format (32 channels, float, packed, interleaved) at `sample_rate`.
AudioStreamBasicDescription device_stream_format(Float64 sample_rate);

// What the device's properties depend on, read by the driver when it answers.
struct DevicePropertyState {
    UInt32 nominal_sample_rate = kDefaultNominalSampleRate;
    UInt32 buffer_frame_size = kDefaultBufferFrameSize;
    bool io_running = false;
    // The largest latencies any client announced, in blocks (0 with no clients).
    UInt32 input_latency_blocks = 0;
    UInt32 output_latency_blocks = 0;
};

// Latency in frames for a device scope: each announced latency clamped to 128 blocks and
// multiplied by the buffer size in 64 bits, saturating at the UInt32 range. Input scope: the input
// latency; output scope: the output latency; global or wildcard: the larger.
UInt32 device_latency_frames(AudioObjectPropertyScope scope, const DevicePropertyState& state);

// True when the property named by `address` exists on `object` (false for a null address).
bool has_plugin_property(AudioObjectID object, const AudioObjectPropertyAddress* address);

// True for the device's nominal sample rate and buffer frame size (global or wildcard scope,
// element 0 or wildcard).
bool is_plugin_property_settable(AudioObjectID object, const AudioObjectPropertyAddress& address);

// The size of the property's value; kAudioHardwareUnknownPropertyError for unknown properties.
OSStatus get_plugin_property_data_size(AudioObjectID object, const AudioObjectPropertyAddress& address,
                                       UInt32& data_size);

// Writes the property's value into `data` (`capacity` bytes) and its size into `data_size`.
// kAudioHardwareUnknownPropertyError for unknown properties; kAudioHardwareBadPropertySizeError
// (size 0) when `capacity` is too small or the UID qualifier of the translation is missing or
// shorter than a CFStringRef; kAudioHardwareUnspecifiedError when a string cannot be created.
// Strings are handed over retained (+1): the host releases them.
OSStatus get_plugin_property_data(AudioObjectID object, const AudioObjectPropertyAddress& address,
                                  UInt32 qualifier_size, const void* qualifier, UInt32 capacity,
                                  UInt32& data_size, void* data, const DevicePropertyState& state);

} // namespace VelmoraMac
