#include <velmora/engine_host/engine_host_socket.h>

#include <velmora/platform/socket_conventions.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace VelmoraMac {
namespace {

constexpr std::size_t kMaxSocketPathBytes = 103;
constexpr int kAcceptWaitMs = 250;
constexpr std::size_t kReplyChunkBytes = 512;

void report_error(const char* prefix) {
    const int error = errno;
    std::fprintf(stderr, "%s%s\n", prefix, std::strerror(error));
}

sockaddr_un address_of(const std::string& path) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path.data(), path.size());
    return address;
}

int open_stream_socket() {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    if (fd >= 0) {
        ::fcntl(fd, F_SETFD, FD_CLOEXEC);
    }
    return fd;
}

void prepare_connection(int fd) {
    VelmoraPlatform::suppress_sigpipe(fd);
    const timeval one_second{1, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &one_second, sizeof one_second);
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &one_second, sizeof one_second);
}

bool send_all(int fd, const char* data, std::size_t size) {
    std::size_t sent = 0;
    while (sent < size) {
        const ssize_t n = ::send(fd, data + sent, size - sent, VelmoraPlatform::no_sigpipe_send_flags());
        if (n > 0) {
            sent += static_cast<std::size_t>(n);
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else {
            return false;
        }
    }
    return true;
}

// Reads one request. False when it gets no reply: nothing arrived, 256 bytes arrived without a
// line feed, or reading failed or timed out before the request was complete.
bool receive_request(int fd, std::string& command_bytes) {
    char buffer[VelmoraEngineHostProtocol::kMaxRequestBytes];
    std::size_t received = 0;
    while (received < sizeof buffer) {
        const ssize_t n = ::recv(fd, buffer + received, sizeof buffer - received, 0);
        if (n > 0) {
            const void* line_feed = std::memchr(buffer + received, '\n', static_cast<std::size_t>(n));
            received += static_cast<std::size_t>(n);
            if (line_feed != nullptr) {
                break;
            }
        } else if (n == 0) {
            break;
        } else if (errno != EINTR) {
            return false;
        }
    }
    if (received == 0) {
        return false;
    }
    const void* line_feed = std::memchr(buffer, '\n', received);
    if (line_feed == nullptr && received == sizeof buffer) {
        return false;
    }
    const std::size_t length =
        line_feed != nullptr ? static_cast<std::size_t>(static_cast<const char*>(line_feed) - buffer) : received;
    command_bytes.assign(buffer, length);
    return true;
}

struct PathIdentity {
    dev_t device = 0;
    ino_t inode = 0;
};

// Removes the socket file only while it is still the one this server bound.
void unlink_own_socket(const std::string& path, const PathIdentity& identity) {
    struct stat info {};
    if (::lstat(path.c_str(), &info) == 0 && S_ISSOCK(info.st_mode) && info.st_dev == identity.device &&
        info.st_ino == identity.inode) {
        ::unlink(path.c_str());
    }
}

bool is_transient_accept_error(int error) {
    return error == EINTR || error == EAGAIN || error == EWOULDBLOCK || error == ECONNABORTED;
}

} // namespace

std::string default_engine_host_socket_path() { return std::string("/tmp/") + "velmora-engine-host.sock"; }

std::string engine_host_socket_path_for_client(unsigned client_id) {
    return "/tmp/velmora-engine-host_" + std::to_string(client_id) + ".sock";
}

bool serve_engine_host_socket(const std::string& path, bool serve_once,
                              VelmoraEngineHostProtocol::GetStateCallback get_state, void* state_context,
                              ShouldContinueCallback should_continue, void* continue_context) {
    if (path.empty() || path.size() > kMaxSocketPathBytes) {
        std::fputs("Invalid socket path\n", stderr);
        return false;
    }
    const int listener = open_stream_socket();
    if (listener < 0) {
        report_error("socket failed: ");
        return false;
    }
    const sockaddr_un address = address_of(path);

    // Another server that answers on the path keeps it.
    const int probe = open_stream_socket();
    if (probe >= 0) {
        const bool alive = ::connect(probe, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
        ::close(probe);
        if (alive) {
            ::close(listener);
            return false;
        }
    }
    struct stat existing {};
    if (::lstat(path.c_str(), &existing) == 0) {
        if (!S_ISSOCK(existing.st_mode) || existing.st_uid != ::geteuid()) {
            std::fputs("Socket path is taken by something that is not this user's socket\n", stderr);
            ::close(listener);
            return false;
        }
        ::unlink(path.c_str());
    }

    if (::bind(listener, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        report_error("bind failed: ");
        ::close(listener);
        return false;
    }
    PathIdentity identity;
    struct stat bound {};
    if (::lstat(path.c_str(), &bound) == 0) {
        identity = {bound.st_dev, bound.st_ino};
    }
    ::chmod(path.c_str(), 0600);
    if (::listen(listener, 4) != 0) {
        report_error("listen failed: ");
        ::close(listener);
        unlink_own_socket(path, identity);
        return false;
    }
    // A client that gives up between the wait and the accept must not block the loop.
    ::fcntl(listener, F_SETFL, ::fcntl(listener, F_GETFL) | O_NONBLOCK);

    bool result = true;
    for (;;) {
        if (should_continue != nullptr && !should_continue(continue_context)) {
            break;
        }
        pollfd waiting{listener, POLLIN, 0};
        const int ready = ::poll(&waiting, 1, kAcceptWaitMs);
        if (ready < 0) {
            if (errno == EINTR) {
                continue;
            }
            report_error("select failed: ");
            result = false;
            break;
        }
        if (ready == 0) {
            continue;
        }
        const int connection = ::accept(listener, nullptr, nullptr);
        if (connection < 0) {
            if (is_transient_accept_error(errno)) {
                continue;
            }
            report_error("accept failed: ");
            result = false;
            break;
        }
        ::fcntl(connection, F_SETFD, FD_CLOEXEC);
        // Some systems hand the listener's non-blocking mode to accepted sockets.
        ::fcntl(connection, F_SETFL, ::fcntl(connection, F_GETFL) & ~O_NONBLOCK);
        prepare_connection(connection);

        bool answered = false;
        bool stop = false;
        std::string request;
        if (receive_request(connection, request)) {
            const VelmoraEngineHostProtocol::DispatchResult dispatched = VelmoraEngineHostProtocol::dispatch_command(
                VelmoraEngineHostProtocol::trim_command(request.data(), request.size()), get_state, state_context);
            answered = send_all(connection, dispatched.reply.data(), dispatched.reply.size());
            stop = dispatched.stop;
        }
        ::close(connection);
        if (answered && (stop || serve_once)) {
            break;
        }
    }
    ::close(listener);
    unlink_own_socket(path, identity);
    return result;
}

bool send_engine_host_socket_command(const std::string& path, const std::string& command, std::string& reply) {
    reply.clear();
    if (path.size() > kMaxSocketPathBytes) {
        std::fputs("Invalid socket path\n", stderr);
        return false;
    }
    const int fd = open_stream_socket();
    if (fd < 0) {
        report_error("socket failed: ");
        return false;
    }
    prepare_connection(fd);
    const sockaddr_un address = address_of(path);
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        report_error("connect failed: ");
        ::close(fd);
        return false;
    }
    if (!send_all(fd, command.data(), command.size())) {
        ::close(fd);
        return false;
    }
    ::shutdown(fd, SHUT_WR);
    bool ended = false;
    char chunk[kReplyChunkBytes];
    for (;;) {
        const ssize_t n = ::recv(fd, chunk, sizeof chunk, 0);
        if (n > 0) {
            reply.append(chunk, static_cast<std::size_t>(n));
        } else if (n == 0) {
            ended = true;
            break;
        } else if (errno != EINTR) {
            break;
        }
    }
    ::close(fd);
    return ended;
}

} // namespace VelmoraMac
