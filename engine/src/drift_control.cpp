#include <velmora/engine/drift_control.h>

#include <algorithm>

double steered_playback_ratio(double pll_ratio, std::uint64_t buffered_frames, std::uint64_t target_frames) {
    if (target_frames == 0) {
        return 1.0;
    }
    const double target = static_cast<double>(target_frames);
    const double error = static_cast<double>(buffered_frames) - target;
    return std::clamp(pll_ratio + playback_steering_gain * error / target, playback_ratio_minimum,
                      playback_ratio_maximum);
}

void ClockRatioEstimator::add_point(std::uint64_t remote_position, std::uint64_t local_position) {
    if (has_previous_ && remote_position > previous_remote_ && local_position > previous_local_) {
        const double measured = static_cast<double>(remote_position - previous_remote_) /
                                static_cast<double>(local_position - previous_local_);
        if (measured > 0.95 && measured < 1.05) {
            ratio_ = 0.98 * ratio_ + 0.02 * measured;
        }
    }
    previous_remote_ = remote_position;
    previous_local_ = local_position;
    has_previous_ = true;
}

void ClockRatioEstimator::reset() {
    ratio_ = 1.0;
    has_previous_ = false;
    previous_remote_ = 0;
    previous_local_ = 0;
}
