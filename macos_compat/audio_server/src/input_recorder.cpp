#include <velmora/audio_server/input_recorder.h>

#include <algorithm>
#include <chrono>
#include <cstring>

namespace VelmoraAudioServer {

InputRecorder::~InputRecorder() { stop(); }

bool InputRecorder::start(const std::string& path, std::uint32_t sample_rate, std::uint32_t channels,
                          std::uint32_t capacity_frames, std::string& error) {
    stop();
    if (channels == 0 || capacity_frames == 0) {
        error = "nothing to record";
        return false;
    }
    if (!writer_.open(path, sample_rate, channels, error)) {
        return false;
    }
    channels_ = channels;
    capacity_ = capacity_frames;
    ring_.reset(new float[static_cast<std::size_t>(capacity_) * channels_]());
    written_.store(0, std::memory_order_relaxed);
    read_.store(0, std::memory_order_relaxed);
    dropped_.store(0, std::memory_order_relaxed);
    write_failed_ = false;
    stop_requested_ = false;
    running_ = true;
    thread_ = std::thread([this] { writer_loop(); });
    return true;
}

bool InputRecorder::stop() {
    if (!running_) {
        return !write_failed_;
    }
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stop_requested_ = true;
    }
    wake_.notify_all();
    thread_.join();
    drain();
    write_failed_ = !writer_.close() || write_failed_;
    running_ = false;
    return !write_failed_;
}

bool InputRecorder::push(const float* interleaved, std::uint32_t frames) {
    const std::uint64_t written = written_.load(std::memory_order_relaxed);
    // Acquire pairs with the writer's release of `read`: the frames it freed are written out.
    const std::uint64_t read = read_.load(std::memory_order_acquire);
    if (frames > capacity_ - (written - read)) {
        dropped_.fetch_add(frames, std::memory_order_relaxed);
        return false;
    }
    std::uint64_t position = written;
    std::uint32_t left = frames;
    while (left > 0) {
        const std::uint64_t slot = position % capacity_;
        const auto run = static_cast<std::uint32_t>(std::min<std::uint64_t>(left, capacity_ - slot));
        std::memcpy(ring_.get() + slot * channels_, interleaved + static_cast<std::size_t>(frames - left) * channels_,
                    static_cast<std::size_t>(run) * channels_ * sizeof(float));
        position += run;
        left -= run;
    }
    // Release: the copied frames are visible before the position that covers them.
    written_.store(written + frames, std::memory_order_release);
    return true;
}

std::uint64_t InputRecorder::drain() {
    const std::uint64_t read = read_.load(std::memory_order_relaxed);
    // Acquire pairs with the IO thread's release: the frames up to `written` are complete.
    const std::uint64_t written = written_.load(std::memory_order_acquire);
    std::uint64_t position = read;
    while (position < written) {
        const std::uint64_t slot = position % capacity_;
        const std::uint64_t run = std::min(written - position, capacity_ - slot);
        if (!writer_.write(ring_.get() + slot * channels_, run)) {
            write_failed_ = true;
        }
        position += run;
        // Release: the frames are out before the IO thread may overwrite them.
        read_.store(position, std::memory_order_release);
    }
    return written - read;
}

void InputRecorder::writer_loop() {
    std::unique_lock<std::mutex> lock(mutex_);
    while (!stop_requested_) {
        // The IO thread never signals (that would be a system call); a short poll suffices for a
        // ring that holds seconds.
        wake_.wait_for(lock, std::chrono::milliseconds(50));
        lock.unlock();
        drain();
        lock.lock();
    }
}

} // namespace VelmoraAudioServer
