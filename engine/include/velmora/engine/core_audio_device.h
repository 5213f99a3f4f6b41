// The CoreAudio backend of `AudioDevice`.
//
// `open` finds the device (by UID, or the system's default output device for "default"), makes
// it run exactly the requested rate and block size (setting them and polling up to 100 times,
// 10 ms apart, until the hardware reports both), checks that every stream of each used direction
// is native-endian Float32 PCM at that rate, checks the channel maps against the channel totals,
// watches the device (alive, nominal rate, buffer size, stream layout) and creates the IO
// procedure. Every failure is logged as "[coreaudio] <reason>".
//
// Channel mapping: map position = engine channel, value = hardware channel counted across all
// streams of the direction in order; a channel lives in the buffer whose channel range holds it,
// at its offset there, stepping by the buffer's channel count (1 for non-interleaved streams).
//
// Loss: a dead device, a nominal rate or buffer size other than the accepted one, a change of the
// stream layout (by another application) or a malformed buffer list in the IO procedure sets
// `lost` for good; the IO procedure then only outputs silence and never calls the player again.
// The late notice of open's own format switch is not a loss.
#pragma once

#include <velmora/engine/audio_device.h>

#include <CoreAudio/AudioHardware.h>

#include <atomic>
#include <cstddef>
#include <string>
#include <vector>

class CoreAudioDevice final : public AudioDevice {
public:
    CoreAudioDevice() = default;
    // Stops the device first.
    ~CoreAudioDevice() override;
    CoreAudioDevice(const CoreAudioDevice&) = delete;
    CoreAudioDevice& operator=(const CoreAudioDevice&) = delete;

    // Control thread; blocks up to about a second while the hardware switches format.
    bool open(const AudioDeviceSettings& settings, LogCallback log, CycleCallback callback, void* context) override;
    // Control thread; may block.
    bool start() override;
    // Control thread; may block. Undoes everything `open` registered.
    void stop() override;

    // IO thread, inside the cycle callback only; lock-free, allocation-free.
    void read_channel(long channel, long buffer_index, float* destination, long frames) override;
    void write_channel(long channel, long buffer_index, const float* source, long frames) override;
    bool output_ready() override { return true; }

    // Any thread.
    bool device_lost() const override { return lost_.load(std::memory_order_acquire); }

private:
    static constexpr AudioObjectPropertySelector listened_selectors[4] = {
        kAudioDevicePropertyDeviceIsAlive, kAudioDevicePropertyNominalSampleRate, kAudioDevicePropertyBufferFrameSize,
        kAudioDevicePropertyStreamConfiguration};

    bool find_device();
    bool read_format(Float64& rate, UInt32& frames) const;
    bool inspect_streams(AudioObjectPropertyScope scope, const std::vector<long>& map, std::size_t& channel_total);
    bool fail(const char* reason);
    // Whether every mapped channel lies in a buffer with data of the cycle's exact size.
    bool buffers_hold(const AudioBufferList* list, const std::vector<long>& map) const;

    static OSStatus io(AudioObjectID device, const AudioTimeStamp* now, const AudioBufferList* input,
                       const AudioTimeStamp* input_time, AudioBufferList* output, const AudioTimeStamp* output_time,
                       void* client);
    static OSStatus changed(AudioObjectID object, UInt32 count, const AudioObjectPropertyAddress* addresses,
                            void* client);

    AudioDeviceSettings settings_;
    LogCallback log_;
    CycleCallback callback_ = nullptr;
    void* context_ = nullptr;
    AudioObjectID device_id_ = kAudioObjectUnknown;
    AudioDeviceIOProcID io_proc_id_ = nullptr;
    std::atomic<bool> lost_{false};
    std::size_t listeners_registered_ = 0;
    // The cycle in progress (IO thread only).
    const AudioBufferList* input_list_ = nullptr;
    AudioBufferList* output_list_ = nullptr;
};
