// The device clock: it runs on the host clock from the moment IO starts, and the host learns it
// through zero time stamps that advance in steps of 10923 frames.
//
// Pure arithmetic on host-clock ticks; any thread, lock-free, allocation-free.
#pragma once

#include <CoreAudio/AudioServerPlugIn.h>

#include <cstdint>

namespace VelmoraMac {

struct ZeroTimeStamp {
    Float64 sample_time = 0;
    UInt64 host_time = 0;
};

// The latest zero time stamp at `now` for a clock anchored at `anchor` (host ticks; 0 = not
// running) and running at `sample_rate`: sample time = whole periods of `period_frames` elapsed,
// host time = anchor + that many frames' duration (truncated). Sample time 0 at the anchor until
// the first period has passed; sample time 0 and host time 0 while not running.
ZeroTimeStamp compute_zero_time_stamp(UInt64 anchor, UInt64 now, UInt32 sample_rate, UInt32 period_frames);

// The host time (nanoseconds) an IO cycle's block belongs to: the cycle's current time when its
// host time is valid and not 0, else its input time likewise, else `now` (host ticks). Converted
// with the host clock's timebase.
UInt64 block_host_time_ns(const AudioServerPlugInIOCycleInfo* cycle, UInt64 now);

} // namespace VelmoraMac
