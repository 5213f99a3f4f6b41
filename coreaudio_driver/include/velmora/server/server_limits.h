// Fixed dimensions of the server's virtual device and its network paths. Every buffer the IO
// thread touches is sized from these before IO starts.
#pragma once

#include <cstddef>
#include <cstdint>

namespace VelmoraCore {

// Channels of each device stream; every client channel map is validated against this.
inline constexpr std::size_t kServerDeviceChannels = 32;
// Largest block the device runtime carries (the device's buffer frame size range ends here).
inline constexpr std::size_t kServerMaxBlockFrames = 4096;
// Output blocks waiting between the IO thread and the network thread.
inline constexpr std::size_t kServerOutputSnapshotSlots = 8;
// Client input blocks the device can hold ahead of (and including) the block it reads next.
inline constexpr std::size_t kServerInputRingBlocks = 64;
// Input blocks of one client that can be under reassembly at once.
inline constexpr std::size_t kServerAssemblySlots = 8;
// Datagrams read per network tick; bounds each tick's work.
inline constexpr std::uint32_t kServerMaxPacketsPerTick = 64;
// The server thread's default pause between ticks, in microseconds.
inline constexpr std::uint32_t kServerTickPeriodMicroseconds = 1000;
// Client silence after which a client is dropped, when the configuration says 0.
inline constexpr std::uint32_t kServerDefaultClientTimeoutMs = 5000;

} // namespace VelmoraCore
