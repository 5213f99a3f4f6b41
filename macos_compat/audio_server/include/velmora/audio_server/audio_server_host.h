// The stand-in for the system's audio server: it hosts one AudioServerPlugIn driver as the real
// one does.
//
//   initialize       Initialize with this host's interface (configuration changes, storage,
//                    property notifications)
//   describe_device  the plug-in's first device, its streams and formats, through properties
//   configure        rate and buffer size through SetPropertyData; the driver asks for a
//                    configuration change, which a control thread performs (stop IO, perform,
//                    restart IO) before `configure` returns
//   attach / detach  AddDeviceClient / RemoveDeviceClient for this host's one client
//   start_io         StartIO, then an IO thread runs one cycle per buffer, paced by the device's
//                    zero time stamps: Begin(Cycle), ReadInput, WriteMix, End(Cycle)
//   stop_io          stops the IO thread, then StopIO
//
// Control methods are for one control thread (main) and block. The IO thread keeps real-time
// rules: no lock, allocation, logging or system call in a cycle but the driver's own; it reports
// through atomics, read by `status`.
#pragma once

#include <velmora/audio_server/device_player.h>
#include <velmora/audio_server/input_monitor.h>
#include <velmora/audio_server/input_recorder.h>
#include <velmora/audio_server/plugin_bundle.h>

#include <CoreAudio/AudioHardware.h>
#include <CoreAudio/AudioServerPlugIn.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace VelmoraAudioServer {

struct DeviceDescription {
    AudioObjectID device = kAudioObjectUnknown;
    std::string name;
    std::string uid;
    AudioObjectID input_stream = kAudioObjectUnknown;
    AudioObjectID output_stream = kAudioObjectUnknown;
    std::string input_stream_name;
    std::string output_stream_name;
    std::uint32_t input_channels = 0;
    std::uint32_t output_channels = 0;
    std::vector<std::uint32_t> sample_rates;
    std::uint32_t min_buffer_frames = 0;
    std::uint32_t max_buffer_frames = 0;
    std::uint32_t sample_rate = 0;
    std::uint32_t buffer_frames = 0;
};

struct IoSettings {
    PlayKind play = PlayKind::silence;
    const VelmoraCompat::WavAudio* wav = nullptr;
    InputRecorder* recorder = nullptr; // null: no recording
    std::size_t timing_capacity = 0;   // cycles whose wake-up lateness is kept
};

struct HostStatus {
    std::uint64_t cycles = 0;
    std::uint64_t overloads = 0;
    std::uint64_t io_errors = 0;
    std::uint64_t configuration_changes = 0;
};

class AudioServerHost {
public:
    explicit AudioServerHost(PlugInBundle& bundle);
    // Stops IO and the control thread; detaches if still attached.
    ~AudioServerHost();
    AudioServerHost(const AudioServerHost&) = delete;
    AudioServerHost& operator=(const AudioServerHost&) = delete;

    bool initialize(std::string& error);
    bool describe_device(DeviceDescription& description, std::string& error);
    // Asks for `sample_rate` and `buffer_frames` and waits until the driver's configuration
    // changes are performed; false when the driver refuses or ends elsewhere.
    bool configure(std::uint32_t sample_rate, std::uint32_t buffer_frames, std::string& error);
    // The driver's answer to AddDeviceClient (0 = attached).
    OSStatus attach();
    void detach();
    bool start_io(const IoSettings& settings, std::string& error);
    void stop_io();

    const DeviceDescription& device() const { return device_; }
    HostStatus status() const;
    InputMonitor& monitor() { return monitor_; }
    CycleTiming::Summary timing() const { return timing_.summarize(); }
    // Frames of audio the IO thread has run since the first start.
    std::uint64_t frames_run() const { return frames_run_.load(std::memory_order_relaxed); }

private:
    struct HostHandle {
        AudioServerPlugInHostInterface table;
        AudioServerHost* owner;
    };
    struct ChangeRequest {
        AudioObjectID device;
        UInt64 action;
        void* info;
    };

    static AudioServerHost* from(AudioServerPlugInHostRef host);
    static OSStatus properties_changed(AudioServerPlugInHostRef host, AudioObjectID object, UInt32 count,
                                       const AudioObjectPropertyAddress* addresses);
    static OSStatus copy_from_storage(AudioServerPlugInHostRef host, CFStringRef key, CFPropertyListRef* out);
    static OSStatus write_to_storage(AudioServerPlugInHostRef host, CFStringRef key, CFPropertyListRef data);
    static OSStatus delete_from_storage(AudioServerPlugInHostRef host, CFStringRef key);
    static OSStatus request_configuration_change(AudioServerPlugInHostRef host, AudioObjectID device,
                                                 UInt64 action, void* info);

    void control_loop();
    void perform_change(const ChangeRequest& request);
    bool refresh_format(std::string& error);
    bool start_io_locked(std::string& error);
    void stop_io_locked();
    void io_loop();
    void run_cycle(std::uint64_t sample_time, std::uint64_t counter, UInt64 cycle_host_time,
                   double ticks_per_frame);

    PlugInBundle& bundle_;
    HostHandle handle_;
    DeviceDescription device_;
    bool attached_ = false;

    // Serialises attach, detach, IO start and stop and performed changes.
    std::recursive_mutex control_mutex_;

    std::mutex requests_mutex_;
    std::condition_variable requests_changed_;
    std::deque<ChangeRequest> requests_;
    bool request_in_progress_ = false;
    bool control_stop_requested_ = false;
    std::thread control_thread_;

    std::mutex storage_mutex_;
    std::map<std::string, CFPropertyListRef> storage_;

    // IO: settings kept for restarts after a configuration change.
    IoSettings io_settings_;
    bool io_running_ = false;
    std::thread io_thread_;
    std::atomic<bool> io_stop_requested_{false};
    bool will_read_input_ = true;
    bool will_write_mix_ = true;
    std::uint32_t io_frames_ = 0;
    std::uint32_t io_rate_ = 0;
    std::vector<float> input_buffer_;
    std::vector<float> output_buffer_;
    DevicePlayer player_;
    InputMonitor monitor_;
    CycleTiming timing_;
    std::atomic<std::uint64_t> cycles_{0};
    std::atomic<std::uint64_t> overloads_{0};
    std::atomic<std::uint64_t> io_errors_{0};
    std::atomic<std::uint64_t> configuration_changes_{0};
    std::atomic<std::uint64_t> frames_run_{0};
};

// A driver status code as its four characters when printable ('nope'), else as a number.
std::string status_text(OSStatus status);

} // namespace VelmoraAudioServer
