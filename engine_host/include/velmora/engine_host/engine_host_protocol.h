// The engine host's command protocol: one text command per connection on a UNIX-domain stream
// socket, answered with one line of JSON.
//
// Framing (the server side is serve_engine_host_socket, engine_host_socket.h): the client sends
// the command and either ends it with a line feed or half-closes its sending side. The server
// reads at most 256 bytes; the command is the bytes before the first line feed (or all of them at
// end of stream). An empty request, 256 bytes without a line feed, or a request cut short by the
// 1-second receive time-out get no reply: the server just closes the connection.
//
// Commands (case-sensitive, exact after trimming): "GET_STATE" replies with the engine state,
// "STOP" replies {"ok":true} and ends the server. Anything else replies
// {"ok":false,"error":"unknown command"}.
//
// Every function here is pure (no state between calls), allocates, and may run on any thread.
#pragma once

#include <velmora/engine/velmora_engine.h>

#include <cstddef>
#include <string>

namespace VelmoraEngineHostProtocol {

inline constexpr const char* kCommandGetState = "GET_STATE";
inline constexpr const char* kCommandStop = "STOP";
// The most a server reads of one request.
inline constexpr std::size_t kMaxRequestBytes = 256;

// Fills `state` and returns true, or returns false when the state cannot be read.
using GetStateCallback = bool (*)(void* user_data, VelmoraEngineState& state);

struct DispatchResult {
    bool stop = false;   // true only for "STOP"
    std::string reply;   // one line of JSON ending with "\n"
};

// Removes trailing NUL, tab, line feed, carriage return and space bytes, then leading spaces and
// tabs; nothing else changes. A null `data` gives an empty command.
std::string trim_command(const char* data, unsigned long length);

// The reply to one (already trimmed) command. `get_state` may be null ("get_state failed").
DispatchResult dispatch_command(const std::string& command, GetStateCallback get_state, void* user_data);

// {"ok":false,"error":"<message escaped as a JSON string>"} and a line feed; a null or empty
// message gives an empty error text.
std::string error_json(const char* message);

// The GET_STATE reply for a state record.
std::string state_json(const VelmoraEngineState& state);

// Name tables of the state reply. Keys 1..52 give their text, anything else "". Event types 1..5
// give their name, anything else "none". Reasons 0..12 give their name, anything larger "unknown".
const char* message_key_to_text(unsigned key);
const char* recovery_event_type_name(unsigned type);
const char* health_reason_name(unsigned reason);

// Appends ,"<name>":[{"driverChannel":..,"peakMilli":..},...] with the first min(count, 32) levels.
void append_channel_levels_json(std::string& out, const char* name, const VelmoraEngineChannelLevel* levels,
                                unsigned count);

} // namespace VelmoraEngineHostProtocol
