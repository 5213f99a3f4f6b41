// Records the device input to a WAV file without touching the file on the IO thread: the IO
// thread copies each cycle into a ring (single producer), a writer thread drains it to disk
// (single consumer).
//
//   written   advanced by the IO thread after it copied a cycle in (release)
//   read      advanced by the writer thread after it wrote frames out (release)
//   fill      written - read frames, 0..capacity; frame slot = position mod capacity
//
// A cycle that does not fit is dropped whole and counted; the file then lacks those frames.
#pragma once

#include <velmora_compat/wav_file.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace VelmoraAudioServer {

class InputRecorder {
public:
    ~InputRecorder();

    // Control thread: creates the file and starts the writer thread with room for
    // `capacity_frames` frames. False with a reason when the file cannot be made.
    bool start(const std::string& path, std::uint32_t sample_rate, std::uint32_t channels,
               std::uint32_t capacity_frames, std::string& error);
    // Control thread: writes what is left, finishes the file and joins the writer. False when a
    // write failed.
    bool stop();

    // IO thread; lock-free, allocation-free, no system call. False (and counted) when the cycle
    // did not fit.
    bool push(const float* interleaved, std::uint32_t frames);

    std::uint64_t dropped_frames() const { return dropped_.load(std::memory_order_relaxed); }
    std::uint64_t frames_written() const { return writer_.frames_written(); }
    bool is_recording() const { return running_; }

private:
    void writer_loop();
    std::uint64_t drain();

    VelmoraCompat::WavWriter writer_;
    std::unique_ptr<float[]> ring_;
    std::uint32_t channels_ = 0;
    std::uint64_t capacity_ = 0;
    std::atomic<std::uint64_t> written_{0};
    std::atomic<std::uint64_t> read_{0};
    std::atomic<std::uint64_t> dropped_{0};
    bool running_ = false;
    bool write_failed_ = false;
    std::mutex mutex_;
    std::condition_variable wake_;
    bool stop_requested_ = false;
    std::thread thread_;
};

} // namespace VelmoraAudioServer
