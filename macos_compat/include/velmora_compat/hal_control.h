// Test control of the simulated CoreAudio HAL: what devices exist, how they behave, and what
// "another application" does to them. Code under test talks to the HAL only through Apple's
// functions (<CoreAudio/AudioHardware.h>); tests shape the world around it with these.
//
// The device set starts as the built-in defaults, or as the devices of the INI file named by
// the environment variable VELMORA_HAL_DEVICES (see the README, "Simulated audio devices").
//
// Model: a device has streams per direction; each stream has a channel count, a sample format and
// is interleaved or not, which decides the IO buffer list layout. A started device runs its IO
// procedures once per buffer period on its own high-priority thread, or, with a manual clock,
// only when a test calls step_io_cycles. Where its input comes from and where its output goes is
// the device's backend (simulated here; the seam where real audio backends would plug in).
//
// Threads: every function may be called from any thread except a device's own IO thread, and
// may block (they wait for an IO cycle in progress where they change IO).
#pragma once

#include <CoreAudio/AudioHardware.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace VelmoraCompat::Hal {

enum class SampleFormat { float32, int16, int24, int32 };

struct StreamDescription {
    UInt32 channels = 2;
    SampleFormat format = SampleFormat::float32;
    bool interleaved = true;
    // 0: the stream runs at the device's nominal rate. Otherwise it stays at this rate whatever the
    // device runs, which is how a stream in a format the device does not run is simulated.
    Float64 fixed_rate = 0.0;
};

enum class InputKind {
    silence,
    tone,         // channel n (from 0) carries a sine of frequency + 110 * n Hz at level_dbfs
    channel_ids,  // every sample of hardware input channel n equals (n + 1) / 1024
    loopback,     // the device's own output of the previous cycle, channel for channel
    wav_file,     // a WAV file, looped; channels beyond the file's are silent
};

struct InputSource {
    InputKind kind = InputKind::silence;
    Float64 frequency = 440.0;
    Float64 level_dbfs = -20.0;
    std::string path;
};

enum class OutputKind {
    none,
    wav_file,  // 32-bit float WAV at the nominal rate, one channel per output channel
    meter,     // peak and RMS per channel, read with output_levels
};

struct OutputSink {
    OutputKind kind = OutputKind::none;
    std::string path;
};

struct DeviceDescription {
    std::string uid;
    std::string name;
    std::string manufacturer = "Simulated Audio";
    UInt32 transport = kAudioDeviceTransportTypeUSB;
    std::vector<StreamDescription> input_streams;
    std::vector<StreamDescription> output_streams;
    Float64 sample_rate = 48000.0;
    std::vector<AudioValueRange> available_rates = {{44100.0, 44100.0}, {48000.0, 48000.0}};
    UInt32 buffer_frames = 512;
    UInt32 min_buffer_frames = 14;
    UInt32 max_buffer_frames = 4096;
    UInt32 latency_frames = 0;
    UInt32 safety_offset_frames = 0;
    bool default_output = false;  // candidates for the system's default devices, first one wins;
    bool default_input = false;   // without any, the first device with channels in that direction
    InputSource input;
    OutputSink output;
    bool manual_clock = false;
    // How many reads of the property return the old value after a successful set, as a device
    // that takes a while to switch. Rate changes take one read by default.
    UInt32 rate_change_polls = 1;
    UInt32 buffer_change_polls = 0;
    std::vector<Float64> refused_rates;         // in the available list, yet setting them fails
    std::vector<UInt32> refused_buffer_frames;  // in range, yet setting them fails
};

// The built-in set: "BuiltInSpeakerDevice" (2 outputs, the default output),
// "BuiltInMicrophoneDevice" (2 inputs, a tone; the default input) and
// "SimulatedInterface8x8" (8 inputs, 8 outputs, input looped back from its output).
std::vector<DeviceDescription> default_devices();

// Replaces every device (running ones are stopped first; listeners on them are dropped). Device
// IDs are never reused, so old IDs become unknown objects.
void reset(const std::vector<DeviceDescription>& devices);
void reset_to_defaults();
// Loads a device file as VELMORA_HAL_DEVICES would. On an error: the message (as printed to
// standard error) in `error`, and the default set.
bool load_device_file(const std::string& path, std::string* error = nullptr);

// Adds a device as a hot-plugged one would appear: the device list changes and its listeners
// fire. Returns its ID, or kAudioObjectUnknown when the description is invalid (reason in
// `error`) or its UID is taken.
AudioObjectID add_device(const DeviceDescription& description, std::string* error = nullptr);
// Unplugs: the device dies (alive becomes 0, IO stops) and leaves the device list.
bool remove_device(AudioObjectID device);
// The device dies but stays listed: alive becomes 0, IO stops, listeners fire.
bool kill_device(AudioObjectID device);
// kAudioObjectUnknown when no device has that UID.
AudioObjectID device_with_uid(const std::string& uid);

// Changes a property as another application would: applied at once (no refusal, no delay),
// listeners fire. Supported: the device's nominal sample rate (Float64) and buffer frame size
// (UInt32), and the system's default input and output device (AudioObjectID).
OSStatus set_property_externally(AudioObjectID object, AudioObjectPropertySelector selector, const void* data, UInt32 size);
// Another process runs IO on the device (kAudioDevicePropertyDeviceIsRunningSomewhere).
bool set_running_elsewhere(AudioObjectID device, bool running);

bool refuse_sample_rate(AudioObjectID device, Float64 rate);
bool refuse_buffer_frames(AudioObjectID device, UInt32 frames);
bool set_change_polls(AudioObjectID device, UInt32 rate_polls, UInt32 buffer_polls);
bool set_input_source(AudioObjectID device, const InputSource& source);

// Manual clock: runs `count` IO cycles of a started device on the calling thread, with host and
// sample times advancing exactly one period per cycle. Returns the cycles run (0 when the device
// is not running or has no manual clock).
UInt64 step_io_cycles(AudioObjectID device, UInt64 count);
// Cycles run since the device was added.
UInt64 io_cycle_count(AudioObjectID device);

struct ChannelLevel {
    float peak = 0.0f;
    float rms = 0.0f;
};
// Meter sink: levels per output channel since the previous call (which resets them).
std::vector<ChannelLevel> output_levels(AudioObjectID device);

// Parses the text of a device file. Returns false with "line N: reason" in `error`.
bool parse_device_file(const std::string& text, std::vector<DeviceDescription>* devices, std::string* error);
// Checks a description as add_device does; the reason in `error`.
bool validate_description(const DeviceDescription& description, std::string* error);

} // namespace VelmoraCompat::Hal
