// One line of the server's live statistics, as velmora_macos_debug prints it four times a second.
#pragma once

#include <velmora/server/debug_shared_stats.h>

#include <cstdio>

namespace VelmoraCore {

// Copies a record that another process keeps writing, one 32-bit field at a time with atomic
// loads (so each field is whole, though fields may come from slightly different moments).
// Any thread; lock-free.
VelmoraDebug::SharedStats read_shared_stats(const VelmoraDebug::SharedStats& mapped);

// Prints one line for `stats` to `stream` (standard output when null) and flushes it:
//   server clients=%d calls=%d ... qosErr=%d/%d seqDelta=<%d or n/a> maxDelta=%d jump=%.6f maxJump=%.6f
// Any thread; writes to the stream.
void print_server_stats(std::FILE* stream, const VelmoraDebug::SharedStats& stats);

} // namespace VelmoraCore
