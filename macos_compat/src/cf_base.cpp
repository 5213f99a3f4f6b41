#include "cf_runtime.h"

#include <velmora_compat/cf_debug.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

std::atomic<long> g_live_objects{0};

} // namespace

// A real allocator object exists on Apple for the system default; NULL stands for the default.
struct __CFAllocator {
    int unused;
};
static const __CFAllocator g_system_allocator{0};
const CFAllocatorRef kCFAllocatorDefault = nullptr;
const CFAllocatorRef kCFAllocatorSystemDefault = &g_system_allocator;

namespace VelmoraCompat {

CfObjectHeader::~CfObjectHeader() {
    // Left behind in freed memory, so a use after release shows up clearly under a sanitizer.
    magic = kDeadMagic;
    if (!immortal) {
        g_live_objects.fetch_sub(1, std::memory_order_relaxed);
    }
}

void cf_destroy(CfObjectHeader* object) {
    if (object->kind == CfKind::string) {
        delete static_cast<__CFString*>(object);
    } else {
        delete static_cast<__CFUUID*>(object);
    }
}

void cf_object_created() {
    g_live_objects.fetch_add(1, std::memory_order_relaxed);
}

void cf_fatal(const char* function, const char* what) {
    std::fprintf(stderr, "%s: %s\n", function, what);
    std::fflush(stderr);
    std::abort();
}

CfObjectHeader* cf_object(CFTypeRef cf, const char* function) {
    if (cf == nullptr) {
        cf_fatal(function, "called with NULL");
    }
    unsigned magic = 0;
    std::memcpy(&magic, cf, sizeof magic);
    if (magic != CfObjectHeader::kLiveMagic) {
        cf_fatal(function, magic == CfObjectHeader::kDeadMagic ? "object was already released" : "argument is not a CoreFoundation object");
    }
    return static_cast<CfObjectHeader*>(const_cast<void*>(cf));
}

long cf_live_object_count() {
    return g_live_objects.load(std::memory_order_relaxed);
}

} // namespace VelmoraCompat

using VelmoraCompat::cf_object;
using VelmoraCompat::CfKind;

extern "C" CFTypeRef CFRetain(CFTypeRef cf) {
    auto* header = cf_object(cf, "CFRetain");
    if (!header->immortal) {
        header->retain_count.fetch_add(1, std::memory_order_relaxed);
    }
    return cf;
}

extern "C" void CFRelease(CFTypeRef cf) {
    auto* header = cf_object(cf, "CFRelease");
    if (header->immortal) {
        return;
    }
    // acq_rel: the thread that frees the object must see every write made before other releases.
    const CFIndex before = header->retain_count.fetch_sub(1, std::memory_order_acq_rel);
    if (before <= 0) {
        VelmoraCompat::cf_fatal("CFRelease", "object was over-released");
    }
    if (before == 1) {
        VelmoraCompat::cf_destroy(header);
    }
}

extern "C" CFIndex CFGetRetainCount(CFTypeRef cf) {
    auto* header = cf_object(cf, "CFGetRetainCount");
    // Constant objects report a huge count on Apple too.
    return header->immortal ? static_cast<CFIndex>(0x0FFFFFFFFFFFFFFFLL) : header->retain_count.load(std::memory_order_relaxed);
}

extern "C" CFTypeID CFGetTypeID(CFTypeRef cf) {
    return static_cast<CFTypeID>(cf_object(cf, "CFGetTypeID")->kind);
}

extern "C" Boolean CFEqual(CFTypeRef cf1, CFTypeRef cf2) {
    auto* a = cf_object(cf1, "CFEqual");
    auto* b = cf_object(cf2, "CFEqual");
    if (a == b) {
        return true;
    }
    if (a->kind != b->kind) {
        return false;
    }
    if (a->kind == CfKind::string) {
        const auto* s1 = static_cast<const __CFString*>(a);
        const auto* s2 = static_cast<const __CFString*>(b);
        return s1->size == s2->size && std::memcmp(s1->bytes, s2->bytes, s1->size) == 0;
    }
    const auto* u1 = static_cast<const __CFUUID*>(a);
    const auto* u2 = static_cast<const __CFUUID*>(b);
    return std::memcmp(&u1->value, &u2->value, sizeof(CFUUIDBytes)) == 0;
}

extern "C" CFHashCode CFHash(CFTypeRef cf) {
    auto* header = cf_object(cf, "CFHash");
    const unsigned char* data = nullptr;
    std::size_t size = 0;
    if (header->kind == CfKind::string) {
        const auto* s = static_cast<const __CFString*>(header);
        data = reinterpret_cast<const unsigned char*>(s->bytes);
        size = s->size;
    } else {
        const auto* u = static_cast<const __CFUUID*>(header);
        data = reinterpret_cast<const unsigned char*>(&u->value);
        size = sizeof(CFUUIDBytes);
    }
    // FNV-1a: equal objects hash equal, which is all CFHash promises.
    CFHashCode hash = 14695981039346656037ul;
    for (std::size_t i = 0; i < size; ++i) {
        hash = (hash ^ data[i]) * 1099511628211ul;
    }
    return hash;
}
