#include <velmora/audio_server/input_monitor.h>

#include <algorithm>
#include <bit>
#include <cmath>

namespace VelmoraAudioServer {

void InputMonitor::reset(std::uint32_t sample_rate, bool detect_clicks) {
    sample_rate_ = sample_rate == 0 ? 48000 : sample_rate;
    detect_clicks_ = detect_clicks;
    for (std::uint32_t channel = 0; channel < kMonitorChannels; ++channel) {
        peak_bits_[channel].store(0, std::memory_order_relaxed);
        detected_second_[channel].store(0, std::memory_order_relaxed);
        round_trip_[channel].store(0, std::memory_order_relaxed);
        reported_second_[channel] = 0;
    }
}

void InputMonitor::observe(const float* input, std::uint32_t frames, std::uint32_t channels, std::uint64_t input_frame) {
    channels = std::min(channels, kMonitorChannels);
    for (std::uint32_t channel = 0; channel < channels; ++channel) {
        float peak = 0.0f;
        std::uint64_t second_seen = detected_second_[channel].load(std::memory_order_relaxed);
        for (std::uint32_t frame = 0; frame < frames; ++frame) {
            const float level = std::fabs(input[static_cast<std::size_t>(frame) * channels + channel]);
            peak = std::max(peak, level);
            if (detect_clicks_ && level >= kClickDetectLevel) {
                // The click of the second this input position falls in; each is taken once.
                const std::uint64_t position = input_frame + frame;
                const std::uint64_t second = position / sample_rate_ + 1;
                if (second != second_seen) {
                    second_seen = second;
                    round_trip_[channel].store(static_cast<std::int64_t>(position % sample_rate_),
                                               std::memory_order_relaxed);
                    // Release: the round trip is visible before the second that announces it.
                    detected_second_[channel].store(second, std::memory_order_release);
                }
            }
        }
        // Positive floats order like their bit patterns: the maximum is a compare-and-swap on bits.
        const std::uint32_t bits = std::bit_cast<std::uint32_t>(peak);
        std::uint32_t current = peak_bits_[channel].load(std::memory_order_relaxed);
        while (bits > current && !peak_bits_[channel].compare_exchange_weak(current, bits, std::memory_order_relaxed)) {
        }
    }
}

std::array<float, kMonitorChannels> InputMonitor::take_peaks() {
    std::array<float, kMonitorChannels> peaks{};
    for (std::uint32_t channel = 0; channel < kMonitorChannels; ++channel) {
        peaks[channel] = std::bit_cast<float>(peak_bits_[channel].exchange(0, std::memory_order_relaxed));
    }
    return peaks;
}

std::vector<ClickResult> InputMonitor::take_click_results() {
    std::vector<ClickResult> results;
    for (std::uint32_t channel = 0; channel < kMonitorChannels; ++channel) {
        const std::uint64_t second = detected_second_[channel].load(std::memory_order_acquire);
        if (second != 0 && second != reported_second_[channel]) {
            reported_second_[channel] = second;
            results.push_back({channel, round_trip_[channel].load(std::memory_order_relaxed)});
        }
    }
    return results;
}

void CycleTiming::reserve(std::size_t cycles) {
    samples_.assign(cycles, 0);
    count_.store(0, std::memory_order_relaxed);
}

void CycleTiming::record(std::int64_t lateness_ns) {
    const std::size_t index = count_.load(std::memory_order_relaxed);
    if (index < samples_.size()) {
        samples_[index] = lateness_ns;
        count_.store(index + 1, std::memory_order_release);
    }
}

CycleTiming::Summary CycleTiming::summarize() const {
    Summary summary;
    const std::size_t count = count_.load(std::memory_order_acquire);
    if (count == 0) {
        return summary;
    }
    std::vector<std::int64_t> sorted(samples_.begin(), samples_.begin() + static_cast<std::ptrdiff_t>(count));
    std::sort(sorted.begin(), sorted.end());
    auto at = [&](double fraction) {
        const auto index = static_cast<std::size_t>(std::ceil(fraction * static_cast<double>(count))) - 1;
        return static_cast<double>(sorted[std::min(index, count - 1)]) / 1000.0;
    };
    summary.cycles = count;
    summary.p50_us = at(0.50);
    summary.p99_us = at(0.99);
    summary.max_us = static_cast<double>(sorted.back()) / 1000.0;
    return summary;
}

} // namespace VelmoraAudioServer
