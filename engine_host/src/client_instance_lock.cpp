#include <velmora/engine_host/client_instance_lock.h>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace VelmoraMac {

ClientInstanceLock::~ClientInstanceLock() {
    if (fd_ >= 0) {
        ::close(fd_);
    }
}

bool ClientInstanceLock::acquire(const std::string& path) {
    if (fd_ >= 0) {
        return true;
    }
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) {
        return false;
    }
    struct stat info {};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || info.st_uid != ::geteuid() ||
        ::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        ::close(fd);
        return false;
    }
    fd_ = fd;
    return true;
}

std::string ClientInstanceLock::path_for_client(std::uint32_t client_id) {
    return "/tmp/velmora-engine-host_" + std::to_string(client_id) + ".lock";
}

} // namespace VelmoraMac
