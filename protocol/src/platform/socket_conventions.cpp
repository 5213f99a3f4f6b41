#include <velmora/platform/socket_conventions.h>

#include <sys/socket.h>
#include <unistd.h>

namespace VelmoraPlatform {

bool start_socket_runtime() { return true; }

void stop_socket_runtime() {}

long invalid_socket_handle() { return -1; }

bool is_valid_socket_handle(long handle) { return handle != -1; }

bool is_socket_error(int result) { return result < 0; }

bool is_full_socket_send(int sent, std::size_t expected) {
    return sent >= 0 && static_cast<std::size_t>(sent) == expected;
}

void close_socket_handle(long handle) {
    if (handle != -1) {
        ::close(static_cast<int>(handle));
    }
}

int no_sigpipe_send_flags() {
#ifdef MSG_NOSIGNAL
    return MSG_NOSIGNAL;
#else
    return 0;
#endif
}

void suppress_sigpipe(long handle) {
#ifdef SO_NOSIGPIPE
    if (handle != -1) {
        int on = 1;
        ::setsockopt(static_cast<int>(handle), SOL_SOCKET, SO_NOSIGPIPE, &on, sizeof on);
    }
#else
    (void)handle;
#endif
}

} // namespace VelmoraPlatform
