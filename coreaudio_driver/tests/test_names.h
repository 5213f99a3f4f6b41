// Names of shared objects that tests create, unique per process and call, so parallel test runs
// never meet.
#pragma once

#include <atomic>
#include <string>

#include <unistd.h>

namespace VelmoraServerTest {

inline std::string unique_debug_mapping_name() {
    static std::atomic<int> counter{0};
    return "/VelmoraDebugStats_test_" + std::to_string(::getpid()) + "_" + std::to_string(counter++);
}

} // namespace VelmoraServerTest
