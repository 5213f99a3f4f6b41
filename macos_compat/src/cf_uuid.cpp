#include "cf_runtime.h"

#include <array>
#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>

namespace {

CFUUIDBytes make_bytes(const std::array<UInt8, 16>& b) {
    CFUUIDBytes bytes;
    std::memcpy(&bytes, b.data(), sizeof bytes);
    return bytes;
}

CFUUIDRef create_uuid(const CFUUIDBytes& bytes) {
    auto* uuid = new __CFUUID(bytes, false);
    VelmoraCompat::cf_object_created();
    return uuid;
}

const __CFUUID* uuid_object(CFUUIDRef uuid, const char* function) {
    auto* header = VelmoraCompat::cf_object(uuid, function);
    if (header->kind != VelmoraCompat::CfKind::uuid) {
        VelmoraCompat::cf_fatal(function, "argument is not a CFUUID");
    }
    return static_cast<const __CFUUID*>(header);
}

int hex_value(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

} // namespace

extern "C" CFTypeID CFUUIDGetTypeID(void) {
    return static_cast<CFTypeID>(VelmoraCompat::CfKind::uuid);
}

extern "C" CFUUIDRef CFUUIDCreateWithBytes(CFAllocatorRef, UInt8 b0, UInt8 b1, UInt8 b2, UInt8 b3, UInt8 b4, UInt8 b5, UInt8 b6,
                                           UInt8 b7, UInt8 b8, UInt8 b9, UInt8 b10, UInt8 b11, UInt8 b12, UInt8 b13, UInt8 b14,
                                           UInt8 b15) {
    return create_uuid(make_bytes({b0, b1, b2, b3, b4, b5, b6, b7, b8, b9, b10, b11, b12, b13, b14, b15}));
}

extern "C" CFUUIDRef CFUUIDCreateFromUUIDBytes(CFAllocatorRef, CFUUIDBytes bytes) {
    return create_uuid(bytes);
}

extern "C" CFUUIDRef CFUUIDCreateFromString(CFAllocatorRef, CFStringRef uuidStr) {
    if (uuidStr == nullptr) {
        return nullptr;
    }
    char text[64];
    if (!CFStringGetCString(uuidStr, text, sizeof text, kCFStringEncodingASCII) || std::strlen(text) != 36) {
        return nullptr;
    }
    std::array<UInt8, 16> bytes{};
    std::size_t out = 0;
    for (std::size_t i = 0; i < 36;) {
        if (i == 8 || i == 13 || i == 18 || i == 23) {
            if (text[i] != '-') {
                return nullptr;
            }
            ++i;
            continue;
        }
        const int high = hex_value(text[i]);
        const int low = hex_value(text[i + 1]);
        if (high < 0 || low < 0) {
            return nullptr;
        }
        bytes[out++] = static_cast<UInt8>(high * 16 + low);
        i += 2;
    }
    return create_uuid(make_bytes(bytes));
}

extern "C" CFStringRef CFUUIDCreateString(CFAllocatorRef alloc, CFUUIDRef uuid) {
    const auto* u = uuid_object(uuid, "CFUUIDCreateString");
    const auto* b = reinterpret_cast<const UInt8*>(&u->value);
    char text[37];
    std::snprintf(text, sizeof text, "%02X%02X%02X%02X-%02X%02X-%02X%02X-%02X%02X-%02X%02X%02X%02X%02X%02X", b[0], b[1], b[2], b[3],
                  b[4], b[5], b[6], b[7], b[8], b[9], b[10], b[11], b[12], b[13], b[14], b[15]);
    return CFStringCreateWithCString(alloc, text, kCFStringEncodingASCII);
}

extern "C" CFUUIDRef CFUUIDGetConstantUUIDWithBytes(CFAllocatorRef, UInt8 b0, UInt8 b1, UInt8 b2, UInt8 b3, UInt8 b4, UInt8 b5,
                                                    UInt8 b6, UInt8 b7, UInt8 b8, UInt8 b9, UInt8 b10, UInt8 b11, UInt8 b12,
                                                    UInt8 b13, UInt8 b14, UInt8 b15) {
    static std::mutex mutex;
    static auto* table = new std::map<std::array<UInt8, 16>, __CFUUID*>();
    const std::array<UInt8, 16> key{b0, b1, b2, b3, b4, b5, b6, b7, b8, b9, b10, b11, b12, b13, b14, b15};
    std::lock_guard<std::mutex> lock(mutex);
    auto found = table->find(key);
    if (found != table->end()) {
        return found->second;
    }
    auto* uuid = new __CFUUID(make_bytes(key), true);
    table->emplace(key, uuid);
    return uuid;
}

extern "C" CFUUIDBytes CFUUIDGetUUIDBytes(CFUUIDRef uuid) {
    return uuid_object(uuid, "CFUUIDGetUUIDBytes")->value;
}
