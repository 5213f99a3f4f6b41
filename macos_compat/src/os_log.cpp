#include <os/log.h>
#include <velmora_compat/os_log_capture.h>

#include <unistd.h>

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <utility>

struct os_log_s {
    std::string subsystem;
    std::string category;
};

os_log_s _os_log_default;

namespace VelmoraCompat {

struct OsLogCapture::State {
    bool echo = false;
    mutable std::mutex mutex;
    std::vector<OsLogEntry> entries;
};

} // namespace VelmoraCompat

namespace {

using VelmoraCompat::OsLogCapture;

constexpr unsigned bit(os_log_type_t type) {
    switch (type) {
    case OS_LOG_TYPE_DEFAULT: return 1u << 0;
    case OS_LOG_TYPE_INFO: return 1u << 1;
    case OS_LOG_TYPE_DEBUG: return 1u << 2;
    case OS_LOG_TYPE_ERROR: return 1u << 3;
    case OS_LOG_TYPE_FAULT: return 1u << 4;
    }
    return 0;
}

unsigned mask_from_environment() {
    const unsigned all_but_debug = bit(OS_LOG_TYPE_DEFAULT) | bit(OS_LOG_TYPE_INFO) | bit(OS_LOG_TYPE_ERROR) | bit(OS_LOG_TYPE_FAULT);
    const char* level = std::getenv("VELMORA_OS_LOG_LEVEL");
    if (level == nullptr) {
        return all_but_debug;
    }
    const std::string text(level);
    if (text == "debug") {
        return all_but_debug | bit(OS_LOG_TYPE_DEBUG);
    }
    if (text == "default") {
        return bit(OS_LOG_TYPE_DEFAULT) | bit(OS_LOG_TYPE_ERROR) | bit(OS_LOG_TYPE_FAULT);
    }
    if (text == "error") {
        return bit(OS_LOG_TYPE_ERROR) | bit(OS_LOG_TYPE_FAULT);
    }
    if (text == "fault") {
        return bit(OS_LOG_TYPE_FAULT);
    }
    if (text == "off") {
        return 0;
    }
    return all_but_debug;
}

std::atomic<unsigned>& enabled_mask() {
    static std::atomic<unsigned> mask{mask_from_environment()};
    return mask;
}

struct Registry {
    std::mutex mutex;
    std::map<std::pair<std::string, std::string>, os_log_s*> logs;
    std::vector<OsLogCapture::State*> captures;
};

Registry& registry() {
    static auto* instance = new Registry();
    return *instance;
}

const char* type_name(os_log_type_t type) {
    switch (type) {
    case OS_LOG_TYPE_DEFAULT: return "Default";
    case OS_LOG_TYPE_INFO: return "Info";
    case OS_LOG_TYPE_DEBUG: return "Debug";
    case OS_LOG_TYPE_ERROR: return "Error";
    case OS_LOG_TYPE_FAULT: return "Fault";
    }
    return "Default";
}

bool is_flag(char c) {
    return c == '-' || c == '+' || c == ' ' || c == '#' || c == '0' || c == '\'';
}

void append_formatted(std::string& out, const char* spec, ...) {
    char small[256];
    va_list args;
    va_start(args, spec);
    va_list copy;
    va_copy(copy, args);
    const int needed = std::vsnprintf(small, sizeof small, spec, args);
    va_end(args);
    if (needed < 0) {
        va_end(copy);
        return;
    }
    if (static_cast<std::size_t>(needed) < sizeof small) {
        out.append(small, static_cast<std::size_t>(needed));
    } else {
        std::string big(static_cast<std::size_t>(needed) + 1, '\0');
        std::vsnprintf(big.data(), big.size(), spec, copy);
        out.append(big.data(), static_cast<std::size_t>(needed));
    }
    va_end(copy);
}

// Walks the format one conversion at a time, so privacy can apply per argument. The C++ macros
// have checked the format against the arguments, which makes each va_arg below well-typed.
std::string format_message(const char* format, va_list args) {
    std::string out;
    for (const char* p = format; *p != '\0';) {
        if (*p != '%') {
            out.push_back(*p++);
            continue;
        }
        if (p[1] == '%') {
            out.push_back('%');
            p += 2;
            continue;
        }
        ++p;
        bool is_public = false;
        bool is_private = false;
        if (*p == '{') {
            const char* end = std::strchr(p, '}');
            if (end == nullptr) {
                break;
            }
            const std::string qualifiers(p + 1, end);
            is_public = qualifiers.find("public") != std::string::npos;
            is_private = qualifiers.find("private") != std::string::npos;
            p = end + 1;
        }
        std::string spec = "%";
        int star_values[2] = {0, 0};
        int stars = 0;
        while (is_flag(*p)) {
            spec.push_back(*p++);
        }
        if (*p == '*') {
            star_values[stars++] = va_arg(args, int);
            spec.push_back(*p++);
        }
        while (*p >= '0' && *p <= '9') {
            spec.push_back(*p++);
        }
        if (*p == '.') {
            spec.push_back(*p++);
            if (*p == '*') {
                star_values[stars++] = va_arg(args, int);
                spec.push_back(*p++);
            }
            while (*p >= '0' && *p <= '9') {
                spec.push_back(*p++);
            }
        }
        int longs = 0;
        bool size_t_length = false;
        while (*p == 'h' || *p == 'l' || *p == 'z' || *p == 'j' || *p == 't' || *p == 'q') {
            if (*p == 'l' || *p == 'q') {
                ++longs;
            } else if (*p != 'h') {
                size_t_length = true;
            }
            spec.push_back(*p == 'q' ? 'l' : *p);
            if (*p == 'q') {
                spec.push_back('l');
            }
            ++p;
        }
        const char conversion = *p;
        if (conversion == '\0') {
            break;
        }
        spec.push_back(conversion);
        ++p;
        std::string piece;
        switch (conversion) {
        case 'd': case 'i': case 'u': case 'o': case 'x': case 'X': case 'c':
            if (longs > 0 || size_t_length) {
                const long long value = va_arg(args, long long);
                if (stars == 2) append_formatted(piece, spec.c_str(), star_values[0], star_values[1], value);
                else if (stars == 1) append_formatted(piece, spec.c_str(), star_values[0], value);
                else append_formatted(piece, spec.c_str(), value);
            } else {
                const int value = va_arg(args, int);
                if (stars == 2) append_formatted(piece, spec.c_str(), star_values[0], star_values[1], value);
                else if (stars == 1) append_formatted(piece, spec.c_str(), star_values[0], value);
                else append_formatted(piece, spec.c_str(), value);
            }
            break;
        case 'e': case 'E': case 'f': case 'F': case 'g': case 'G': case 'a': case 'A': {
            const double value = va_arg(args, double);
            if (stars == 2) append_formatted(piece, spec.c_str(), star_values[0], star_values[1], value);
            else if (stars == 1) append_formatted(piece, spec.c_str(), star_values[0], value);
            else append_formatted(piece, spec.c_str(), value);
            break;
        }
        case 's': {
            const char* value = va_arg(args, const char*);
            // Dynamic strings are private unless marked public.
            is_private = is_private || !is_public;
            if (value == nullptr) {
                piece = "(null)";
            } else if (stars == 2) append_formatted(piece, spec.c_str(), star_values[0], star_values[1], value);
            else if (stars == 1) append_formatted(piece, spec.c_str(), star_values[0], value);
            else append_formatted(piece, spec.c_str(), value);
            break;
        }
        case 'p': {
            const void* value = va_arg(args, const void*);
            append_formatted(piece, "%p", value);
            break;
        }
        default:
            piece.clear();
            break;
        }
        out += is_private ? std::string("<private>") : piece;
    }
    return out;
}

} // namespace

extern "C" os_log_t os_log_create(const char* subsystem, const char* category) {
    Registry& r = registry();
    std::pair<std::string, std::string> key(subsystem != nullptr ? subsystem : "", category != nullptr ? category : "");
    std::lock_guard<std::mutex> lock(r.mutex);
    auto found = r.logs.find(key);
    if (found != r.logs.end()) {
        return found->second;
    }
    auto* log = new os_log_s{key.first, key.second};
    r.logs.emplace(std::move(key), log);
    return log;
}

extern "C" bool os_log_type_enabled(os_log_t oslog, os_log_type_t type) {
    if (oslog == nullptr) {
        return false;
    }
    return (enabled_mask().load(std::memory_order_relaxed) & bit(type)) != 0;
}

extern "C" void _velmora_os_log_emit(os_log_t oslog, os_log_type_t type, const char* format, ...) {
    if (oslog == nullptr || format == nullptr) {
        return;
    }
    va_list args;
    va_start(args, format);
    VelmoraCompat::OsLogEntry entry;
    entry.type = type;
    entry.subsystem = oslog->subsystem;
    entry.category = oslog->category;
    entry.message = format_message(format, args);
    va_end(args);

    std::string line = type_name(type);
    if (!entry.subsystem.empty() || !entry.category.empty()) {
        line += " [" + entry.subsystem + ":" + entry.category + "]";
    }
    line += ": " + entry.message + "\n";

    Registry& r = registry();
    bool echo = true;
    {
        std::lock_guard<std::mutex> lock(r.mutex);
        if (!r.captures.empty()) {
            OsLogCapture::State* capture = r.captures.back();
            echo = capture->echo;
            std::lock_guard<std::mutex> capture_lock(capture->mutex);
            capture->entries.push_back(std::move(entry));
        }
    }
    if (echo) {
        // One write per line keeps lines from different threads whole.
        const ssize_t written = ::write(STDERR_FILENO, line.data(), line.size());
        (void)written;
    }
}

namespace VelmoraCompat {

OsLogCapture::OsLogCapture(bool echo) : state_(new State) {
    state_->echo = echo;
    Registry& r = registry();
    std::lock_guard<std::mutex> lock(r.mutex);
    r.captures.push_back(state_);
}

OsLogCapture::~OsLogCapture() {
    Registry& r = registry();
    {
        std::lock_guard<std::mutex> lock(r.mutex);
        std::erase(r.captures, state_);
    }
    delete state_;
}

std::vector<OsLogEntry> OsLogCapture::entries() const {
    std::lock_guard<std::mutex> lock(state_->mutex);
    return state_->entries;
}

std::vector<std::string> OsLogCapture::messages() const {
    std::lock_guard<std::mutex> lock(state_->mutex);
    std::vector<std::string> texts;
    texts.reserve(state_->entries.size());
    for (const OsLogEntry& entry : state_->entries) {
        texts.push_back(entry.message);
    }
    return texts;
}

void OsLogCapture::clear() {
    std::lock_guard<std::mutex> lock(state_->mutex);
    state_->entries.clear();
}

void set_os_log_type_enabled(os_log_type_t type, bool enabled) {
    if (enabled) {
        enabled_mask().fetch_or(bit(type), std::memory_order_relaxed);
    } else {
        enabled_mask().fetch_and(~bit(type), std::memory_order_relaxed);
    }
}

void reset_os_log_types() {
    enabled_mask().store(mask_from_environment(), std::memory_order_relaxed);
}

} // namespace VelmoraCompat
