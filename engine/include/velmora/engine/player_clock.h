// The time sources of the audio player and its loopback thread. The player reads time only
// through this interface, so tests and offline simulations can run it in simulated time.
#pragma once

#include <cstdint>

class PlayerClock {
public:
    virtual ~PlayerClock() = default;

    // Host time in nanoseconds (0 = unreadable). Any thread, including the IO thread; lock-free,
    // allocation-free.
    virtual std::uint64_t host_time_ns() const = 0;
    // Monotonic milliseconds for periods. Any thread; lock-free.
    virtual std::uint64_t monotonic_ms() const = 0;
    // Loopback thread only: blocks for `milliseconds`, or for `microseconds`.
    virtual void sleep_ms(std::uint32_t milliseconds) const = 0;
    virtual void sleep_us(std::uint32_t microseconds) const = 0;

    // The machine's clocks (`VelmoraPlatform::host_time_nanoseconds`, `monotonic_milliseconds`).
    static const PlayerClock& system();
};
