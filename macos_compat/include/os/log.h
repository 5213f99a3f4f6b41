// Stand-in for <os/log.h>: the unified log, written to standard error.
//
// The macros take a string literal format in printf style with os_log's privacy qualifiers
// ("%{public}s", "%{private}d"). As on Apple, a dynamic string (%s) without {public} and any
// value marked {private} appear as "<private>"; scalars are public by default. In C++ the format
// is checked against the arguments at compile time (count, size and kind of every conversion),
// as Apple's compiler checks os_log formats, so a mismatch fails the build on both systems.
//
// A line reads "<Type>: <message>" (Default, Info, Debug, Error, Fault), with " [subsystem:category]"
// after the type for a log made by os_log_create. Debug messages are disabled unless the
// environment variable VELMORA_OS_LOG_LEVEL (debug, info, default, error, fault, off; read once)
// says otherwise. Tests capture messages with <velmora_compat/os_log_capture.h>.
// Any thread; blocks briefly on a mutex and allocates, so never from a real-time thread.
#pragma once

#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
#include <type_traits>
extern "C" {
#endif

typedef struct os_log_s* os_log_t;
extern struct os_log_s _os_log_default;
#define OS_LOG_DEFAULT ((os_log_t)&_os_log_default)
#define OS_LOG_DISABLED ((os_log_t)NULL)

#ifdef __cplusplus
typedef enum : uint8_t {
#else
typedef uint8_t os_log_type_t;
enum {
#endif
    OS_LOG_TYPE_DEFAULT = 0x00,
    OS_LOG_TYPE_INFO = 0x01,
    OS_LOG_TYPE_DEBUG = 0x02,
    OS_LOG_TYPE_ERROR = 0x10,
    OS_LOG_TYPE_FAULT = 0x11
#ifdef __cplusplus
} os_log_type_t;
#else
};
#endif

// Never returns NULL; equal (subsystem, category) pairs give the same log, which lives forever.
os_log_t os_log_create(const char* subsystem, const char* category);
bool os_log_type_enabled(os_log_t oslog, os_log_type_t type);

// Formats and writes one message; use the macros, which check the format first.
void _velmora_os_log_emit(os_log_t oslog, os_log_type_t type, const char* format, ...);

#ifdef __cplusplus
}

namespace velmora_os_log_detail {

enum class ArgumentKind { int32, int64, floating, c_string, pointer, unsupported };

template <typename T>
consteval ArgumentKind argument_kind() {
    using U = std::remove_cv_t<std::decay_t<T>>;
    if constexpr (std::is_same_v<U, char*> || std::is_same_v<U, const char*>) {
        return ArgumentKind::c_string;
    } else if constexpr (std::is_pointer_v<U>) {
        return ArgumentKind::pointer;
    } else if constexpr (std::is_floating_point_v<U> && !std::is_same_v<U, long double>) {
        return ArgumentKind::floating;
    } else if constexpr (std::is_integral_v<U> || (std::is_enum_v<U> && std::is_convertible_v<U, long long>)) {
        return sizeof(U) <= 4 ? ArgumentKind::int32 : ArgumentKind::int64;
    } else {
        return ArgumentKind::unsupported;
    }
}

// Not constexpr on purpose: reaching it during constant evaluation is the compile error.
void os_log_format_does_not_match_its_arguments();

consteval bool is_flag(char c) {
    return c == '-' || c == '+' || c == ' ' || c == '#' || c == '0' || c == '\'';
}

consteval bool format_matches(const char* format, const ArgumentKind* kinds, std::size_t count) {
    std::size_t next = 0;
    auto take = [&](ArgumentKind wanted) {
        if (next >= count || kinds[next] != wanted) {
            return false;
        }
        ++next;
        return true;
    };
    for (const char* p = format; *p != '\0'; ++p) {
        if (*p != '%') {
            continue;
        }
        ++p;
        if (*p == '%') {
            continue;
        }
        if (*p == '{') {
            while (*p != '\0' && *p != '}') {
                ++p;
            }
            if (*p != '}') {
                return false;
            }
            ++p;
        }
        while (is_flag(*p)) {
            ++p;
        }
        if (*p == '*') {
            if (!take(ArgumentKind::int32)) {
                return false;
            }
            ++p;
        }
        while (*p >= '0' && *p <= '9') {
            ++p;
        }
        if (*p == '.') {
            ++p;
            if (*p == '*') {
                if (!take(ArgumentKind::int32)) {
                    return false;
                }
                ++p;
            }
            while (*p >= '0' && *p <= '9') {
                ++p;
            }
        }
        bool wide = false;
        bool narrow = false;
        if (*p == 'h') {
            narrow = true;
            ++p;
            if (*p == 'h') {
                ++p;
            }
        } else if (*p == 'l') {
            wide = true;
            ++p;
            if (*p == 'l') {
                ++p;
            }
        } else if (*p == 'z' || *p == 'j' || *p == 't' || *p == 'q') {
            wide = true;
            ++p;
        }
        switch (*p) {
        case 'd': case 'i': case 'u': case 'o': case 'x': case 'X':
            if (!take(wide ? ArgumentKind::int64 : ArgumentKind::int32)) {
                return false;
            }
            break;
        case 'c':
            if (wide || !take(ArgumentKind::int32)) {
                return false;
            }
            break;
        case 'e': case 'E': case 'f': case 'F': case 'g': case 'G': case 'a': case 'A':
            if (narrow || !take(ArgumentKind::floating)) {
                return false;
            }
            break;
        case 's':
            if (wide || narrow || !take(ArgumentKind::c_string)) {
                return false;
            }
            break;
        case 'p':
            if (wide || narrow || next >= count ||
                (kinds[next] != ArgumentKind::pointer && kinds[next] != ArgumentKind::c_string)) {
                return false;
            }
            ++next;
            break;
        default:
            return false;  // %n, %@, %S, a dangling % and the like are refused
        }
    }
    return next == count;
}

template <typename... Args>
struct CheckedFormat {
    const char* text;
    template <std::size_t N>
    consteval CheckedFormat(const char (&literal)[N]) : text(literal) {
        constexpr ArgumentKind kinds[sizeof...(Args) + 1] = {argument_kind<Args>()..., ArgumentKind::unsupported};
        if (!format_matches(literal, kinds, sizeof...(Args))) {
            os_log_format_does_not_match_its_arguments();
        }
    }
};

template <typename... Args>
inline void emit(os_log_t log, os_log_type_t type, CheckedFormat<std::type_identity_t<Args>...> format, Args... args) {
    _velmora_os_log_emit(log, type, format.text, args...);
}

} // namespace velmora_os_log_detail

#define os_log_with_type(log, type, format, ...)                                                           \
    do {                                                                                                   \
        os_log_t _velmora_log = (log);                                                                     \
        os_log_type_t _velmora_type = (type);                                                              \
        if (os_log_type_enabled(_velmora_log, _velmora_type)) {                                            \
            ::velmora_os_log_detail::emit(_velmora_log, _velmora_type, "" format "" __VA_OPT__(, ) __VA_ARGS__); \
        }                                                                                                  \
    } while (0)
#else
#define os_log_with_type(log, type, format, ...)                                      \
    do {                                                                              \
        os_log_t _velmora_log = (log);                                                \
        os_log_type_t _velmora_type = (type);                                         \
        if (os_log_type_enabled(_velmora_log, _velmora_type)) {                       \
            _velmora_os_log_emit(_velmora_log, _velmora_type, "" format "", ##__VA_ARGS__); \
        }                                                                             \
    } while (0)
#endif

#define os_log(log, format, ...) os_log_with_type(log, OS_LOG_TYPE_DEFAULT, format __VA_OPT__(, ) __VA_ARGS__)
#define os_log_info(log, format, ...) os_log_with_type(log, OS_LOG_TYPE_INFO, format __VA_OPT__(, ) __VA_ARGS__)
#define os_log_debug(log, format, ...) os_log_with_type(log, OS_LOG_TYPE_DEBUG, format __VA_OPT__(, ) __VA_ARGS__)
#define os_log_error(log, format, ...) os_log_with_type(log, OS_LOG_TYPE_ERROR, format __VA_OPT__(, ) __VA_ARGS__)
#define os_log_fault(log, format, ...) os_log_with_type(log, OS_LOG_TYPE_FAULT, format __VA_OPT__(, ) __VA_ARGS__)
