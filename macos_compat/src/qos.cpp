#include <pthread/qos.h>

#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>

namespace {

bool nice_for_class(qos_class_t qos_class, int* nice_value) {
    switch (qos_class) {
    case QOS_CLASS_USER_INTERACTIVE: *nice_value = -10; return true;
    case QOS_CLASS_USER_INITIATED: *nice_value = -5; return true;
    case QOS_CLASS_DEFAULT: *nice_value = 0; return true;
    case QOS_CLASS_UTILITY: *nice_value = 5; return true;
    case QOS_CLASS_BACKGROUND: *nice_value = 10; return true;
    case QOS_CLASS_UNSPECIFIED: *nice_value = 0; return true;
    }
    return false;
}

} // namespace

extern "C" int pthread_set_qos_class_self_np(qos_class_t qos_class, int relative_priority) {
    int target = 0;
    if (!nice_for_class(qos_class, &target) || relative_priority > 0 || relative_priority < QOS_MIN_RELATIVE_PRIORITY) {
        return EINVAL;
    }
    // -15..0 spreads over up to 5 nice steps below the class.
    target += (-relative_priority + 2) / 3;
    // On Linux the nice value of a thread id applies to that thread alone.
    const id_t thread = static_cast<id_t>(::syscall(SYS_gettid));
    if (::setpriority(PRIO_PROCESS, thread, target) == 0) {
        return 0;
    }
    // Not permitted this far: go as far as RLIMIT_NICE allows (its value is 20 - lowest nice).
    rlimit limit{};
    if (::getrlimit(RLIMIT_NICE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY) {
        const int lowest = 20 - static_cast<int>(limit.rlim_cur);
        errno = 0;
        const int current = ::getpriority(PRIO_PROCESS, thread);
        if (errno == 0 && lowest > target && lowest < current) {
            (void)::setpriority(PRIO_PROCESS, thread, lowest);
        }
    }
    return 0;
}
