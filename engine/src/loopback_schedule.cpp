#include <velmora/engine/loopback_schedule.h>

#include <algorithm>
#include <cmath>

namespace {

// x + 0.5 truncated toward zero, for the non-negative times used here.
std::uint64_t round_ns(double x) {
    return x <= 0.0 ? 0 : static_cast<std::uint64_t>(x + 0.5);
}

} // namespace

LoopbackSchedule::LoopbackSchedule(const AudioDeviceSettings& settings, std::uint64_t start_ns)
    : settings_(settings), start_ns_(start_ns) {
    double period = 0.0;
    if (settings.sample_rate > 0) {
        period = static_cast<double>(settings.block_frames) * 1e9 / static_cast<double>(settings.sample_rate);
    }
    period_ns_ = period > 0.0 ? period : 1.0;
    const double speed = std::max(1.0 + static_cast<double>(settings.loopback_drift_ppm) / 1e6, 0.01);
    step_ns_ = period_ns_ / speed;
    next_ns_ = static_cast<double>(start_ns) + step_ns_;
}

std::int64_t LoopbackSchedule::next_jitter_ns() {
    const std::uint32_t amplitude = settings_.loopback_callback_jitter_max_ms;
    if (amplitude == 0) {
        return 0;
    }
    generator_ = generator_ * 1664525u + 1013904223u;
    const std::uint64_t span = 2 * static_cast<std::uint64_t>(amplitude) + 1;
    const std::int64_t offset_ms = static_cast<std::int64_t>(generator_ % span) - static_cast<std::int64_t>(amplitude);
    return offset_ms * 1000000;
}

std::uint64_t LoopbackSchedule::deadline_ns(std::int64_t jitter_ns) const {
    const std::uint64_t nominal = round_ns(next_ns_);
    if (jitter_ns < 0 && static_cast<std::uint64_t>(-jitter_ns) > nominal) {
        return 0;
    }
    return nominal + static_cast<std::uint64_t>(jitter_ns);
}

bool LoopbackSchedule::begin_cycle() {
    ++cycle_index_;
    const std::uint32_t every = settings_.loopback_callback_skip_every;
    const std::uint32_t count = settings_.loopback_callback_skip_count;
    if (every != 0 && count != 0 && cycle_index_ % every == 0) {
        skip_remaining_ = count - 1;
        return false;
    }
    if (skip_remaining_ != 0) {
        --skip_remaining_;
        return false;
    }
    return true;
}

std::uint64_t LoopbackSchedule::elapsed_ms(std::uint64_t now_ns) const {
    return now_ns > start_ns_ ? (now_ns - start_ns_) / 1000000 : 0;
}

std::uint32_t LoopbackSchedule::stall_ms(std::uint64_t now_ns) const {
    const std::uint32_t every = settings_.loopback_callback_stall_every_ms;
    const std::uint32_t duration = settings_.loopback_callback_stall_duration_ms;
    if (every == 0 || duration == 0) {
        return 0;
    }
    return elapsed_ms(now_ns) % every < duration ? duration : 0;
}

std::uint32_t LoopbackSchedule::duplicate_count() const {
    const std::uint32_t every = settings_.loopback_callback_duplicate_every;
    const std::uint32_t count = settings_.loopback_callback_duplicate_count;
    if (every == 0 || count == 0 || cycle_index_ % every != 0) {
        return 0;
    }
    return count;
}

bool LoopbackSchedule::device_lost(std::uint64_t now_ns) const {
    if (settings_.loopback_device_lost_duration_ms == 0) {
        return false;
    }
    // In 64 bits: after + duration of two u32 settings can exceed 2^32 ms.
    const std::uint64_t begin = settings_.loopback_device_lost_after_ms;
    const std::uint64_t end = begin + settings_.loopback_device_lost_duration_ms;
    const std::uint64_t elapsed = elapsed_ms(now_ns);
    return begin <= elapsed && elapsed < end;
}

bool LoopbackSchedule::input_silent(std::uint64_t now_ns) const {
    const std::uint32_t every = settings_.loopback_input_silence_every_ms;
    const std::uint32_t duration = settings_.loopback_input_silence_duration_ms;
    if (every == 0 || duration == 0) {
        return false;
    }
    return elapsed_ms(now_ns) % every < duration;
}

void LoopbackSchedule::advance(std::uint64_t now_ns, bool processed) {
    next_ns_ += step_ns_;
    const double now = static_cast<double>(now_ns);
    if (now_ns > round_ns(next_ns_) && now - next_ns_ >= step_ns_) {
        const double behind = std::floor((now - next_ns_) / step_ns_) + 1.0;
        next_ns_ += std::max(behind, 1.0) * step_ns_;
        while (now_ns > round_ns(next_ns_)) {
            next_ns_ += step_ns_;
        }
    }
    if (processed) {
        skip_remaining_ = 0;
    }
}
