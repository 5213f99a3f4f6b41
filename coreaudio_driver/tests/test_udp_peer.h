// A UDP socket on 127.0.0.1 standing in for a client engine (or a stranger) in tests.
#pragma once

#include <velmora/protocol/packet_formats.h>
#include <velmora/server/ipv4_endpoint.h>

#include <chrono>
#include <cstdint>
#include <optional>
#include <vector>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace VelmoraServerTest {

class TestUdpPeer {
public:
    // Binds 127.0.0.1 on `port` (0: any free port).
    explicit TestUdpPeer(std::uint16_t port = 0) {
        fd_ = ::socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(VelmoraCore::kIpv4Loopback);
        address.sin_port = htons(port);
        bound_ = fd_ >= 0 && ::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
        socklen_t length = sizeof address;
        if (bound_ && ::getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
            port_ = ntohs(address.sin_port);
        }
    }
    ~TestUdpPeer() {
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }
    TestUdpPeer(const TestUdpPeer&) = delete;
    TestUdpPeer& operator=(const TestUdpPeer&) = delete;

    bool bound() const { return bound_; }
    std::uint16_t port() const { return port_; }
    VelmoraCore::Ipv4Endpoint endpoint() const { return {VelmoraCore::kIpv4Loopback, port_}; }

    bool send_to(const void* data, std::size_t size, const VelmoraCore::Ipv4Endpoint& to) const {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(to.address);
        address.sin_port = htons(to.port);
        return ::sendto(fd_, data, size, 0, reinterpret_cast<sockaddr*>(&address), sizeof address) ==
               static_cast<ssize_t>(size);
    }
    bool send_to(const VelmoraProtocol::PacketBytes& packet, const VelmoraCore::Ipv4Endpoint& to) const {
        return send_to(packet.data(), packet.size(), to);
    }

    // The next datagram, or nothing after `timeout`.
    std::optional<VelmoraProtocol::PacketBytes> receive(std::chrono::milliseconds timeout) const {
        pollfd waiting{fd_, POLLIN, 0};
        if (::poll(&waiting, 1, static_cast<int>(timeout.count())) != 1) {
            return std::nullopt;
        }
        VelmoraProtocol::PacketBytes packet(65536);
        const ssize_t received = ::recv(fd_, packet.data(), packet.size(), 0);
        if (received < 0) {
            return std::nullopt;
        }
        packet.resize(static_cast<std::size_t>(received));
        return packet;
    }

    // Discards whatever is queued.
    void drain() const {
        while (receive(std::chrono::milliseconds(0))) {
        }
    }

private:
    int fd_ = -1;
    bool bound_ = false;
    std::uint16_t port_ = 0;
};

// A port that was free a moment ago.
inline std::uint16_t probe_free_port() {
    TestUdpPeer probe;
    return probe.port();
}

inline std::uint16_t packet_type(const VelmoraProtocol::PacketBytes& packet) {
    VelmoraProtocol::PacketHeader header;
    if (VelmoraProtocol::parse_packet_header(packet.data(), static_cast<int>(packet.size()), header) !=
        VelmoraProtocol::PacketParseResult::ok) {
        return 0;
    }
    return header.type;
}

} // namespace VelmoraServerTest
