#pragma once

#include <cstdint>

namespace VelmoraCore {

// An IPv4 address and UDP port, both in host byte order.
struct Ipv4Endpoint {
    std::uint32_t address = 0;
    std::uint16_t port = 0;

    friend bool operator==(const Ipv4Endpoint&, const Ipv4Endpoint&) = default;
};

inline constexpr std::uint32_t kIpv4Loopback = 0x7F000001U;

} // namespace VelmoraCore
