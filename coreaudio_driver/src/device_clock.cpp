#include <velmora/driver/device_clock.h>

#include <CoreAudio/HostTime.h>

namespace VelmoraMac {

ZeroTimeStamp compute_zero_time_stamp(UInt64 anchor, UInt64 now, UInt32 sample_rate, UInt32 period_frames) {
    ZeroTimeStamp stamp;
    stamp.host_time = anchor;
    if (anchor == 0 || now <= anchor || sample_rate == 0 || period_frames == 0) {
        return stamp;
    }
    // 128-bit products: exact for any uptime and rate, no rounding drift between stamps.
    const unsigned __int128 elapsed_ns = AudioConvertHostTimeToNanos(now - anchor);
    const unsigned __int128 elapsed_frames = elapsed_ns * sample_rate / 1000000000u;
    const unsigned __int128 sample_time = elapsed_frames / period_frames * period_frames;
    const auto stamp_ns = static_cast<UInt64>(sample_time * 1000000000u / sample_rate);
    stamp.sample_time = static_cast<Float64>(sample_time);
    stamp.host_time = anchor + AudioConvertNanosToHostTime(stamp_ns);
    return stamp;
}

UInt64 block_host_time_ns(const AudioServerPlugInIOCycleInfo* cycle, UInt64 now) {
    UInt64 host_time = 0;
    if (cycle != nullptr) {
        if ((cycle->mCurrentTime.mFlags & kAudioTimeStampHostTimeValid) != 0) {
            host_time = cycle->mCurrentTime.mHostTime;
        } else if ((cycle->mInputTime.mFlags & kAudioTimeStampHostTimeValid) != 0) {
            host_time = cycle->mInputTime.mHostTime;
        }
    }
    if (host_time == 0) {
        host_time = now;
    }
    return AudioConvertHostTimeToNanos(host_time);
}

} // namespace VelmoraMac
