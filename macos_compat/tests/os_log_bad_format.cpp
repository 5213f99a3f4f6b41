// Compiled (not run) by the build's tests: each BAD_CASE_ must fail to compile, and without one
// the file must compile cleanly.
#include <os/log.h>

#include <cstddef>

void log_something(const char* name, unsigned port, long long big, double ratio, std::size_t count) {
    os_log_info(OS_LOG_DEFAULT, "VelmoraCoreAudio started on %{public}s:%u", name, port);
    os_log_error(OS_LOG_DEFAULT, "big=%lld ratio=%.3f count=%zu ptr=%p %%", big, ratio, count, static_cast<const void*>(name));
    os_log(OS_LOG_DEFAULT, "no arguments");
#if defined(BAD_CASE_count_too_few)
    os_log(OS_LOG_DEFAULT, "%{public}s %u", name);
#elif defined(BAD_CASE_count_too_many)
    os_log(OS_LOG_DEFAULT, "%u", port, port);
#elif defined(BAD_CASE_string_for_int)
    os_log(OS_LOG_DEFAULT, "%u", name);
#elif defined(BAD_CASE_int_for_string)
    os_log(OS_LOG_DEFAULT, "%{public}s", port);
#elif defined(BAD_CASE_long_for_int)
    os_log(OS_LOG_DEFAULT, "%d", big);
#elif defined(BAD_CASE_object_format)
    os_log(OS_LOG_DEFAULT, "%@", name);
#endif
}
