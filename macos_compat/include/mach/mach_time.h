// Stand-in for <mach/mach_time.h> on systems without the Apple SDK.
//
// Ticks come from CLOCK_MONOTONIC. The timebase is 1/1 (ticks are nanoseconds) unless the
// environment variable VELMORA_MACH_TIMEBASE holds "numer/denom" (for example "125/3", the
// 24 MHz tick of Apple silicon): then ticks run at that rate, which exposes code that mixes up
// ticks and nanoseconds. The variable is read once, on first use.
#pragma once

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef int kern_return_t;
#ifndef KERN_SUCCESS
#define KERN_SUCCESS 0
#endif
#ifndef KERN_FAILURE
#define KERN_FAILURE 5
#endif

struct mach_timebase_info {
    uint32_t numer;
    uint32_t denom;
};
typedef struct mach_timebase_info* mach_timebase_info_t;
typedef struct mach_timebase_info mach_timebase_info_data_t;

uint64_t mach_absolute_time(void);
kern_return_t mach_timebase_info(mach_timebase_info_t info);

#ifdef __cplusplus
}
#endif
