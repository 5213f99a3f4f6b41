// One simulated audio device and its streams, as the HAL functions see them.
//
// Locks: property state is guarded by the system's mutex (the caller of every *_locked method
// holds it). IO state (IO procedures, running, the buffers) is guarded by io_mutex_, which the IO
// cycle holds while it calls IO procedures; control_mutex_ serialises starting and stopping.
// Order: control_mutex_ -> io_mutex_; the system mutex is never held while taking either, and
// neither is held while the backend's clock is stopped (it may wait for a cycle).
#pragma once

#include "device_backend.h"
#include "property_answer.h"
#include "simulated_backend.h"

#include <velmora_compat/hal_control.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

namespace VelmoraCompat::Hal {

class HalDevice final : public CycleRunner {
public:
    // `first_stream_id` and the IDs after it name the input streams, then the output streams.
    HalDevice(AudioObjectID id, AudioObjectID first_stream_id, const DeviceDescription& description,
              std::shared_ptr<const VelmoraCompat::WavAudio> wav);
    ~HalDevice();
    HalDevice(const HalDevice&) = delete;
    HalDevice& operator=(const HalDevice&) = delete;

    AudioObjectID id() const { return id_; }
    const std::string& uid() const { return description_.uid; }
    UInt32 channel_count(bool input) const;
    bool is_default_candidate(bool input) const;
    bool owns(AudioObjectID object) const;
    bool alive() const { return alive_.load(); }
    UInt32 stream_count() const;

    // Properties; the system's mutex is held. `changes` collects what listeners must hear.
    bool has_property_locked(AudioObjectID object, const AudioObjectPropertyAddress& address) const;
    OSStatus read_property_locked(AudioObjectID object, const AudioObjectPropertyAddress& address,
                                  bool is_fetch, PropertyAnswer* answer,
                                  std::vector<PropertyChange>* changes);
    OSStatus is_settable_locked(AudioObjectID object, const AudioObjectPropertyAddress& address,
                                Boolean* settable) const;
    OSStatus write_property_locked(AudioObjectID object, const AudioObjectPropertyAddress& address,
                                   UInt32 size, const void* data, bool external,
                                   std::vector<PropertyChange>* changes);
    void set_running_elsewhere_locked(bool running, std::vector<PropertyChange>* changes);
    void refuse_rate_locked(Float64 rate) { description_.refused_rates.push_back(rate); }
    void refuse_frames_locked(UInt32 frames) { description_.refused_buffer_frames.push_back(frames); }
    void set_polls_locked(UInt32 rate_polls, UInt32 buffer_polls);

    // IO procedures; no lock held by the caller. Each reports whether IsRunning changed.
    OSStatus create_io_proc(AudioDeviceIOProc proc, void* client_data, AudioDeviceIOProcID* out_id);
    OSStatus destroy_io_proc(AudioDeviceIOProcID id, bool* running_changed);
    OSStatus start(AudioDeviceIOProcID id, bool* running_changed);
    OSStatus stop(AudioDeviceIOProcID id, bool* running_changed);
    OSStatus current_time(AudioTimeStamp* out) const;
    // Dies: IO stops for good, alive turns 0. Returns whether it was running.
    bool kill();

    // Test control; no lock held by the caller.
    UInt64 step(UInt64 count);
    UInt64 cycle_count() const { return cycle_count_.load(std::memory_order_relaxed); }
    void set_input_source(const InputSource& source, std::shared_ptr<const VelmoraCompat::WavAudio> wav);
    std::vector<ChannelLevel> take_levels();

    // CycleRunner.
    void io_format(UInt32* frames, Float64* sample_rate) const override;
    void run_cycle(UInt64 host_time, Float64 sample_time) override;

private:
    struct StreamInfo {
        AudioObjectID id;
        bool input;
        StreamDescription description;
        UInt32 starting_channel; // 1-based, across the direction
    };

    // Where one hardware channel lives in a buffer list of its direction.
    struct ChannelSlot {
        UInt32 buffer;
        UInt32 offset_in_frame; // channel within the buffer's frame
        SampleFormat format;
    };

    // A buffer list with its own storage, laid out as the streams of one direction say.
    struct BufferSet {
        std::vector<std::uint64_t> list_storage; // holds the AudioBufferList
        std::vector<std::uint64_t> data_storage;
        std::vector<UInt32> bytes_per_frame; // per buffer
        std::vector<UInt32> channels;        // per buffer
        std::vector<unsigned char*> data;    // per buffer, into data_storage
        AudioBufferList* list() { return reinterpret_cast<AudioBufferList*>(list_storage.data()); }
    };

    struct IoProcEntry {
        AudioDeviceIOProc proc;
        void* client_data;
        AudioDeviceIOProcID id;
        bool started = false;
        bool destroyed = false;
        BufferSet output;
    };

    const StreamInfo* stream(AudioObjectID object) const;
    AudioStreamBasicDescription stream_format_locked(const StreamInfo& s) const;
    std::vector<AudioStreamRangedDescription> available_formats_locked(const StreamInfo& s) const;
    PropertyAnswer stream_configuration(bool input) const;
    OSStatus read_device_locked(const AudioObjectPropertyAddress& address, bool is_fetch,
                                PropertyAnswer* answer, std::vector<PropertyChange>* changes);
    OSStatus read_stream_locked(const StreamInfo& s, const AudioObjectPropertyAddress& address,
                                PropertyAnswer* answer) const;
    bool rate_supported(Float64 rate) const;
    void apply_rate_locked(Float64 rate, std::vector<PropertyChange>* changes);
    void apply_frames_locked(UInt32 frames, std::vector<PropertyChange>* changes);

    void build_buffer_set(bool input, BufferSet* set) const;
    void set_byte_sizes(BufferSet& set, UInt32 frames) const;
    bool any_started_locked() const;
    bool on_io_thread() const { return std::this_thread::get_id() == cycle_thread_.load(); }
    // io_mutex_ held. Returns true when the backend must be stopped (after the lock is dropped).
    bool update_running_io_locked(bool* running_changed);

    const AudioObjectID id_;
    DeviceDescription description_;
    std::vector<StreamInfo> streams_;
    std::vector<ChannelSlot> input_slots_;
    std::vector<ChannelSlot> output_slots_;

    // Property state (system mutex).
    Float64 nominal_rate_;
    UInt32 buffer_frames_;
    std::optional<Float64> pending_rate_;
    UInt32 rate_polls_left_ = 0;
    std::optional<UInt32> pending_frames_;
    UInt32 frames_polls_left_ = 0;
    bool running_elsewhere_ = false;

    // Read by the IO side without the system mutex.
    std::atomic<bool> alive_{true};
    std::atomic<bool> running_{false};
    std::atomic<UInt32> io_frames_;
    std::atomic<Float64> io_rate_;
    std::atomic<UInt64> cycle_count_{0};
    std::atomic<std::thread::id> cycle_thread_{};
    // The time stamp of the latest cycle, for AudioDeviceGetCurrentTime.
    std::atomic<UInt64> last_cycle_host_{0};
    std::atomic<Float64> last_cycle_sample_{0.0};

    std::mutex control_mutex_;
    mutable std::mutex io_mutex_;
    std::vector<std::unique_ptr<IoProcEntry>> procs_; // io_mutex_
    bool hardware_started_ = false;                   // io_mutex_: started with a NULL proc
    bool stop_after_cycle_ = false;                   // io_mutex_: an IO procedure stopped the device
    UInt64 next_proc_token_ = 1;                      // io_mutex_
    BufferSet input_buffers_;
    std::vector<float> input_planar_;
    std::vector<float> output_planar_;
    std::vector<float*> input_channels_;
    std::vector<float*> output_channels_;

    std::unique_ptr<SimulatedBackend> backend_;
};

} // namespace VelmoraCompat::Hal
