#include "cf_runtime.h"

#include <cstring>
#include <limits>
#include <mutex>
#include <string_view>
#include <unordered_map>

namespace {

// Strict UTF-8 (no overlong forms, no surrogates, nothing above U+10FFFF), as CoreFoundation
// checks it. Returns the length in UTF-16 code units, or -1 for malformed input.
CFIndex utf16_length_of_utf8(const unsigned char* s, std::size_t n) {
    CFIndex units = 0;
    std::size_t i = 0;
    while (i < n) {
        const unsigned char c = s[i];
        std::size_t extra = 0;
        std::uint32_t code = 0;
        if (c < 0x80) {
            ++i;
            ++units;
            continue;
        }
        if (c >= 0xC2 && c <= 0xDF) {
            extra = 1;
            code = c & 0x1Fu;
        } else if (c >= 0xE0 && c <= 0xEF) {
            extra = 2;
            code = c & 0x0Fu;
        } else if (c >= 0xF0 && c <= 0xF4) {
            extra = 3;
            code = c & 0x07u;
        } else {
            return -1;
        }
        if (n - i <= extra) {
            return -1;
        }
        for (std::size_t k = 1; k <= extra; ++k) {
            if ((s[i + k] & 0xC0u) != 0x80u) {
                return -1;
            }
            code = (code << 6) | (s[i + k] & 0x3Fu);
        }
        if ((extra == 2 && code < 0x800) || (extra == 3 && code < 0x10000) || code > 0x10FFFF ||
            (code >= 0xD800 && code <= 0xDFFF)) {
            return -1;
        }
        units += code >= 0x10000 ? 2 : 1;
        i += extra + 1;
    }
    return units;
}

bool is_ascii(const char* s, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) {
        if (static_cast<unsigned char>(s[i]) >= 0x80) {
            return false;
        }
    }
    return true;
}

CFStringRef create_string(const char* bytes, std::size_t size, CFStringEncoding encoding) {
    if (encoding != kCFStringEncodingUTF8 && encoding != kCFStringEncodingASCII) {
        return nullptr;
    }
    if (encoding == kCFStringEncodingASCII && !is_ascii(bytes, size)) {
        return nullptr;
    }
    const CFIndex length = utf16_length_of_utf8(reinterpret_cast<const unsigned char*>(bytes), size);
    if (length < 0) {
        return nullptr;
    }
    char* copy = new char[size + 1];
    if (size > 0) {
        std::memcpy(copy, bytes, size);
    }
    copy[size] = '\0';
    auto* string = new __CFString(copy, size, length, false, true);
    VelmoraCompat::cf_object_created();
    return string;
}

const __CFString* string_object(CFStringRef s, const char* function) {
    auto* header = VelmoraCompat::cf_object(s, function);
    if (header->kind != VelmoraCompat::CfKind::string) {
        VelmoraCompat::cf_fatal(function, "argument is not a CFString");
    }
    return static_cast<const __CFString*>(header);
}

} // namespace

__CFString::~__CFString() {
    if (owns_bytes) {
        delete[] bytes;
    }
}

extern "C" CFTypeID CFStringGetTypeID(void) {
    return static_cast<CFTypeID>(VelmoraCompat::CfKind::string);
}

extern "C" CFStringRef CFStringCreateWithCString(CFAllocatorRef, const char* cStr, CFStringEncoding encoding) {
    if (cStr == nullptr) {
        return nullptr;
    }
    return create_string(cStr, std::strlen(cStr), encoding);
}

extern "C" CFStringRef CFStringCreateWithBytes(CFAllocatorRef, const UInt8* bytes, CFIndex numBytes, CFStringEncoding encoding,
                                               Boolean) {
    if (numBytes < 0 || (bytes == nullptr && numBytes > 0)) {
        return nullptr;
    }
    return create_string(reinterpret_cast<const char*>(bytes), static_cast<std::size_t>(numBytes), encoding);
}

extern "C" CFStringRef CFStringCreateCopy(CFAllocatorRef, CFStringRef theString) {
    const auto* s = string_object(theString, "CFStringCreateCopy");
    return create_string(s->bytes, s->size, kCFStringEncodingUTF8);
}

extern "C" CFIndex CFStringGetLength(CFStringRef theString) {
    return string_object(theString, "CFStringGetLength")->utf16_length;
}

extern "C" Boolean CFStringGetCString(CFStringRef theString, char* buffer, CFIndex bufferSize, CFStringEncoding encoding) {
    const auto* s = string_object(theString, "CFStringGetCString");
    if (buffer == nullptr || bufferSize <= 0) {
        return false;
    }
    if (encoding != kCFStringEncodingUTF8 && encoding != kCFStringEncodingASCII) {
        return false;
    }
    if (encoding == kCFStringEncodingASCII && !is_ascii(s->bytes, s->size)) {
        return false;
    }
    if (static_cast<std::size_t>(bufferSize) < s->size + 1) {
        return false;
    }
    std::memcpy(buffer, s->bytes, s->size);
    buffer[s->size] = '\0';
    return true;
}

extern "C" const char* CFStringGetCStringPtr(CFStringRef theString, CFStringEncoding) {
    string_object(theString, "CFStringGetCStringPtr");
    return nullptr;
}

extern "C" CFIndex CFStringGetMaximumSizeForEncoding(CFIndex length, CFStringEncoding encoding) {
    if (length < 0) {
        return kCFNotFound;
    }
    const CFIndex per_unit = encoding == kCFStringEncodingUTF8 ? 3 : 1;
    if (length > std::numeric_limits<CFIndex>::max() / per_unit) {
        return kCFNotFound;
    }
    return length * per_unit;
}

extern "C" CFStringRef __CFStringMakeConstantString(const char* cStr) {
    // Interned by content, so every use of one literal gives one object; never freed.
    static std::mutex mutex;
    static auto* table = new std::unordered_map<std::string_view, __CFString*>();
    const std::string_view key(cStr);
    std::lock_guard<std::mutex> lock(mutex);
    auto found = table->find(key);
    if (found != table->end()) {
        return found->second;
    }
    const CFIndex length = utf16_length_of_utf8(reinterpret_cast<const unsigned char*>(cStr), key.size());
    if (length < 0) {
        VelmoraCompat::cf_fatal("CFSTR", "literal is not valid UTF-8");
    }
    auto* string = new __CFString(cStr, key.size(), length, true, false);
    table->emplace(key, string);
    return string;
}

extern "C" {
const CFStringRef kCFPlugInDynamicRegistrationKey = CFSTR("CFPlugInDynamicRegistration");
const CFStringRef kCFPlugInDynamicRegisterFunctionKey = CFSTR("CFPlugInDynamicRegisterFunction");
const CFStringRef kCFPlugInUnloadFunctionKey = CFSTR("CFPlugInUnloadFunction");
const CFStringRef kCFPlugInFactoriesKey = CFSTR("CFPlugInFactories");
const CFStringRef kCFPlugInTypesKey = CFSTR("CFPlugInTypes");
}
