// Names of shared objects and ports that tests create, unique per process and call, so that
// parallel test runs never meet.
#pragma once

#include <atomic>
#include <string>

#include <unistd.h>

namespace VelmoraTest {

inline std::string unique_shared_name(const std::string& prefix) {
    static std::atomic<int> counter{0};
    return "/" + prefix + "_" + std::to_string(::getpid()) + "_" + std::to_string(counter++);
}

} // namespace VelmoraTest
