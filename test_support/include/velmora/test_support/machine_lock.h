// A lock shared by every process on the machine, for tests that use a name fixed by the product
// (the server's statistics record): CTest's resource lock orders one test run, this one also
// orders runs in other build trees. Held from construction to destruction.
#pragma once

#include <chrono>
#include <string>

namespace VelmoraTest {

class MachineLock {
public:
    // Waits for the lock named `name` (a file in /tmp) at most `timeout`; `held()` says whether
    // it was taken.
    explicit MachineLock(const std::string& name, std::chrono::seconds timeout = std::chrono::seconds(240));
    ~MachineLock();
    MachineLock(const MachineLock&) = delete;
    MachineLock& operator=(const MachineLock&) = delete;

    bool held() const { return held_; }

private:
    int fd_ = -1;
    bool held_ = false;
};

} // namespace VelmoraTest
