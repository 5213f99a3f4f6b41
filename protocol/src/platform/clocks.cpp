#include <velmora/platform/clocks.h>

#include <mach/mach_time.h>

#include <ctime>

namespace VelmoraPlatform {

std::uint64_t monotonic_milliseconds() {
    timespec now{};
    if (clock_gettime(CLOCK_MONOTONIC, &now) != 0) {
        return 0;
    }
    return static_cast<std::uint64_t>(now.tv_sec) * 1000u + static_cast<std::uint64_t>(now.tv_nsec) / 1000000u;
}

std::uint64_t host_time_nanoseconds() {
    // The timebase never changes while the process runs; read it once.
    static const mach_timebase_info_data_t timebase = [] {
        mach_timebase_info_data_t info{0, 0};
        if (mach_timebase_info(&info) != KERN_SUCCESS) {
            info = {0, 0};
        }
        return info;
    }();
    if (timebase.denom == 0) {
        return 0;
    }
    const std::uint64_t ticks = mach_absolute_time();
    if (timebase.numer == timebase.denom) {
        return ticks;
    }
    // Long double keeps the 64-bit tick count exact before scaling; the cast rounds toward zero.
    const long double scaled = static_cast<long double>(ticks) * timebase.numer / timebase.denom;
    return static_cast<std::uint64_t>(scaled);
}

} // namespace VelmoraPlatform
