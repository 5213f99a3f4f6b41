// Helpers shared by the runtime tests: client ids unique per process and call, so the statistics
// blocks, sockets and lock files of parallel test runs never meet.
#pragma once

#include <atomic>
#include <cstdint>

#include <unistd.h>

namespace VelmoraRuntimeTest {

inline std::uint32_t unique_client_id() {
    static std::atomic<std::uint32_t> counter{0};
    const auto pid = static_cast<std::uint32_t>(::getpid()) % 4000000u;
    return pid * 1000u + counter.fetch_add(1) % 1000u + 1u;
}

} // namespace VelmoraRuntimeTest
