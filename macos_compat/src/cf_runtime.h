// The object model behind the CoreFoundation stand-in: every object starts with the same header,
// so retain, release and equality work on any CFTypeRef and can refuse what is not an object.
#pragma once

#include <CoreFoundation/CoreFoundation.h>

#include <atomic>
#include <cstddef>
#include <type_traits>

namespace VelmoraCompat {

enum class CfKind : CFTypeID { string = 7, uuid = 35 };

struct CfObjectHeader {
    static constexpr unsigned kLiveMagic = 0x56434630u;  // "VCF0"
    static constexpr unsigned kDeadMagic = 0xDEADCF00u;

    unsigned magic = kLiveMagic;
    CfKind kind;
    // Constant objects (CFSTR, constant UUIDs) are never freed; retain and release ignore them.
    bool immortal = false;
    std::atomic<CFIndex> retain_count{1};

    explicit CfObjectHeader(CfKind k, bool is_immortal) : kind(k), immortal(is_immortal) {}
    // Not virtual: the magic number must sit at the very start, where it can be read from any
    // pointer before the pointer is trusted. cf_destroy deletes by kind.
    ~CfObjectHeader();
};

static_assert(std::is_standard_layout_v<CfObjectHeader> && offsetof(CfObjectHeader, magic) == 0, "magic first");

void cf_destroy(CfObjectHeader* object);

// Checks that `cf` is a live object and returns its header; aborts with a message naming
// `function` otherwise, as Apple's CoreFoundation crashes on such calls.
CfObjectHeader* cf_object(CFTypeRef cf, const char* function);
// Counts objects that are not immortal, for cf_debug.h.
void cf_object_created();

[[noreturn]] void cf_fatal(const char* function, const char* what);

} // namespace VelmoraCompat

struct __CFString final : VelmoraCompat::CfObjectHeader {
    // UTF-8 without a terminator in `bytes`, followed by one NUL so it can serve as a C string.
    const char* bytes;
    std::size_t size;
    CFIndex utf16_length;
    bool owns_bytes;

    __CFString(const char* b, std::size_t n, CFIndex length, bool is_immortal, bool owns)
        : CfObjectHeader(VelmoraCompat::CfKind::string, is_immortal), bytes(b), size(n), utf16_length(length), owns_bytes(owns) {}
    ~__CFString();
};

struct __CFUUID final : VelmoraCompat::CfObjectHeader {
    CFUUIDBytes value;
    __CFUUID(CFUUIDBytes v, bool is_immortal) : CfObjectHeader(VelmoraCompat::CfKind::uuid, is_immortal), value(v) {}
};
