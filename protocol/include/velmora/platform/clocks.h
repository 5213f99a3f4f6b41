// The two clocks every component agrees on. Both report 0 when the clock cannot be read;
// callers treat 0 as "no time yet".
#pragma once

#include <cstdint>

namespace VelmoraPlatform {

// Monotonic milliseconds from an arbitrary origin, never going backwards: time-outs and periods.
// Any thread; lock-free, allocation-free, one system call.
std::uint64_t monotonic_milliseconds();

// The host's absolute tick counter in nanoseconds (mach_absolute_time scaled by its timebase,
// rounded toward zero): time stamps and latencies. Two machines' host clocks are not synchronised.
// Any thread; lock-free, allocation-free.
std::uint64_t host_time_nanoseconds();

} // namespace VelmoraPlatform
