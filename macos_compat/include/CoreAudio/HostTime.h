// Stand-in for <CoreAudio/HostTime.h>. Host time is mach_absolute_time() ticks; the conversions
// follow mach_timebase_info, so they stay right when VELMORA_MACH_TIMEBASE sets a tick that is not
// a nanosecond. Any thread; lock-free, allocation-free.
#pragma once

#include <MacTypes.h>

#ifdef __cplusplus
extern "C" {
#endif

UInt64 AudioGetCurrentHostTime(void);
// Ticks per second.
Float64 AudioGetHostClockFrequency(void);
UInt32 AudioGetHostClockMinimumTimeDelta(void);
UInt64 AudioConvertHostTimeToNanos(UInt64 inHostTime);
UInt64 AudioConvertNanosToHostTime(UInt64 inNanos);

#ifdef __cplusplus
}
#endif
