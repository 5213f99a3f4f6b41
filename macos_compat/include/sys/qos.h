// Stand-in for <sys/qos.h>: the quality-of-service classes. In C++ qos_class_t is an enum type,
// as on Apple, so an int needs a cast.
#pragma once

#ifdef __cplusplus
typedef enum : unsigned int {
#else
typedef unsigned int qos_class_t;
enum {
#endif
    QOS_CLASS_USER_INTERACTIVE = 0x21,
    QOS_CLASS_USER_INITIATED = 0x19,
    QOS_CLASS_DEFAULT = 0x15,
    QOS_CLASS_UTILITY = 0x11,
    QOS_CLASS_BACKGROUND = 0x09,
    QOS_CLASS_UNSPECIFIED = 0x00
#ifdef __cplusplus
} qos_class_t;
#else
};
#endif

#define QOS_MIN_RELATIVE_PRIORITY (-15)
