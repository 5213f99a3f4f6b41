#include <velmora/test_support/machine_lock.h>

#include <thread>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace VelmoraTest {

MachineLock::MachineLock(const std::string& name, std::chrono::seconds timeout) {
    fd_ = ::open(("/tmp/" + name + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    if (fd_ < 0) {
        return;
    }
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!(held_ = ::flock(fd_, LOCK_EX | LOCK_NB) == 0) && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
}

MachineLock::~MachineLock() {
    if (fd_ >= 0) {
        ::close(fd_); // releases the lock
    }
}

} // namespace VelmoraTest
