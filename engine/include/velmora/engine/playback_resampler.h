// The one place where the playback queue is read at a speed other than 1: every read of the
// player's ring goes through `resample_playback_channel`, so a better interpolator replaces
// this function alone.
#pragma once

#include <cstddef>
#include <cstdint>

// Reads `frames` output samples from one channel ring of `capacity` floats (position = index mod
// capacity). Output i is taken at fractional position phase + i x ratio past `read`, by linear
// interpolation between the two neighbouring frames; positions at or beyond the last of the
// `buffered` readable frames use that last frame, so nothing outside [read, read + buffered) is
// touched. Needs capacity >= 1 and buffered >= 1.
// IO thread; lock-free, allocation-free.
void resample_playback_channel(const float* ring, std::size_t capacity, std::uint64_t read, std::size_t buffered,
                               double phase, double ratio, float* out, std::size_t frames);
