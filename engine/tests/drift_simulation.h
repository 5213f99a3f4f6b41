// An offline, deterministic run of the audio player (48000 Hz, 128 frames, stereo, 1 ms network
// delay) against a synthetic server stream whose sample clock runs `drift_ppm` fast (positive) or
// slow (negative) against the device clock. Everything happens in simulated time on the calling
// thread: device cycles and the arrival of each server block (with its sync) are events on one
// timeline.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

struct DriftCase {
    double drift_ppm = 0.0;
    std::size_t latency_blocks = 6; // prebuffer = target = latency, capacity = max(latency + 4, 6)
    double seconds = 120.0;
    double network_jitter_ms = 0.0; // uniform extra delay, arrival order kept
    double sine_hz = 0.0;           // 0: a constant 0.25 on every frame
    // Called after every device cycle with the time (s), the queue depth minus its target
    // (frames) and the frames written to channel 0.
    std::function<void(double time_s, double depth_error, const float* channel0, std::size_t frames)>
        on_cycle;
};

struct DriftSecond {
    double time_s = 0.0;
    double pll_ratio = 0.0;
    std::uint64_t underruns = 0; // totals at the end of the second
    std::uint64_t overruns = 0;
};

struct DriftResult {
    double true_ratio = 1.0; // server rate / device rate
    std::uint64_t target_frames = 0;
    std::uint64_t capacity_frames = 0;
    std::vector<DriftSecond> seconds;
    std::uint64_t underruns = 0;
    std::uint64_t overruns = 0;
    std::uint64_t underruns_after_10s = 0;
    std::uint64_t overruns_after_10s = 0;
};

DriftResult run_drift_simulation(const DriftCase& drift_case);
