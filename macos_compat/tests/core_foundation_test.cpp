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
    return CFStringGetCString(s, buffer, sizeof buffer, kCFStringEncodingUTF8) ? buffer : "<failed>";
}

TEST(CFString, RoundTripsUtf8CountsUtf16UnitsAndRefusesInvalidBytes) {
    const struct {
        const char* text;
        CFIndex utf16_length;
    } cases[] = {
        {"", 0}, {"abc", 3}, {"Gr\xC3\xBC\xC3\x9F" "e", 5}, {"\xE2\x82\xAC" "5", 2},
        {"\xF0\x9F\x8E\xB5", 2}, // outside the BMP: a surrogate pair
    };
    for (const auto& c : cases) {
        CFStringRef s = CFStringCreateWithCString(kCFAllocatorDefault, c.text, kCFStringEncodingUTF8);
        ASSERT_NE(s, nullptr) << c.text;
        EXPECT_EQ(CFStringGetLength(s), c.utf16_length) << c.text;
        EXPECT_EQ(to_utf8(s), c.text);
        CFRelease(s);
    }
    // Truncated, overlong, a surrogate, above U+10FFFF, 0xFF, a lone continuation byte.
    for (const char* text : {"\xC3", "\xC0\xAF", "\xED\xA0\x80", "\xF4\x90\x80\x80", "\xFF", "a\x80z"}) {
        EXPECT_EQ(CFStringCreateWithCString(nullptr, text, kCFStringEncodingUTF8), nullptr);
    }
    EXPECT_EQ(CFStringCreateWithCString(nullptr, "caf\xC3\xA9", kCFStringEncodingASCII), nullptr);
    // A buffer one byte short of the terminator is left untouched.
    CFStringRef s = CFStringCreateWithCString(nullptr, "caf\xC3\xA9", kCFStringEncodingUTF8);
    char buffer[6] = {'x'};
    EXPECT_FALSE(CFStringGetCString(s, buffer, 5, kCFStringEncodingUTF8));
    EXPECT_EQ(buffer[0], 'x');
    EXPECT_TRUE(CFStringGetCString(s, buffer, 6, kCFStringEncodingUTF8));
    CFRelease(s);
    EXPECT_EQ(CFStringCreateWithCString(nullptr, nullptr, kCFStringEncodingUTF8), nullptr);
}

TEST(CFString, ReleaseFromManyThreadsFreesExactlyOnce) {
    const long before = VelmoraCompat::cf_live_object_count();
    CFStringRef s = CFStringCreateWithCString(nullptr, "shared", kCFStringEncodingUTF8);
    constexpr int kThreads = 4, kPerThread = 1000;
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
    EXPECT_DEATH(CFEqual(CFSTR("a"), nullptr), "CFEqual: called with NULL");
    static const long not_an_object[4] = {1, 2, 3, 4};
    EXPECT_DEATH(CFRelease(not_an_object), "not a CoreFoundation object");
    CFUUIDRef uuid = CFUUIDCreateWithBytes(nullptr, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16);
    EXPECT_DEATH(CFStringGetLength(reinterpret_cast<CFStringRef>(uuid)), "not a CFString");
    CFRelease(uuid);
}

TEST(CFUUID, PlugInUuidsCompareByBytesAndStringsRoundTripInUpperCase) {
    // The QueryInterface pattern: a temporary UUID made from the REFIID bytes.
    CFUUIDRef temporary =
        CFUUIDCreateFromUUIDBytes(nullptr, CFUUIDGetUUIDBytes(kAudioServerPlugInDriverInterfaceUUID));
    EXPECT_NE(temporary, kAudioServerPlugInDriverInterfaceUUID);
    EXPECT_TRUE(CFEqual(temporary, kAudioServerPlugInDriverInterfaceUUID));
    EXPECT_FALSE(CFEqual(temporary, IUnknownUUID));
    CFRelease(temporary);
    EXPECT_EQ(CFUUIDGetUUIDBytes(IUnknownUUID).byte8, 0xC0);

    CFUUIDRef parsed = CFUUIDCreateFromString(nullptr, CFSTR("443abab8-E7B3-491A-B985-BEB9187030DB"));
    ASSERT_NE(parsed, nullptr);
    EXPECT_TRUE(CFEqual(parsed, kAudioServerPlugInTypeUUID));
    CFStringRef text = CFUUIDCreateString(nullptr, parsed);
    EXPECT_EQ(to_utf8(text), "443ABAB8-E7B3-491A-B985-BEB9187030DB");
    CFRelease(text);
    CFRelease(parsed);
    for (const char* bad : {"", "443ABAB8E7B3491AB985BEB9187030DB", "443ABAB8-E7B3-491A-B985-BEB9187030DG",
                            "443ABAB8-E7B3-491A-B985-BEB9187030DB0"}) {
        CFStringRef s = CFStringCreateWithCString(nullptr, bad, kCFStringEncodingUTF8);
        EXPECT_EQ(CFUUIDCreateFromString(nullptr, s), nullptr) << bad;
        CFRelease(s);
    }
    EXPECT_EQ(to_utf8(kCFPlugInFactoriesKey), "CFPlugInFactories");
    EXPECT_EQ(to_utf8(kCFPlugInTypesKey), "CFPlugInTypes");
}

} // namespace
