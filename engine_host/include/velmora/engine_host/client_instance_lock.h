// One engine host per client id: an exclusive, non-blocking flock on
// "/tmp/velmora-engine-host_<client id>.lock", held until the object (or the process) ends. The
// file itself stays; only the lock dies with its holder.
#pragma once

#include <cstdint>
#include <string>

namespace VelmoraMac {

class ClientInstanceLock {
public:
    ClientInstanceLock() = default;
    ~ClientInstanceLock();
    ClientInstanceLock(const ClientInstanceLock&) = delete;
    ClientInstanceLock& operator=(const ClientInstanceLock&) = delete;

    // Main thread; system calls, never blocks on the lock. Opens the file without following a
    // symbolic link (mode 0600 when created); it must be a regular file owned by this user and the
    // lock must be free. False otherwise, with nothing held.
    bool acquire(const std::string& path);
    bool held() const { return fd_ >= 0; }

    static std::string path_for_client(std::uint32_t client_id);

private:
    int fd_ = -1;
};

} // namespace VelmoraMac
