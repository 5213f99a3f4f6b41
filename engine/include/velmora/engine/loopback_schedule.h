// The virtual loopback device's clock and fault-injection decisions, kept apart from the thread
// that sleeps on them so every decision can be checked in simulated time.
//
// The loopback imitates a device clock: cycle deadlines are scheduled from the start time
// (next += step, never by accumulated sleeps), step = block period / speed with
// speed = max(1 + drift_ppm / 1e6, 0.01), so a positive drift runs the clock fast. Late cycles are
// dropped rather than replayed in a burst. On top of the clock it injects jitter (a per-wait
// offset from a fixed-seed generator), skipped and duplicated cycles (by cycle index), stalls,
// input silence and a simulated device loss (by elapsed milliseconds since the start).
#pragma once

#include <velmora/engine/audio_device_settings.h>

#include <cstdint>

// Not thread-safe; owned by the loopback thread.
class LoopbackSchedule {
public:
    // The generator's seed spells "VLBK".
    static constexpr std::uint32_t jitter_seed = 0x564C424Bu;

    LoopbackSchedule(const AudioDeviceSettings& settings, std::uint64_t start_ns);

    double period_ns() const { return period_ns_; }
    double step_ns() const { return step_ns_; }
    // The next cycle's nominal deadline (host ns, fractional).
    double next_ns() const { return next_ns_; }
    // Number of cycles begun so far (1 for the first).
    std::uint64_t cycle_index() const { return cycle_index_; }

    // The jitter of the coming wait in ns; advances the generator only when jitter is configured.
    std::int64_t next_jitter_ns();
    // round(next) + jitter, never below 0.
    std::uint64_t deadline_ns(std::int64_t jitter_ns) const;
    // Begins a cycle: increments the index and tells whether it is processed (false = skipped).
    bool begin_cycle();
    // Milliseconds to stall before processing a cycle begun at `now_ns` (0 = none).
    std::uint32_t stall_ms(std::uint64_t now_ns) const;
    // Whether the current cycle is followed by duplicate captures, and how many.
    std::uint32_t duplicate_count() const;
    bool device_lost(std::uint64_t now_ns) const;
    bool input_silent(std::uint64_t now_ns) const;
    // Ends a cycle at `now_ns`: schedules the next deadline, skipping whole periods when late.
    void advance(std::uint64_t now_ns, bool processed);

    // Whole milliseconds since the start (0 before it).
    std::uint64_t elapsed_ms(std::uint64_t now_ns) const;

private:
    AudioDeviceSettings settings_;
    std::uint64_t start_ns_;
    double period_ns_;
    double step_ns_;
    double next_ns_;
    std::uint32_t generator_ = jitter_seed;
    std::uint32_t skip_remaining_ = 0;
    std::uint64_t cycle_index_ = 0;
};
