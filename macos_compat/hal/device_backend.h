// The seam between a HAL device and whatever carries its audio. The device (HalDevice) owns the
// CoreAudio side: properties, IO procedures, buffer lists and time stamps. A backend owns the
// hardware side: what paces the IO cycles and where input comes from and output goes to. The
// simulated backend paces with a timer thread (or a manual clock) and makes up its signals; a
// backend for a real sound server would run the cycles from that server's process callback and
// copy its ports. Nothing above the HAL functions sees the difference.
#pragma once

#include <MacTypes.h>

namespace VelmoraCompat::Hal {

// Implemented by the device; called by the backend.
class CycleRunner {
public:
    // IO thread (or the caller of a manual step). The period currently configured.
    virtual void io_format(UInt32* frames, Float64* sample_rate) const = 0;
    // IO thread. Runs one cycle whose first frame is `sample_time`, which the clock reached at
    // `host_time` (mach ticks). Calls back capture() and render() exactly once each.
    virtual void run_cycle(UInt64 host_time, Float64 sample_time) = 0;

protected:
    ~CycleRunner() = default;
};

class DeviceBackend {
public:
    virtual ~DeviceBackend() = default;

    // Control thread; may block. Starts cycles: the first one period after the call.
    virtual bool start(CycleRunner& runner) = 0;
    // Control thread; may block until the IO thread has ended. Called on the IO thread itself
    // (an IO procedure stopping its device), it only asks the thread to end.
    virtual void stop() = 0;

    // Whether cycles run only through step(). Fixed for the backend's life.
    virtual bool manual_clock() const = 0;
    // Any thread but the IO thread; manual clock only. Runs `count` cycles now, one period apart
    // in host and sample time. Returns the number run (0 when not started).
    virtual UInt64 step(UInt64 count) = 0;

    // IO thread, inside run_cycle; lock-free, allocation-free. Planar float, `frames` each.
    virtual void capture(float* const* channels, UInt32 channel_count, UInt32 frames, Float64 sample_rate) = 0;
    virtual void render(const float* const* channels, UInt32 channel_count, UInt32 frames, Float64 sample_rate) = 0;
};

} // namespace VelmoraCompat::Hal
