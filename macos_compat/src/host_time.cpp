#include <CoreAudio/HostTime.h>
#include <mach/mach_time.h>

namespace {

struct Timebase {
    UInt64 numer = 1;
    UInt64 denom = 1;
};

const Timebase& timebase() {
    static const Timebase base = [] {
        mach_timebase_info_data_t info{1, 1};
        Timebase result;
        if (mach_timebase_info(&info) == KERN_SUCCESS && info.numer != 0 && info.denom != 0) {
            result.numer = info.numer;
            result.denom = info.denom;
        }
        return result;
    }();
    return base;
}

} // namespace

extern "C" UInt64 AudioGetCurrentHostTime(void) {
    return mach_absolute_time();
}

extern "C" Float64 AudioGetHostClockFrequency(void) {
    return 1.0e9 * static_cast<Float64>(timebase().denom) / static_cast<Float64>(timebase().numer);
}

extern "C" UInt32 AudioGetHostClockMinimumTimeDelta(void) {
    return 1;
}

extern "C" UInt64 AudioConvertHostTimeToNanos(UInt64 inHostTime) {
    const Timebase& base = timebase();
    if (base.numer == base.denom) {
        return inHostTime;
    }
    // 128 bits keep the product exact for any 64-bit tick count.
    return static_cast<UInt64>(static_cast<unsigned __int128>(inHostTime) * base.numer / base.denom);
}

extern "C" UInt64 AudioConvertNanosToHostTime(UInt64 inNanos) {
    const Timebase& base = timebase();
    if (base.numer == base.denom) {
        return inNanos;
    }
    return static_cast<UInt64>(static_cast<unsigned __int128>(inNanos) * base.denom / base.numer);
}
