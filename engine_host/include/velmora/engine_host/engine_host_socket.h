// Both ends of the engine host's command socket (protocol in engine_host_protocol.h).
//
// The server handles one connection at a time on the calling thread: it waits for a connection in
// slices of 250 ms, asking `should_continue` before each wait, applies 1-second send and receive
// time-outs to each connection, and ends after a fully answered "STOP" (or after the first fully
// answered command with `serve_once`). The socket file exists only while serving; it is created
// with mode 0600.
//
// What may already sit at the path is inspected without following links: a live server there
// makes the new one give up; a stale socket of this user is replaced; anything else (a file, a
// directory, a symbolic link, another user's socket) is left alone and the server gives up.
//
// Failures are written to standard error as one line: "Invalid socket path", or a prefix such as
// "bind failed: " followed by the system's text for the error.
#pragma once

#include <velmora/engine_host/engine_host_protocol.h>

#include <string>

namespace VelmoraMac {

using ShouldContinueCallback = bool (*)(void* context);

// Main thread; blocks until the server ends. True when it ended normally (STOP, `serve_once`, or
// `should_continue` returning false), false when it could not start or failed while serving.
bool serve_engine_host_socket(const std::string& path, bool serve_once,
                              VelmoraEngineHostProtocol::GetStateCallback get_state, void* state_context,
                              ShouldContinueCallback should_continue, void* continue_context);

// "/tmp/velmora-engine-host.sock".
std::string default_engine_host_socket_path();
// "/tmp/velmora-engine-host_<client id>.sock".
std::string engine_host_socket_path_for_client(unsigned client_id);

// Any thread; blocks up to about a second per step. Sends `command` exactly as given (no line
// feed added), half-closes, and reads the reply to end of stream. True when every byte went out
// and the reply ended with end of stream (not an error or time-out).
bool send_engine_host_socket_command(const std::string& path, const std::string& command, std::string& reply);

} // namespace VelmoraMac
