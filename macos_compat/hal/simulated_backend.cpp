#include "simulated_backend.h"

#include <CoreAudio/HostTime.h>
#include <pthread/qos.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <ctime>

namespace VelmoraCompat::Hal {

namespace {

UInt64 monotonic_ns() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<UInt64>(now.tv_sec) * 1000000000ull + static_cast<UInt64>(now.tv_nsec);
}

// mach_absolute_time runs on CLOCK_MONOTONIC, so a monotonic deadline converts straight to ticks.
UInt64 host_time_of(UInt64 ns) {
    return AudioConvertNanosToHostTime(ns);
}

void atomic_max(std::atomic<float>& target, float value) {
    float seen = target.load(std::memory_order_relaxed);
    while (value > seen && !target.compare_exchange_weak(seen, value, std::memory_order_relaxed)) {
    }
}

void atomic_add(std::atomic<double>& target, double value) {
    double seen = target.load(std::memory_order_relaxed);
    while (!target.compare_exchange_weak(seen, seen + value, std::memory_order_relaxed)) {
    }
}

constexpr double kTwoPi = 6.283185307179586476925286766559;

} // namespace

UInt64 SimulatedBackend::Timeline::deadline_ns() const {
    // From the anchor each time, so rounding never accumulates.
    const long double offset = static_cast<long double>(k) * frames * 1.0e9L / rate;
    return anchor_ns + static_cast<UInt64>(offset);
}

void SimulatedBackend::Timeline::follow_format(UInt32 new_frames, Float64 new_rate) {
    if (new_frames == frames && new_rate == rate) {
        return;
    }
    if (frames != 0 && rate > 0.0) {
        anchor_ns = deadline_ns();
        anchor_sample += static_cast<Float64>(k) * frames;
    }
    k = 0;
    frames = new_frames;
    rate = new_rate;
}

SimulatedBackend::SimulatedBackend(const DeviceDescription& description, UInt32 input_channels,
                                   UInt32 output_channels, UInt32 max_frames,
                                   std::shared_ptr<const VelmoraCompat::WavAudio> wav)
    : manual_(description.manual_clock), input_channels_(input_channels), output_channels_(output_channels),
      max_frames_(max_frames), sink_(description.output), source_(description.input), wav_(std::move(wav)),
      tone_phases_(input_channels, 0.0),
      loopback_(static_cast<std::size_t>(output_channels) * max_frames, 0.0f),
      wav_interleave_(static_cast<std::size_t>(output_channels) * max_frames, 0.0f),
      peaks_(new std::atomic<float>[output_channels > 0 ? output_channels : 1]),
      squares_(new std::atomic<double>[output_channels > 0 ? output_channels : 1]) {
    for (UInt32 c = 0; c < output_channels_; ++c) {
        peaks_[c].store(0.0f);
        squares_[c].store(0.0);
    }
}

SimulatedBackend::~SimulatedBackend() {
    stop();
    if (thread_.joinable()) {
        // The last reference to a device can be dropped by one of its own IO procedures.
        if (thread_.get_id() == std::this_thread::get_id()) {
            thread_.detach();
        } else {
            thread_.join();
        }
    }
}

void SimulatedBackend::open_sink(Float64 sample_rate) {
    if (sink_.kind != OutputKind::wav_file || output_channels_ == 0) {
        return;
    }
    std::string error;
    if (!writer_.open(sink_.path, static_cast<std::uint32_t>(sample_rate), output_channels_, error)) {
        std::fprintf(stderr, "velmora HAL: output WAV %s; the output goes nowhere\n", error.c_str());
    }
}

bool SimulatedBackend::start(CycleRunner& runner) {
    std::unique_lock<std::mutex> lock(clock_mutex_);
    if (started_) {
        return true;
    }
    // A thread that ended on its own request (stop from inside a cycle) is reaped here.
    if (thread_.joinable()) {
        std::thread old = std::move(thread_);
        lock.unlock();
        old.join();
        lock.lock();
    }
    UInt32 frames = 0;
    Float64 rate = 0.0;
    runner.io_format(&frames, &rate);
    open_sink(rate);
    runner_ = &runner;
    stop_requested_ = false;
    started_ = true;
    std::fill(loopback_.begin(), loopback_.end(), 0.0f);
    if (manual_) {
        manual_timeline_ = Timeline{};
        manual_timeline_.anchor_ns = monotonic_ns();
        manual_timeline_.follow_format(frames, rate);
        return true;
    }
    thread_ = std::thread(&SimulatedBackend::clock_thread, this, &runner);
    return true;
}

void SimulatedBackend::stop() {
    std::unique_lock<std::mutex> lock(clock_mutex_);
    if (!started_) {
        return;
    }
    started_ = false;
    stop_requested_ = true;
    runner_ = nullptr;
    clock_wake_.notify_all();
    if (thread_.joinable() && std::this_thread::get_id() != thread_.get_id()) {
        std::thread old = std::move(thread_);
        lock.unlock();
        old.join();
        lock.lock();
    }
    if (std::this_thread::get_id() != io_thread_id_.load()) {
        writer_.close();
    }
}

UInt64 SimulatedBackend::step(UInt64 count) {
    std::unique_lock<std::mutex> lock(clock_mutex_);
    if (!manual_ || !started_ || runner_ == nullptr) {
        return 0;
    }
    CycleRunner* runner = runner_;
    UInt64 run = 0;
    for (; run < count && started_; ++run) {
        UInt32 frames = 0;
        Float64 rate = 0.0;
        runner->io_format(&frames, &rate);
        manual_timeline_.follow_format(frames, rate);
        ++manual_timeline_.k;
        const UInt64 deadline = manual_timeline_.deadline_ns();
        const Float64 sample_time =
            manual_timeline_.anchor_sample + static_cast<Float64>(manual_timeline_.k) * frames;
        runner->run_cycle(host_time_of(deadline), sample_time);
    }
    return run;
}

void SimulatedBackend::clock_thread(CycleRunner* runner) {
    io_thread_id_.store(std::this_thread::get_id());
    (void)pthread_set_qos_class_self_np(QOS_CLASS_USER_INTERACTIVE, 0);
    pthread_setname_np(pthread_self(), "velmora-hal-io");
    Timeline timeline;
    timeline.anchor_ns = monotonic_ns();
    std::unique_lock<std::mutex> lock(clock_mutex_);
    while (!stop_requested_) {
        UInt32 frames = 0;
        Float64 rate = 0.0;
        runner->io_format(&frames, &rate);
        timeline.follow_format(frames, rate);
        ++timeline.k;
        const UInt64 deadline = timeline.deadline_ns();
        const auto wake_at = std::chrono::steady_clock::time_point(std::chrono::nanoseconds(deadline));
        clock_wake_.wait_until(lock, wake_at, [this] { return stop_requested_; });
        if (stop_requested_) {
            break;
        }
        // Far behind (a stalled machine): skip ahead as hardware would, a discontinuity in sample time.
        const UInt64 now = monotonic_ns();
        const UInt64 period_ns = static_cast<UInt64>(frames * 1.0e9 / rate);
        if (now > deadline + 4 * period_ns) {
            const UInt64 behind = (now - deadline) / (period_ns > 0 ? period_ns : 1);
            timeline.k += behind;
            skipped_cycles_.fetch_add(behind, std::memory_order_relaxed);
        }
        const UInt64 cycle_deadline = timeline.deadline_ns();
        const Float64 sample_time = timeline.anchor_sample + static_cast<Float64>(timeline.k) * frames;
        lock.unlock();
        runner->run_cycle(host_time_of(cycle_deadline), sample_time);
        lock.lock();
    }
    lock.unlock();
    // A stop requested from inside a cycle could not close the file on this thread's behalf.
    if (writer_.is_open()) {
        writer_.close();
    }
}

void SimulatedBackend::capture(float* const* channels, UInt32 channel_count, UInt32 frames,
                               Float64 sample_rate) {
    switch (source_.kind) {
    case InputKind::silence:
        for (UInt32 c = 0; c < channel_count; ++c) {
            std::fill(channels[c], channels[c] + frames, 0.0f);
        }
        break;
    case InputKind::channel_ids:
        for (UInt32 c = 0; c < channel_count; ++c) {
            std::fill(channels[c], channels[c] + frames, static_cast<float>(c + 1) / 1024.0f);
        }
        break;
    case InputKind::tone: {
        const double amplitude = std::pow(10.0, source_.level_dbfs / 20.0);
        for (UInt32 c = 0; c < channel_count && c < tone_phases_.size(); ++c) {
            const double step = kTwoPi * (source_.frequency + 110.0 * c) / sample_rate;
            double phase = tone_phases_[c];
            for (UInt32 f = 0; f < frames; ++f) {
                channels[c][f] = static_cast<float>(amplitude * std::sin(phase));
                phase += step;
            }
            tone_phases_[c] = std::fmod(phase, kTwoPi);
        }
        break;
    }
    case InputKind::loopback:
        for (UInt32 c = 0; c < channel_count; ++c) {
            if (c < output_channels_) {
                std::copy(loopback_.begin() + static_cast<std::ptrdiff_t>(c) * max_frames_,
                          loopback_.begin() + static_cast<std::ptrdiff_t>(c) * max_frames_ + frames,
                          channels[c]);
            } else {
                std::fill(channels[c], channels[c] + frames, 0.0f);
            }
        }
        break;
    case InputKind::wav_file: {
        const VelmoraCompat::WavAudio* wav = wav_.get();
        if (wav == nullptr || wav->samples.empty()) {
            for (UInt32 c = 0; c < channel_count; ++c) {
                std::fill(channels[c], channels[c] + frames, 0.0f);
            }
            break;
        }
        const std::size_t file_frames = wav->samples.size() / wav->channels;
        for (UInt32 f = 0; f < frames; ++f) {
            const float* frame = wav->samples.data() + wav_frame_ * wav->channels;
            for (UInt32 c = 0; c < channel_count; ++c) {
                channels[c][f] = c < wav->channels ? frame[c] : 0.0f;
            }
            wav_frame_ = wav_frame_ + 1 < file_frames ? wav_frame_ + 1 : 0;
        }
        break;
    }
    }
}

void SimulatedBackend::render(const float* const* channels, UInt32 channel_count, UInt32 frames, Float64) {
    const UInt32 count = channel_count < output_channels_ ? channel_count : output_channels_;
    if (source_.kind == InputKind::loopback) {
        for (UInt32 c = 0; c < count; ++c) {
            std::copy(channels[c], channels[c] + frames,
                      loopback_.begin() + static_cast<std::ptrdiff_t>(c) * max_frames_);
        }
    }
    if (sink_.kind == OutputKind::meter) {
        for (UInt32 c = 0; c < count; ++c) {
            float peak = 0.0f;
            double squares = 0.0;
            for (UInt32 f = 0; f < frames; ++f) {
                const float v = channels[c][f];
                peak = std::fabs(v) > peak ? std::fabs(v) : peak;
                squares += static_cast<double>(v) * v;
            }
            atomic_max(peaks_[c], peak);
            atomic_add(squares_[c], squares);
        }
        metered_frames_.fetch_add(frames, std::memory_order_relaxed);
    } else if (sink_.kind == OutputKind::wav_file && writer_.is_open()) {
        for (UInt32 f = 0; f < frames; ++f) {
            for (UInt32 c = 0; c < output_channels_; ++c) {
                wav_interleave_[static_cast<std::size_t>(f) * output_channels_ + c] =
                    c < count ? channels[c][f] : 0.0f;
            }
        }
        writer_.write(wav_interleave_.data(), frames);
    }
}

void SimulatedBackend::set_input_source(const InputSource& source,
                                        std::shared_ptr<const VelmoraCompat::WavAudio> wav) {
    source_ = source;
    wav_ = std::move(wav);
    wav_frame_ = 0;
    std::fill(tone_phases_.begin(), tone_phases_.end(), 0.0);
}

std::vector<ChannelLevel> SimulatedBackend::take_levels() {
    std::vector<ChannelLevel> levels(output_channels_);
    const UInt64 frames = metered_frames_.exchange(0, std::memory_order_relaxed);
    for (UInt32 c = 0; c < output_channels_; ++c) {
        levels[c].peak = peaks_[c].exchange(0.0f, std::memory_order_relaxed);
        const double squares = squares_[c].exchange(0.0, std::memory_order_relaxed);
        levels[c].rms =
            frames > 0 ? static_cast<float>(std::sqrt(squares / static_cast<double>(frames))) : 0.0f;
    }
    return levels;
}

} // namespace VelmoraCompat::Hal
