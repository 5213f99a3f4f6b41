#include <mach/mach_time.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>

namespace {

struct Timebase {
    uint32_t numer = 1;
    uint32_t denom = 1;
};

Timebase read_timebase() {
    Timebase base;
    const char* text = std::getenv("VELMORA_MACH_TIMEBASE");
    if (text == nullptr || *text == '\0') {
        return base;
    }
    unsigned numer = 0;
    unsigned denom = 0;
    char extra = 0;
    if (std::sscanf(text, "%u/%u%c", &numer, &denom, &extra) == 2 && numer != 0 && denom != 0) {
        base.numer = numer;
        base.denom = denom;
    }
    return base;
}

const Timebase& timebase() {
    static const Timebase base = read_timebase();
    return base;
}

} // namespace

extern "C" uint64_t mach_absolute_time(void) {
    timespec now{};
    if (clock_gettime(CLOCK_MONOTONIC, &now) != 0) {
        return 0;
    }
    const unsigned __int128 nanos =
        static_cast<unsigned __int128>(now.tv_sec) * 1000000000u + static_cast<unsigned>(now.tv_nsec);
    const Timebase& base = timebase();
    if (base.numer == base.denom) {
        return static_cast<uint64_t>(nanos);
    }
    // ticks = nanoseconds x denom / numer, so that ticks x numer / denom gives nanoseconds back.
    return static_cast<uint64_t>(nanos * base.denom / base.numer);
}

extern "C" kern_return_t mach_timebase_info(mach_timebase_info_t info) {
    if (info == nullptr) {
        return KERN_FAILURE;
    }
    info->numer = timebase().numer;
    info->denom = timebase().denom;
    return KERN_SUCCESS;
}
