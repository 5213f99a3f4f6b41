// Socket conventions shared by engine and plug-in: a socket handle is a signed 64-bit integer
// holding a POSIX descriptor, -1 is the invalid handle, a negative call result is an error, and a
// datagram either goes out whole or counts as failed. Any thread; none of these block.
#pragma once

#include <cstddef>

namespace VelmoraPlatform {

// Nothing to start on POSIX systems; kept so callers bracket their socket use the same way everywhere.
bool start_socket_runtime();
void stop_socket_runtime();

long invalid_socket_handle();
bool is_valid_socket_handle(long handle);
bool is_socket_error(int result);
bool is_full_socket_send(int sent, std::size_t expected);
void close_socket_handle(long handle);

// Flags for send/sendto that keep a closed peer from raising SIGPIPE (MSG_NOSIGNAL where it
// exists; elsewhere 0, and the socket is marked with SO_NOSIGPIPE by `suppress_sigpipe`).
int no_sigpipe_send_flags();
void suppress_sigpipe(long handle);

} // namespace VelmoraPlatform
