#include <velmora/debug_tool/debug_tool.h>

#include <velmora/debug_tool/server_stats_printer.h>

#include <cerrno>
#include <cstring>
#include <ctime>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace VelmoraCore {

const char kDebugToolUsage[] = "Usage:\n"
                               "  velmora_macos_debug --server\n"
                               "\n"
                               "Default mode is --server.\n";

DebugToolMode parse_debug_tool_arguments(int argc, const char* const* argv) {
    for (int i = 1; i < argc; ++i) {
        if (argv[i] == nullptr || std::strcmp(argv[i], "--server") != 0) {
            return DebugToolMode::usage;
        }
    }
    return DebugToolMode::server_stats;
}

namespace {

void sleep_microseconds(std::uint32_t microseconds) {
    timespec remaining{static_cast<time_t>(microseconds / 1000000), static_cast<long>(microseconds % 1000000) * 1000};
    while (::nanosleep(&remaining, &remaining) != 0 && errno == EINTR) {
    }
}

void print_version_mismatch(std::FILE* err) {
    std::fputs("Velmora server debug mapping has unexpected version/signature.\n", err);
    std::fflush(err);
}

} // namespace

int run_server_stats_mode(const ServerStatsWatch& watch, std::FILE* out, std::FILE* err) {
    const int fd = ::shm_open(watch.mapping_name, O_RDONLY, 0);
    if (fd < 0) {
        std::fprintf(err, "Velmora server debug mapping is not available. Start the CoreAudio driver first. errno=%d\n",
                     errno);
        std::fflush(err);
        return 1;
    }
    // An object shorter than the record (another program's, or one still being created) would
    // fault on the first read past its end: refuse it like a foreign record.
    struct stat info{};
    if (::fstat(fd, &info) != 0 || info.st_size < static_cast<off_t>(VelmoraDebug::kSharedStatsSize)) {
        print_version_mismatch(err);
        ::close(fd);
        return 1;
    }
    void* mapped = ::mmap(nullptr, VelmoraDebug::kSharedStatsSize, PROT_READ, MAP_SHARED, fd, 0);
    if (mapped == MAP_FAILED) {
        std::fprintf(err, "Map Velmora server debug mapping failed. errno=%d\n", errno);
        std::fflush(err);
        ::close(fd);
        return 1;
    }
    const auto* record = static_cast<const VelmoraDebug::SharedStats*>(mapped);
    const VelmoraDebug::SharedStats first = read_shared_stats(*record);
    if (first.signature != VelmoraDebug::kSharedStatsSignature || first.version != VelmoraDebug::kSharedStatsVersion) {
        print_version_mismatch(err);
        ::munmap(mapped, VelmoraDebug::kSharedStatsSize);
        ::close(fd);
        return 1;
    }
    std::fputs("VelmoraDebug attached to server stats. Press Ctrl+C to exit.\n", out);
    std::fflush(out);
    // The mapping stays valid after the plug-in unlinks the name; the last values keep printing.
    for (std::uint64_t line = 0; watch.max_lines == 0 || line < watch.max_lines; ++line) {
        print_server_stats(out, read_shared_stats(*record));
        if (watch.max_lines != 0 && line + 1 == watch.max_lines) {
            break;
        }
        sleep_microseconds(watch.interval_us);
    }
    ::munmap(mapped, VelmoraDebug::kSharedStatsSize);
    ::close(fd);
    return 0;
}

int run_debug_tool(int argc, const char* const* argv, std::FILE* out, std::FILE* err) {
    if (parse_debug_tool_arguments(argc, argv) == DebugToolMode::usage) {
        std::fputs(kDebugToolUsage, out);
        std::fflush(out);
        return 1;
    }
    ServerStatsWatch watch;
    watch.mapping_name = VelmoraDebug::kPosixSharedMappingName;
    return run_server_stats_mode(watch, out, err);
}

} // namespace VelmoraCore
