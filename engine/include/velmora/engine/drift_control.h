// Clock-drift control of the playback queue, as pure functions and one small estimator, so the
// loop can be exercised offline with synthetic clocks.
//
// Two parts work together:
// - `ClockRatioEstimator` follows the ratio of the server's sample clock to the local device clock
//   from pairs (remote sample position, local frame count) and smooths it with a first-order
//   low-pass filter (the "PLL").
// - `steered_playback_ratio` adds a proportional correction for the queue depth's deviation from
//   its target and clamps the result; it is the speed at which the player reads its queue
//   (above 1 the queue drains faster than real time).
#pragma once

#include <cstdint>

// Relative speed correction per unit of relative depth error.
inline constexpr double playback_steering_gain = 0.00035;
// The read speed never leaves 1 +- 0.45 %.
inline constexpr double playback_ratio_minimum = 0.9955;
inline constexpr double playback_ratio_maximum = 1.0045;

// pll_ratio + gain x (buffered - target) / target, clamped; 1.0 when the target is 0.
// Any thread; pure.
double steered_playback_ratio(double pll_ratio, std::uint64_t buffered_frames, std::uint64_t target_frames);

// Not thread-safe; its owner calls it from one thread (the audio cycle).
class ClockRatioEstimator {
public:
    // Feeds one observation. The first only sets the reference point; a later one moves the
    // estimate (0.98 old + 0.02 measured) when both positions advanced and the measured ratio lies
    // inside (0.95, 1.05) (outside it is a lost or bunched sync, not drift), and always becomes
    // the new reference point.
    void add_point(std::uint64_t remote_position, std::uint64_t local_position);
    void reset();
    double ratio() const { return ratio_; }

private:
    double ratio_ = 1.0;
    bool has_previous_ = false;
    std::uint64_t previous_remote_ = 0;
    std::uint64_t previous_local_ = 0;
};
