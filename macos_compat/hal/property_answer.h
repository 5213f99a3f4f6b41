// One property's value as the HAL hands it out: a fixed-size value, an array (callers may fetch a
// prefix), or a string that becomes a new CFString only when actually fetched.
#pragma once

#include <CoreAudio/AudioHardware.h>

#include <cstring>
#include <string>
#include <vector>

namespace VelmoraCompat::Hal {

struct PropertyAnswer {
    enum class Kind { fixed, array, string };
    Kind kind = Kind::fixed;
    std::vector<unsigned char> bytes;
    UInt32 element_size = 0;  // arrays
    std::string text;         // strings, UTF-8

    template <typename T>
    static PropertyAnswer value(const T& v) {
        PropertyAnswer answer;
        answer.bytes.resize(sizeof(T));
        std::memcpy(answer.bytes.data(), &v, sizeof(T));
        return answer;
    }
    template <typename T>
    static PropertyAnswer list(const std::vector<T>& items) {
        PropertyAnswer answer;
        answer.kind = Kind::array;
        answer.element_size = sizeof(T);
        answer.bytes.resize(items.size() * sizeof(T));
        if (!items.empty()) {
            std::memcpy(answer.bytes.data(), items.data(), answer.bytes.size());
        }
        return answer;
    }
    static PropertyAnswer string(std::string s) {
        PropertyAnswer answer;
        answer.kind = Kind::string;
        answer.text = std::move(s);
        return answer;
    }
    UInt32 size() const { return kind == Kind::string ? static_cast<UInt32>(sizeof(CFStringRef)) : static_cast<UInt32>(bytes.size()); }
};

// What the HAL answers at all: the main element (or any), and the global, input, output or
// wildcard scope.
inline bool element_is_main(AudioObjectPropertyElement element) {
    return element == kAudioObjectPropertyElementMain || element == kAudioObjectPropertyElementWildcard;
}

inline bool scope_is_known(AudioObjectPropertyScope scope) {
    return scope == kAudioObjectPropertyScopeGlobal || scope == kAudioObjectPropertyScopeInput ||
           scope == kAudioObjectPropertyScopeOutput || scope == kAudioObjectPropertyScopeWildcard;
}

// A change to announce to listeners.
struct PropertyChange {
    AudioObjectID object;
    AudioObjectPropertySelector selector;
};

} // namespace VelmoraCompat::Hal
