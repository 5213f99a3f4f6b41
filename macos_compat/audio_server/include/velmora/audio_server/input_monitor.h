// Watches the device input on the IO thread for the status line: the peak of every channel since
// the last look, and where the click that velmora_server plays comes back.
//
// The IO thread calls `observe` (lock-free, allocation-free: relaxed atomics and compare-and-swap
// maxima); the status thread calls `take_peaks` and `take_click_results`.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <vector>

namespace VelmoraAudioServer {

inline constexpr std::uint32_t kMonitorChannels = 32;
// An input sample at least this loud counts as the click coming back.
inline constexpr float kClickDetectLevel = 0.4f;

struct ClickResult {
    std::uint32_t channel = 0;          // 0-based device input channel
    std::int64_t round_trip_frames = 0; // input position of the click minus its output position
};

class InputMonitor {
public:
    // Control thread, while IO is stopped: clicks are played at every whole second of
    // `sample_rate` frames of output; detection starts over.
    void reset(std::uint32_t sample_rate, bool detect_clicks);

    // IO thread: one cycle's input, frames x channels interleaved (channels <= 32), whose first
    // frame is device input position `input_frame` (frames since IO started).
    void observe(const float* input, std::uint32_t frames, std::uint32_t channels, std::uint64_t input_frame);

    // Status thread: the peak (absolute) of each channel since the last call, then zeroed.
    std::array<float, kMonitorChannels> take_peaks();
    // Status thread: clicks detected since the last call, in the order found per channel.
    std::vector<ClickResult> take_click_results();

private:
    std::array<std::atomic<std::uint32_t>, kMonitorChannels> peak_bits_{};
    // Per channel: the second whose click was last seen (+1; 0 = none yet), and its round trip.
    std::array<std::atomic<std::uint64_t>, kMonitorChannels> detected_second_{};
    std::array<std::atomic<std::int64_t>, kMonitorChannels> round_trip_{};
    std::array<std::uint64_t, kMonitorChannels> reported_second_{};
    std::uint32_t sample_rate_ = 48000;
    bool detect_clicks_ = false;
};

// Lateness of each IO cycle's wake-up against its deadline, for the timing report: kept in a
// buffer sized before IO starts (`record` drops samples once it is full, never allocates).
class CycleTiming {
public:
    // Control thread.
    void reserve(std::size_t cycles);
    // IO thread.
    void record(std::int64_t lateness_ns);

    struct Summary {
        std::size_t cycles = 0;
        double p50_us = 0;
        double p99_us = 0;
        double max_us = 0;
    };
    // Control thread, after IO stopped.
    Summary summarize() const;

private:
    std::vector<std::int64_t> samples_;
    std::atomic<std::size_t> count_{0};
};

} // namespace VelmoraAudioServer
