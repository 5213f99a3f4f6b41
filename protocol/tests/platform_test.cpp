#include <velmora/platform/clocks.h>
#include <velmora/platform/dynamic_library.h>
#include <velmora/platform/ini_file.h>
#include <velmora/platform/module_paths.h>

#include <gtest/gtest.h>

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
    std::string get(const char* section, const char* key) const {
        return read_ini_string(path(), section, key, "DEFAULT");
    }

private:
    static inline int counter_ = 0;
    std::filesystem::path path_;
};

const std::string kLibrary = VELMORA_TEST_LIBRARY_PATH;

} // namespace

TEST(IniReader, MissingFileOrArgumentsGiveTheDefaultAndWritingIsRefused) {
    EXPECT_EQ(read_ini_string("/nonexistent/velmora.ini", "a", "b", "fallback"), "fallback");
    EXPECT_EQ(read_ini_string("/nonexistent/velmora.ini", "a", "b", nullptr), "");
    IniFile file("[a]\nb=1\n");
    EXPECT_EQ(read_ini_string(nullptr, "a", "b", "d"), "d");
    EXPECT_EQ(read_ini_string(file.path(), nullptr, "b", "d"), "d");
    EXPECT_FALSE(write_ini_string(file.path(), "a", "b", "2"));
    EXPECT_EQ(file.get("a", "b"), "1");
}

TEST(IniReader, WhitespaceCaseFirstMatchAndComments) {
    IniFile file("top=0\n# comment=1\n; comment=2\n[]\n[broken\n"
                 "[s]\r\n \t key \t = \t value \r\nempty=\n\vvt=1\nff=\f2\nkey = 5\nnote = 5 ; x\na=b=c\n"
                 "[Audio]\nKey=1\nkey=2\nkey=3\n[Audio]\nother=4\n[audio]\nkey=5\n");
    const struct {
        const char* section;
        const char* key;
        const char* value;
    } cases[] = {
        {"", "top", "0"},
        {"", "# comment", "DEFAULT"},
        {"s", "key", "value"}, // only space, tab, CR and LF are trimmed; the first match wins
        {"s", "empty", ""},    // found, not defaulted
        {"s", "vt", "DEFAULT"},
        {"s", "\vvt", "1"},
        {"s", "ff", "\f2"},
        {"s", "a", "b=c"},
        {"s", "note", "5 ; x"}, // no inline comments
        {"s", "top", "DEFAULT"},
        {"Audio", "Key", "1"},
        {"Audio", "key", "2"},
        {"Audio", "other", "4"}, // a repeated section is searched too
        {"audio", "key", "5"},
        {"audio", "Key", "DEFAULT"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(file.get(c.section, c.key), c.value) << "[" << c.section << "] " << c.key;
    }
}

TEST(IniReader, Uint32FollowsStrtoulRules) {
    IniFile file("[n]\nplain=42\nletters=42abc\nhuge=4294967296\nneg=-1\nplus=+7\n"
                 "empty=\nhex=0x10\nspace= 9 \n");
    const std::pair<const char*, std::uint32_t> cases[] = {
        {"plain", 42},      {"letters", 77}, {"huge", 0}, {"neg", 4294967295u}, {"plus", 7},
        {"empty", 77},      {"hex", 77}, // base 10: "0x10" stops at 'x'
        {"space", 9},       {"missing", 77},
    };
    for (const auto& [key, expected] : cases) {
        EXPECT_EQ(read_ini_uint32(file.path(), "n", key, 77), expected) << key;
    }
}

TEST(Clocks, NeverGoBackwardsAndAgree) {
    std::uint64_t last_ms = monotonic_milliseconds();
    std::uint64_t last_ns = host_time_nanoseconds();
    for (int i = 0; i < 100000; ++i) {
        const std::uint64_t ms = monotonic_milliseconds();
        const std::uint64_t ns = host_time_nanoseconds();
        ASSERT_GE(ms, last_ms);
        ASSERT_GE(ns, last_ns);
        last_ms = ms;
        last_ns = ns;
    }
    const std::int64_t difference = static_cast<std::int64_t>(host_time_nanoseconds() / 1000000) -
                                    static_cast<std::int64_t>(monotonic_milliseconds());
    EXPECT_LE(std::llabs(difference), 5);
}

TEST(ModulePaths, SiblingOfThisExecutable) {
    const std::string sibling =
        module_sibling_path(reinterpret_cast<const void*>(&monotonic_milliseconds), "x.dylib");
    const std::string self = std::filesystem::canonical("/proc/self/exe").parent_path().string();
    EXPECT_EQ(std::filesystem::canonical(std::filesystem::path(sibling).parent_path()).string(), self);
    EXPECT_EQ(std::filesystem::path(sibling).filename(), "x.dylib");
    EXPECT_EQ(module_sibling_path(nullptr, "x.dylib"), "x.dylib");
    EXPECT_EQ(module_sibling_path(&self, nullptr), "");
    const std::wstring wide =
        module_sibling_path_wide(reinterpret_cast<const void*>(&monotonic_milliseconds), L"x.dylib");
    EXPECT_EQ(wide, std::wstring(sibling.begin(), sibling.end()));
}

TEST(DynamicLibrary, LoadsResolvesAndFindsItsSibling) {
    void* handle = load_dynamic_library(std::wstring(kLibrary.begin(), kLibrary.end()));
    ASSERT_NE(handle, nullptr);
    auto answer = reinterpret_cast<int (*)()>(load_dynamic_symbol(handle, "velmora_test_answer"));
    ASSERT_NE(answer, nullptr);
    EXPECT_EQ(answer(), 42);
    EXPECT_EQ(load_dynamic_symbol(handle, "no_such_symbol"), nullptr);
    EXPECT_EQ(load_dynamic_symbol(nullptr, "velmora_test_answer"), nullptr);
    // The library asks where it lives itself: the answer is its own folder, not the test's.
    auto sibling =
        reinterpret_cast<void (*)(char*, unsigned)>(load_dynamic_symbol(handle, "velmora_test_sibling"));
    ASSERT_NE(sibling, nullptr);
    char buffer[4096];
    sibling(buffer, sizeof buffer);
    EXPECT_EQ(std::filesystem::path(buffer), std::filesystem::path(kLibrary).parent_path() / "x.dylib");
    unload_dynamic_library(handle);
}

// A library installed in a folder with a non-ASCII name finds and loads its sibling through the
// wide path, as the engine host finds the engine library; invalid code points load nothing.
TEST(DynamicLibrary, WidePathsSurviveNonAsciiFoldersAndRefuseInvalidCodePoints) {
    const std::filesystem::path folder = std::filesystem::temp_directory_path() /
                                         ("velmora-pl\xC3\xA4tze-\xE9\x9F\xB3-" + std::to_string(::getpid()));
    std::filesystem::create_directories(folder);
    for (const char* name : {"a.so", "b.so"}) {
        std::filesystem::copy_file(kLibrary, folder / name, std::filesystem::copy_options::overwrite_existing);
    }
    const std::string temp = std::filesystem::temp_directory_path().string();
    const std::wstring wide_folder = std::wstring(temp.begin(), temp.end()) + L"/velmora-pl\u00E4tze-\u97F3-" +
                                     std::to_wstring(::getpid());
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

    EXPECT_EQ(load_dynamic_library(L""), nullptr);
    EXPECT_EQ(load_dynamic_library(std::wstring(kLibrary.begin(), kLibrary.end()) + wchar_t(0xD800)), nullptr);
    EXPECT_EQ(load_dynamic_library(std::wstring(1, wchar_t(0x110000))), nullptr);
    std::string utf8;
    ASSERT_TRUE(wide_path_to_utf8(std::wstring{L'a', wchar_t(0x7F), wchar_t(0x80), wchar_t(0x7FF), wchar_t(0x800),
                                               wchar_t(0xD7FF), wchar_t(0xE000), wchar_t(0xFFFF), wchar_t(0x10000),
                                               wchar_t(0x10FFFF)},
                                  utf8));
    EXPECT_EQ(utf8, "a\x7F\xC2\x80\xDF\xBF\xE0\xA0\x80\xED\x9F\xBF\xEE\x80\x80\xEF\xBF\xBF\xF0\x90\x80\x80"
                    "\xF4\x8F\xBF\xBF");
    EXPECT_FALSE(wide_path_to_utf8(std::wstring(1, wchar_t(0xDBFF)), utf8));
    EXPECT_TRUE(utf8.empty());
}
