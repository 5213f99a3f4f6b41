#include <CoreAudio/HostTime.h>
#include <mach/mach_time.h>
#include <pthread/qos.h>

#include <gtest/gtest.h>

#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <thread>

namespace {

int own_nice() {
    errno = 0;
    return ::getpriority(PRIO_PROCESS, static_cast<id_t>(::syscall(SYS_gettid)));
}

TEST(Qos, ClassesMapToTheThreadsOwnNiceValueAndBadArgumentsAreRefused) {
    const int process_nice = own_nice();
    std::thread([] {
        EXPECT_EQ(pthread_set_qos_class_self_np(QOS_CLASS_DEFAULT, 1), EINVAL);
        EXPECT_EQ(pthread_set_qos_class_self_np(QOS_CLASS_DEFAULT, -16), EINVAL);
        EXPECT_EQ(pthread_set_qos_class_self_np(static_cast<qos_class_t>(0x22), 0), EINVAL);
        // Lowering priority is always permitted.
        EXPECT_EQ(pthread_set_qos_class_self_np(QOS_CLASS_BACKGROUND, 0), 0);
        EXPECT_EQ(own_nice(), 10);
        // Raising succeeds for the caller whether or not the system lets it go all the way.
        EXPECT_EQ(pthread_set_qos_class_self_np(QOS_CLASS_USER_INTERACTIVE, 0), 0);
    }).join();
    EXPECT_EQ(own_nice(), process_nice) << "other threads are untouched";
}

TEST(HostTime, FollowsTheMachClockAndConvertsBothWays) {
    const UInt64 before = mach_absolute_time();
    const UInt64 host = AudioGetCurrentHostTime();
    EXPECT_LE(before, host);
    EXPECT_LE(host, mach_absolute_time());
    mach_timebase_info_data_t base{};
    ASSERT_EQ(mach_timebase_info(&base), KERN_SUCCESS);
    EXPECT_DOUBLE_EQ(AudioGetHostClockFrequency(), 1.0e9 * base.denom / base.numer);
    const UInt64 nanos = 1234567890123ull;
    const UInt64 ticks = AudioConvertNanosToHostTime(nanos);
    EXPECT_EQ(ticks, static_cast<UInt64>(static_cast<unsigned __int128>(nanos) * base.denom / base.numer));
    // Truncation on the way there loses less than one tick on the way back.
    const UInt64 back = AudioConvertHostTimeToNanos(ticks);
    EXPECT_LE(back, nanos);
    EXPECT_LT(nanos - back, static_cast<UInt64>(base.numer / base.denom + 1));
    EXPECT_GT(AudioConvertHostTimeToNanos(0xFFFFFFFFFFFFull), 0u); // no overflow
}

} // namespace
