#include <os/log.h>
#include <velmora_compat/os_log_capture.h>

#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

namespace {

using VelmoraCompat::OsLogCapture;

TEST(OsLog, PublicStringsShowOtherDynamicStringsAreRedactedAndFormatsApply) {
    OsLogCapture capture;
    const char* address = "127.0.0.1";
    const unsigned port = 28010;
    os_log_info(OS_LOG_DEFAULT, "VelmoraCoreAudio UDP network server started on %{public}s:%u", address, port);
    os_log_error(OS_LOG_DEFAULT, "VelmoraCoreAudio failed to start UDP network server on %s:%u", address, port);
    os_log(OS_LOG_DEFAULT, "secret %{private}u, plain %d, %{public}s", port, -3, "shown");
    os_log(OS_LOG_DEFAULT, "[%5d|%-4u|%08.3f|%llu|%zu|%x|%c|%.*s|%%]", 42, 7u, 3.14159, 18446744073709551615ull,
           static_cast<std::size_t>(12), 255u, 'v', 3, "abcdef");
    os_log(OS_LOG_DEFAULT, "%{public}s", static_cast<const char*>(nullptr));
    const std::vector<std::string> expected = {
        "VelmoraCoreAudio UDP network server started on 127.0.0.1:28010",
        "VelmoraCoreAudio failed to start UDP network server on <private>:28010",
        "secret <private>, plain -3, shown",
        "[   42|7   |0003.142|18446744073709551615|12|ff|v|<private>|%]",
        "(null)",
    };
    EXPECT_EQ(capture.messages(), expected);
    const auto entries = capture.entries();
    ASSERT_EQ(entries.size(), 5u);
    EXPECT_EQ(std::tuple(entries[0].type, entries[1].type, entries[2].type),
              std::tuple(OS_LOG_TYPE_INFO, OS_LOG_TYPE_ERROR, OS_LOG_TYPE_DEFAULT));
}

TEST(OsLog, DisabledTypesAndTheDisabledLogSkipArgumentsEntirely) {
    OsLogCapture capture;
    int evaluated = 0;
    auto count = [&] { return ++evaluated; };
    os_log_fault(OS_LOG_DISABLED, "%d", count());
    os_log_debug(OS_LOG_DEFAULT, "%d", count());
    VelmoraCompat::set_os_log_type_enabled(OS_LOG_TYPE_ERROR, false);
    os_log_error(OS_LOG_DEFAULT, "%d", count());
    VelmoraCompat::reset_os_log_types();
    EXPECT_TRUE(os_log_type_enabled(OS_LOG_DEFAULT, OS_LOG_TYPE_ERROR));
    EXPECT_EQ(evaluated, 0);
    EXPECT_TRUE(capture.messages().empty());
}

TEST(OsLog, WritesTypedLinesWithSubsystemAndCategoryToStandardError) {
    testing::internal::CaptureStderr();
    os_log_error(OS_LOG_DEFAULT, "VelmoraCoreAudio invalid network bind address: %{public}s", "localhost");
    os_log_t log = os_log_create("com.example", "io");
    EXPECT_EQ(log, os_log_create("com.example", "io"));
    os_log_error(log, "late");
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "Error: VelmoraCoreAudio invalid network bind address: localhost\nError [com.example:io]: late\n");
}

} // namespace
