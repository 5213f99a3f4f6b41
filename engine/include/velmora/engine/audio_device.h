// The audio player's only way to audio hardware.
//
// Life: created -> open (fields set) -> start (cycles run) -> stop -> destroyed. An object is never
// reopened: after a loss the player destroys it and asks `create_audio_device()` for a new one.
// During each IO cycle the backend calls the cycle callback on its real-time thread with the
// context given to `open`; inside that call the player uses `read_channel` for each engine input
// channel, `write_channel` for each engine output channel, then `output_ready`.
#pragma once

#include <velmora/engine/audio_device_settings.h>

#include <cstddef>
#include <functional>
#include <memory>
#include <string>

class AudioDevice {
public:
    using LogCallback = std::function<void(const std::string&)>;
    using CycleCallback = void (*)(void* context, long buffer_index);

    virtual ~AudioDevice() = default;

    // Control thread; may block. Opens the device in the requested format and sets the fields
    // below; false (with a reason through `log`) when it cannot.
    virtual bool open(const AudioDeviceSettings& settings, LogCallback log, CycleCallback callback, void* context) = 0;
    // Control thread; may block. Starts the IO cycles.
    virtual bool start() = 0;
    // Control thread; may block. After it returns no cycle callback runs.
    virtual void stop() = 0;

    // IO thread, inside the cycle callback only; lock-free, allocation-free.
    // Copies engine input channel `channel` of the current cycle into `destination`.
    virtual void read_channel(long channel, long buffer_index, float* destination, long frames) = 0;
    // Writes engine output channel `channel` of the current cycle; a null `source` writes silence.
    virtual void write_channel(long channel, long buffer_index, const float* source, long frames) = 0;
    // Whether this cycle's output was accepted.
    virtual bool output_ready() = 0;

    // Any thread. Turns true at any time after `open` and never turns false again.
    virtual bool device_lost() const = 0;

    // Set by a successful `open`.
    std::size_t block_frames = 0;
    std::size_t input_channels = 0;    // 0 when no input channel is mapped
    std::size_t output_channels = 0;   // 0 when no output channel is mapped
    double sample_rate = 0.0;
};

// The platform's device backend (CoreAudio). Control thread.
std::unique_ptr<AudioDevice> create_audio_device();
