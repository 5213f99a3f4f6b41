#include <velmora/platform/clocks.h>
#include <velmora/platform/dynamic_library.h>
#include <velmora/platform/environment.h>
#include <velmora/platform/ini_file.h>
#include <velmora/platform/module_paths.h>
#include <velmora/platform/socket_conventions.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <unistd.h>

using namespace VelmoraPlatform;

namespace {

// A scratch INI file removed when the test ends.
class IniFile {
public:
    explicit IniFile(const std::string& text) {
        path_ = std::filesystem::temp_directory_path() /
                ("velmora_ini_" + std::to_string(::getpid()) + "_" + std::to_string(counter_++) + ".ini");
        std::ofstream(path_, std::ios::binary) << text;
    }
    ~IniFile() { std::filesystem::remove(path_); }
    const char* path() const { return path_.c_str(); }
    std::string get(const char* section, const char* key, const char* fallback = "DEFAULT") const {
        return read_ini_string(path(), section, key, fallback);
    }

private:
    static inline int counter_ = 0;
    std::filesystem::path path_;
};

} // namespace

TEST(IniReader, MissingFileOrArgumentsGiveTheDefault) {
    EXPECT_EQ(read_ini_string("/nonexistent/velmora.ini", "a", "b", "fallback"), "fallback");
    EXPECT_EQ(read_ini_string("/nonexistent/velmora.ini", "a", "b", nullptr), "");
    IniFile file("[a]\nb=1\n");
    EXPECT_EQ(read_ini_string(nullptr, "a", "b", "d"), "d");
    EXPECT_EQ(read_ini_string("", "a", "b", "d"), "d");
    EXPECT_EQ(read_ini_string(file.path(), nullptr, "b", "d"), "d");
    EXPECT_EQ(read_ini_string(file.path(), "a", nullptr, "d"), "d");
    EXPECT_EQ(file.get("a", "b"), "1");
    // Writing is refused.
    EXPECT_FALSE(write_ini_string(file.path(), "a", "b", "2"));
    EXPECT_EQ(file.get("a", "b"), "1");
}

TEST(IniReader, TrimsOnlySpaceTabCarriageReturnAndLineFeed) {
    IniFile file("[s]\r\n \t key \t = \t value \r\nempty=\n"
                 "\vvt=1\n"
                 "ff=\f2\n");
    EXPECT_EQ(file.get("s", "key"), "value");
    EXPECT_EQ(file.get("s", "empty"), "") << "an empty value is found, not defaulted";
    EXPECT_EQ(file.get("s", "vt"), "DEFAULT"); // the key is "\vvt"
    EXPECT_EQ(file.get("s", "\vvt"), "1");
    EXPECT_EQ(file.get("s", "ff"), "\f2");
}

TEST(IniReader, SectionsAndKeysAreCaseSensitiveAndFirstMatchWins) {
    IniFile file("[Audio]\nKey=1\nkey=2\nkey=3\n[Audio]\nother=4\n[audio]\nkey=5\n");
    EXPECT_EQ(file.get("Audio", "Key"), "1");
    EXPECT_EQ(file.get("Audio", "key"), "2");
    EXPECT_EQ(file.get("Audio", "other"), "4"); // the repeated section is searched too
    EXPECT_EQ(file.get("audio", "key"), "5");
    EXPECT_EQ(file.get("audio", "Key"), "DEFAULT");
}

TEST(IniReader, CommentsHeadersAndKeysOutsideSections) {
    IniFile file("top=0\n"
                 "# comment=1\n"
                 "; comment=2\n"
                 "[]\n"      // too short for a header: an ordinary line without '='
                 "[broken\n" // not a header either
                 "nohequals\n"
                 "[ spaced ]\n"
                 "key = 5 ; note\n"
                 "a=b=c\n");
    EXPECT_EQ(file.get("", "top"), "0");
    EXPECT_EQ(file.get("", "# comment"), "DEFAULT");
    EXPECT_EQ(file.get("spaced", "key"), "5 ; note"); // no inline comments
    EXPECT_EQ(file.get("spaced", "a"), "b=c");
    EXPECT_EQ(file.get("spaced", "top"), "DEFAULT");
}

TEST(IniReader, Uint32FollowsStrtoulRules) {
    IniFile file("[n]\nplain=42\nletters=42abc\nhuge=4294967296\nneg=-1\nplus=+7\n"
                 "empty=\ncomment=5 ; note\nhex=0x10\nspace= 9 \n");
    const auto get = [&](const char* key) { return read_ini_uint32(file.path(), "n", key, 77); };
    EXPECT_EQ(get("plain"), 42u);
    EXPECT_EQ(get("letters"), 77u);
    EXPECT_EQ(get("huge"), 0u);
    EXPECT_EQ(get("neg"), 4294967295u);
    EXPECT_EQ(get("plus"), 7u);
    EXPECT_EQ(get("empty"), 77u);
    EXPECT_EQ(get("comment"), 77u);
    EXPECT_EQ(get("hex"), 77u); // base 10: "0x10" stops at 'x'
    EXPECT_EQ(get("space"), 9u);
    EXPECT_EQ(get("missing"), 77u);
    EXPECT_EQ(read_ini_uint32(nullptr, "n", "plain", 3), 3u);
}

TEST(Environment, UnsetEmptyAndNullNamesGiveEmpty) {
    ::setenv("VELMORA_PLATFORM_TEST_VAR", "value 1", 1);
    EXPECT_EQ(environment_string("VELMORA_PLATFORM_TEST_VAR"), "value 1");
    ::unsetenv("VELMORA_PLATFORM_TEST_VAR");
    EXPECT_EQ(environment_string("VELMORA_PLATFORM_TEST_VAR"), "");
    EXPECT_EQ(environment_string(""), "");
    EXPECT_EQ(environment_string(nullptr), "");
}

TEST(SocketConventions, OnlyMinusOneIsInvalidAndOnlyAWholeSendIsFull) {
    EXPECT_TRUE(start_socket_runtime());
    stop_socket_runtime();
    EXPECT_FALSE(is_valid_socket_handle(invalid_socket_handle()));
    EXPECT_TRUE(is_valid_socket_handle(-2));
    EXPECT_TRUE(is_socket_error(-1));
    EXPECT_FALSE(is_full_socket_send(-1, 0));
    EXPECT_FALSE(is_full_socket_send(9, 10));
    close_socket_handle(-1); // must not touch descriptor -1
}

TEST(Clocks, NeverGoBackwardsAndAgree) {
    std::uint64_t last_ms = monotonic_milliseconds();
    std::uint64_t last_ns = host_time_nanoseconds();
    ASSERT_NE(last_ms, 0u);
    ASSERT_NE(last_ns, 0u);
    for (int i = 0; i < 100000; ++i) {
        const std::uint64_t ms = monotonic_milliseconds();
        const std::uint64_t ns = host_time_nanoseconds();
        ASSERT_GE(ms, last_ms);
        ASSERT_GE(ns, last_ns);
        last_ms = ms;
        last_ns = ns;
    }
    // Both read the monotonic clock here, so they agree to within a few milliseconds.
    const std::int64_t difference = static_cast<std::int64_t>(host_time_nanoseconds() / 1000000) -
                                    static_cast<std::int64_t>(monotonic_milliseconds());
    EXPECT_LE(std::llabs(difference), 5);
}

TEST(ModulePaths, SiblingOfThisExecutable) {
    const std::string sibling =
        module_sibling_path(reinterpret_cast<const void*>(&monotonic_milliseconds), "x.dylib");
    const std::string self = std::filesystem::canonical("/proc/self/exe").parent_path().string();
    // (Relative when the program was started by a relative path.)
    EXPECT_EQ(std::filesystem::canonical(std::filesystem::path(sibling).parent_path()).string(), self);
    EXPECT_EQ(std::filesystem::path(sibling).filename(), "x.dylib");
    EXPECT_EQ(module_sibling_path(nullptr, "x.dylib"), "x.dylib");
    EXPECT_EQ(module_sibling_path(&self, ""), "");
    EXPECT_EQ(module_sibling_path(&self, nullptr), "");
    EXPECT_EQ(module_sibling_path_wide(nullptr, L"x.dylib"), L"x.dylib");
    EXPECT_EQ(module_sibling_path_wide(&self, L""), L"");
    const std::wstring wide =
        module_sibling_path_wide(reinterpret_cast<const void*>(&monotonic_milliseconds), L"x.dylib");
    EXPECT_EQ(wide, std::wstring(sibling.begin(), sibling.end()));
}

namespace {
std::wstring test_library_path() {
    const std::string path = VELMORA_TEST_LIBRARY_PATH;
    return std::wstring(path.begin(), path.end());
}
} // namespace

TEST(DynamicLibrary, LoadsResolvesAndFindsItsSibling) {
    void* handle = load_dynamic_library(test_library_path());
    ASSERT_NE(handle, nullptr);
    auto answer = reinterpret_cast<int (*)()>(load_dynamic_symbol(handle, "velmora_test_answer"));
    ASSERT_NE(answer, nullptr);
    EXPECT_EQ(answer(), 42);
    EXPECT_EQ(load_dynamic_symbol(handle, "no_such_symbol"), nullptr);
    EXPECT_EQ(load_dynamic_symbol(handle, ""), nullptr);
    EXPECT_EQ(load_dynamic_symbol(handle, nullptr), nullptr);
    EXPECT_EQ(load_dynamic_symbol(nullptr, "velmora_test_answer"), nullptr);

    // The library asks where it lives itself: the answer is its own folder, not the test's.
    auto sibling =
        reinterpret_cast<void (*)(char*, unsigned)>(load_dynamic_symbol(handle, "velmora_test_sibling"));
    ASSERT_NE(sibling, nullptr);
    char buffer[4096];
    sibling(buffer, sizeof buffer);
    EXPECT_EQ(std::filesystem::path(buffer),
              std::filesystem::path(VELMORA_TEST_LIBRARY_PATH).parent_path() / "x.dylib");
    unload_dynamic_library(handle);
    unload_dynamic_library(nullptr);
}

// A library installed in a folder with a non-ASCII name finds and loads its sibling through the
// wide path, as the engine host finds the engine library.
TEST(DynamicLibrary, WideSiblingPathsSurviveNonAsciiFolders) {
    const std::filesystem::path folder = std::filesystem::temp_directory_path() /
                                         ("velmora-pl\xC3\xA4tze-\xE9\x9F\xB3-" + std::to_string(::getpid()));
    std::filesystem::create_directories(folder);
    std::filesystem::copy_file(VELMORA_TEST_LIBRARY_PATH, folder / "a.so",
                               std::filesystem::copy_options::overwrite_existing);
    std::filesystem::copy_file(VELMORA_TEST_LIBRARY_PATH, folder / "b.so",
                               std::filesystem::copy_options::overwrite_existing);
    const std::string temp = std::filesystem::temp_directory_path().string();
    const std::wstring wide_folder = std::wstring(temp.begin(), temp.end()) +
                                     L"/velmora-pl\u00E4tze-\u97F3-" + std::to_wstring(::getpid());
    void* first = load_dynamic_library(wide_folder + L"/a.so");
    ASSERT_NE(first, nullptr) << "the folder's wide name encodes back to its UTF-8 bytes";
    auto load_sibling = reinterpret_cast<void* (*)(const wchar_t*)>(
        load_dynamic_symbol(first, "velmora_test_load_sibling_wide"));
    ASSERT_NE(load_sibling, nullptr);
    void* second = load_sibling(L"b.so");
    EXPECT_NE(second, nullptr);
    unload_dynamic_library(second);
    unload_dynamic_library(first);
    std::filesystem::remove_all(folder);
}

TEST(DynamicLibrary, RefusesEmptyMissingAndInvalidCodePoints) {
    EXPECT_EQ(load_dynamic_library(L""), nullptr);
    EXPECT_EQ(load_dynamic_library(L"/nonexistent/libnothing.so"), nullptr);
    std::wstring surrogate = test_library_path();
    surrogate.push_back(static_cast<wchar_t>(0xD800));
    EXPECT_EQ(load_dynamic_library(surrogate), nullptr);
    EXPECT_EQ(load_dynamic_library(std::wstring(1, static_cast<wchar_t>(0xDFFF))), nullptr);
    EXPECT_EQ(load_dynamic_library(std::wstring(1, static_cast<wchar_t>(0x110000))), nullptr);
}

TEST(DynamicLibrary, Utf8ConversionBoundaries) {
    std::string utf8;
    ASSERT_TRUE(wide_path_to_utf8(std::wstring{L'a', wchar_t(0x7F), wchar_t(0x80), wchar_t(0x7FF),
                                               wchar_t(0x800), wchar_t(0xD7FF), wchar_t(0xE000),
                                               wchar_t(0xFFFF), wchar_t(0x10000), wchar_t(0x10FFFF)},
                                  utf8));
    EXPECT_EQ(utf8, "a\x7F\xC2\x80\xDF\xBF\xE0\xA0\x80\xED\x9F\xBF\xEE\x80\x80\xEF\xBF\xBF\xF0\x90\x80\x80"
                    "\xF4\x8F\xBF\xBF");
    EXPECT_FALSE(wide_path_to_utf8(std::wstring(1, wchar_t(0xDBFF)), utf8));
    EXPECT_TRUE(utf8.empty());
}
