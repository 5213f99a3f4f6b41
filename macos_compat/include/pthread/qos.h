// Stand-in for <pthread/qos.h>.
//
// Linux has no QoS classes. pthread_set_qos_class_self_np maps them onto the calling thread's
// nice value (user-interactive -10, user-initiated -5, default 0, utility 5, background 10, the
// relative priority adding up to 5 more), never a real-time class, which could starve a small
// machine. When the process may not lower its nice value that far it goes as far as permitted and
// still succeeds: like Apple's, the call only fails for arguments that are invalid (an unknown
// class, a relative priority outside QOS_MIN_RELATIVE_PRIORITY..0), with EINVAL.
#pragma once

#include <pthread.h>
#include <sys/qos.h>

#ifdef __cplusplus
extern "C" {
#endif

int pthread_set_qos_class_self_np(qos_class_t __qos_class, int __relative_priority);

#ifdef __cplusplus
}
#endif
