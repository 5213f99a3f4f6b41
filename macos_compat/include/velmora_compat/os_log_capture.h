// Test hooks of the os_log stand-in: capture the messages the code under test logs, and switch
// log types on or off as a system's log configuration would.
#pragma once

#include <os/log.h>

#include <string>
#include <vector>

namespace VelmoraCompat {

struct OsLogEntry {
    os_log_type_t type = OS_LOG_TYPE_DEFAULT;
    std::string subsystem;  // empty for OS_LOG_DEFAULT
    std::string category;
    std::string message;    // formatted, privacy applied, without the type prefix
};

// While an OsLogCapture exists, every message that is enabled is recorded in it (the newest
// capture when several exist) instead of being written to standard error, unless `echo` is true.
// Any thread; the recorded list is guarded by a mutex.
class OsLogCapture {
public:
    explicit OsLogCapture(bool echo = false);
    ~OsLogCapture();
    OsLogCapture(const OsLogCapture&) = delete;
    OsLogCapture& operator=(const OsLogCapture&) = delete;

    std::vector<OsLogEntry> entries() const;
    // Just the message texts, in order.
    std::vector<std::string> messages() const;
    void clear();

    struct State;

private:
    State* state_;
};

// Enables or disables one log type for every log (OS_LOG_DISABLED stays disabled). Any thread.
void set_os_log_type_enabled(os_log_type_t type, bool enabled);
// Back to the configuration read from VELMORA_OS_LOG_LEVEL at start.
void reset_os_log_types();

} // namespace VelmoraCompat
