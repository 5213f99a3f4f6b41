#include <CoreAudio/AudioServerPlugIn.h>
#include <CoreFoundation/CoreFoundation.h>
#include <velmora_compat/cf_debug.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

std::string to_utf8(CFStringRef s) {
    char buffer[1024];
    if (!CFStringGetCString(s, buffer, sizeof buffer, kCFStringEncodingUTF8)) {
        return "<failed>";
    }
    return buffer;
}

TEST(CFString, CreatedStringsAreOwnedAndFreedOnTheLastRelease) {
    const long before = VelmoraCompat::cf_live_object_count();
    CFStringRef s = CFStringCreateWithCString(nullptr, "Built-in Output", kCFStringEncodingUTF8);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(CFGetRetainCount(s), 1);
    EXPECT_EQ(CFRetain(s), s);
    EXPECT_EQ(CFGetRetainCount(s), 2);
    CFRelease(s);
    EXPECT_EQ(VelmoraCompat::cf_live_object_count(), before + 1);
    CFRelease(s);
    EXPECT_EQ(VelmoraCompat::cf_live_object_count(), before);
}

TEST(CFString, RoundTripsUtf8AndCountsUtf16Units) {
    struct Case {
        const char* text;
        CFIndex utf16_length;
    };
    const Case cases[] = {
        {"", 0},
        {"abc", 3},
        {"Gr\xC3\xBC\xC3\x9F" "e", 5},            // two-byte sequences
        {"\xE2\x82\xAC" "5", 2},                  // euro sign, three bytes
        {"\xF0\x9F\x8E\xB5", 2},                  // outside the BMP: a surrogate pair
    };
    for (const Case& c : cases) {
        CFStringRef s = CFStringCreateWithCString(kCFAllocatorDefault, c.text, kCFStringEncodingUTF8);
        ASSERT_NE(s, nullptr) << c.text;
        EXPECT_EQ(CFStringGetLength(s), c.utf16_length) << c.text;
        EXPECT_EQ(to_utf8(s), c.text);
        EXPECT_EQ(CFStringGetCStringPtr(s, kCFStringEncodingUTF8), nullptr);
        CFRelease(s);
    }
}

TEST(CFString, RefusesBytesInvalidForTheEncoding) {
    const char* invalid_utf8[] = {
        "\xC3",              // truncated
        "\xC0\xAF",          // overlong
        "\xED\xA0\x80",      // surrogate
        "\xF4\x90\x80\x80",  // above U+10FFFF
        "\xFF",
        "a\x80z",            // lone continuation byte
    };
    for (const char* text : invalid_utf8) {
        EXPECT_EQ(CFStringCreateWithCString(nullptr, text, kCFStringEncodingUTF8), nullptr);
    }
    EXPECT_EQ(CFStringCreateWithCString(nullptr, "caf\xC3\xA9", kCFStringEncodingASCII), nullptr);
    EXPECT_EQ(CFStringCreateWithCString(nullptr, nullptr, kCFStringEncodingUTF8), nullptr);
    EXPECT_EQ(CFStringCreateWithCString(nullptr, "abc", 0x12345678), nullptr);
}

TEST(CFString, GetCStringNeedsRoomForTheTerminatorAndAConvertibleString) {
    CFStringRef s = CFStringCreateWithCString(nullptr, "caf\xC3\xA9", kCFStringEncodingUTF8);
    ASSERT_NE(s, nullptr);
    char buffer[8];
    std::memset(buffer, 'x', sizeof buffer);
    EXPECT_FALSE(CFStringGetCString(s, buffer, 5, kCFStringEncodingUTF8));  // 5 bytes + NUL needed
    EXPECT_EQ(buffer[0], 'x');
    EXPECT_TRUE(CFStringGetCString(s, buffer, 6, kCFStringEncodingUTF8));
    EXPECT_STREQ(buffer, "caf\xC3\xA9");
    EXPECT_FALSE(CFStringGetCString(s, buffer, sizeof buffer, kCFStringEncodingASCII));
    EXPECT_FALSE(CFStringGetCString(s, buffer, 0, kCFStringEncodingUTF8));
    EXPECT_EQ(CFStringGetMaximumSizeForEncoding(CFStringGetLength(s), kCFStringEncodingUTF8), 12);
    CFRelease(s);
}

TEST(CFString, EqualityIsByValueAndConstantsAreInterned) {
    CFStringRef a = CFStringCreateWithCString(nullptr, "uid", kCFStringEncodingUTF8);
    CFStringRef b = CFStringCreateWithBytes(nullptr, reinterpret_cast<const UInt8*>("uidX"), 3, kCFStringEncodingUTF8, false);
    EXPECT_NE(a, b);
    EXPECT_TRUE(CFEqual(a, b));
    EXPECT_TRUE(CFEqual(a, CFSTR("uid")));
    EXPECT_FALSE(CFEqual(a, CFSTR("uid ")));
    EXPECT_EQ(CFHash(a), CFHash(b));
    EXPECT_EQ(CFSTR("Velmora"), CFSTR("Velmora"));
    // Constants survive any number of releases.
    CFStringRef constant = CFSTR("Velmora");
    CFRelease(constant);
    CFRelease(constant);
    EXPECT_EQ(to_utf8(constant), "Velmora");
    EXPECT_EQ(CFGetTypeID(a), CFStringGetTypeID());
    CFRelease(a);
    CFRelease(b);
}

TEST(CFString, ReleaseFromManyThreadsFreesExactlyOnce) {
    const long before = VelmoraCompat::cf_live_object_count();
    CFStringRef s = CFStringCreateWithCString(nullptr, "shared", kCFStringEncodingUTF8);
    constexpr int kThreads = 4;
    constexpr int kPerThread = 1000;
    for (int i = 0; i < kThreads * kPerThread; ++i) {
        CFRetain(s);
    }
    std::atomic<bool> go{false};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&] {
            while (!go.load()) {
            }
            for (int i = 0; i < kPerThread; ++i) {
                CFRelease(s);
            }
        });
    }
    go = true;
    for (auto& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(CFGetRetainCount(s), 1);
    CFRelease(s);
    EXPECT_EQ(VelmoraCompat::cf_live_object_count(), before);
}

using CFMisuseDeathTest = ::testing::Test;

TEST_F(CFMisuseDeathTest, NullAndForeignPointersAbortAsOnApple) {
    EXPECT_DEATH(CFRelease(nullptr), "CFRelease: called with NULL");
    EXPECT_DEATH(CFRetain(nullptr), "CFRetain: called with NULL");
    EXPECT_DEATH(CFEqual(CFSTR("a"), nullptr), "CFEqual: called with NULL");
    EXPECT_DEATH(CFStringGetLength(nullptr), "CFStringGetLength: called with NULL");
    static const long not_an_object[4] = {1, 2, 3, 4};
    EXPECT_DEATH(CFRelease(not_an_object), "not a CoreFoundation object");
    CFUUIDRef uuid = CFUUIDCreateWithBytes(nullptr, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16);
    EXPECT_DEATH(CFStringGetLength(reinterpret_cast<CFStringRef>(uuid)), "not a CFString");
    CFRelease(uuid);
}

TEST(CFUUID, PlugInUuidsCompareByBytesAndConstantsAreInterned) {
    EXPECT_EQ(kAudioServerPlugInTypeUUID, kAudioServerPlugInTypeUUID);
    EXPECT_FALSE(CFEqual(kAudioServerPlugInTypeUUID, kAudioServerPlugInDriverInterfaceUUID));

    // The QueryInterface pattern: a temporary UUID made from the REFIID bytes.
    const REFIID requested = CFUUIDGetUUIDBytes(kAudioServerPlugInDriverInterfaceUUID);
    CFUUIDRef temporary = CFUUIDCreateFromUUIDBytes(nullptr, requested);
    EXPECT_NE(temporary, kAudioServerPlugInDriverInterfaceUUID);
    EXPECT_TRUE(CFEqual(temporary, kAudioServerPlugInDriverInterfaceUUID));
    EXPECT_FALSE(CFEqual(temporary, IUnknownUUID));
    CFRelease(temporary);

    const CFUUIDBytes unknown = CFUUIDGetUUIDBytes(IUnknownUUID);
    EXPECT_EQ(unknown.byte8, 0xC0);
    EXPECT_EQ(unknown.byte15, 0x46);
    EXPECT_FALSE(CFEqual(IUnknownUUID, CFSTR("00000000-0000-0000-C000-000000000046")));
}

TEST(CFUUID, StringsRoundTripInUpperCase) {
    CFUUIDRef parsed = CFUUIDCreateFromString(nullptr, CFSTR("443abab8-E7B3-491A-B985-BEB9187030DB"));
    ASSERT_NE(parsed, nullptr);
    EXPECT_TRUE(CFEqual(parsed, kAudioServerPlugInTypeUUID));
    CFStringRef text = CFUUIDCreateString(nullptr, parsed);
    EXPECT_EQ(to_utf8(text), "443ABAB8-E7B3-491A-B985-BEB9187030DB");
    CFRelease(text);
    CFRelease(parsed);
    const char* bad[] = {"", "443ABAB8E7B3491AB985BEB9187030DB", "443ABAB8-E7B3-491A-B985-BEB9187030DG",
                         "443ABAB8-E7B3-491A-B985-BEB9187030DB0", "{443ABAB8-E7B3-491A-B985-BEB9187030D}"};
    for (const char* text_value : bad) {
        CFStringRef s = CFStringCreateWithCString(nullptr, text_value, kCFStringEncodingUTF8);
        EXPECT_EQ(CFUUIDCreateFromString(nullptr, s), nullptr) << text_value;
        CFRelease(s);
    }
}

TEST(CFPlugIn, InfoPlistKeysHaveTheirBundleSpelling) {
    EXPECT_EQ(to_utf8(kCFPlugInFactoriesKey), "CFPlugInFactories");
    EXPECT_EQ(to_utf8(kCFPlugInTypesKey), "CFPlugInTypes");
    EXPECT_EQ(to_utf8(kCFPlugInDynamicRegistrationKey), "CFPlugInDynamicRegistration");
}

} // namespace
