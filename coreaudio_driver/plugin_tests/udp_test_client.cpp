#include "udp_test_client.h"

#include <velmora/platform/clocks.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace VelmoraTest {

using namespace VelmoraProtocol;

std::uint16_t free_udp_port() {
    const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    std::uint16_t port = 0;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
        port = ntohs(address.sin_port);
    }
    ::close(fd);
    return port;
}

UdpTestClient::UdpTestClient() {
    fd_ = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    const int buffer = 4 << 20;
    ::setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &buffer, sizeof buffer);
    if (::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        ::close(fd_);
        fd_ = -1;
        return;
    }
    local_port_ = ntohs(address.sin_port);
}

UdpTestClient::~UdpTestClient() {
    if (fd_ >= 0) {
        ::close(fd_);
    }
}

bool UdpTestClient::send_raw(const void* data, std::size_t size) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(server_port_);
    return ::sendto(fd_, data, size, 0, reinterpret_cast<sockaddr*>(&address), sizeof address) ==
           static_cast<ssize_t>(size);
}

bool UdpTestClient::announce(std::uint32_t client_id, std::uint32_t session_id, const std::vector<std::int64_t>& inputs,
                             const std::vector<std::int64_t>& outputs, std::uint32_t latency_blocks) {
    ClientSettings settings;
    settings.client_id = client_id;
    settings.driver_inputs = inputs;
    settings.driver_outputs = outputs;
    settings.input_latency_blocks = latency_blocks;
    settings.output_latency_blocks = latency_blocks;
    return send_raw(build_announce_packet(settings, session_id));
}

bool UdpTestClient::disconnect(std::uint32_t client_id, std::uint32_t session_id) {
    return send_raw(build_client_disconnect_packet(client_id, session_id));
}

bool UdpTestClient::send_input_block(std::uint32_t client_id, std::uint32_t sequence, std::uint32_t sample_rate,
                                     std::uint16_t frames, std::size_t channels, const std::vector<float>& samples) {
    if (!build_audio_fragment_packets(client_id, sequence, sample_rate, frames, channels, samples, datagrams_, 1200)) {
        return false;
    }
    bool sent = true;
    for (const PacketBytes& datagram : datagrams_) {
        sent = send_raw(datagram) && sent;
    }
    return sent;
}

void UdpTestClient::receive_for(std::chrono::milliseconds duration, Events& events,
                                const std::function<void(const SyncPacket&)>& on_sync) {
    const auto deadline = std::chrono::steady_clock::now() + duration;
    std::vector<char> buffer(kMaxDatagramBytes);
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            return;
        }
        pollfd ready{fd_, POLLIN, 0};
        if (::poll(&ready, 1, static_cast<int>(left.count())) <= 0) {
            continue;
        }
        const ssize_t size = ::recv(fd_, buffer.data(), buffer.size(), 0);
        if (size <= 0) {
            continue;
        }
        const int length = static_cast<int>(size);
        PacketHeader header;
        if (parse_packet_header(buffer.data(), length, header) != PacketParseResult::ok) {
            ++events.other_datagrams;
            continue;
        }
        if (header.type == static_cast<std::uint16_t>(PacketType::sync)) {
            SyncPacket sync;
            if (parse_sync_packet(buffer.data(), length, sync) == PacketParseResult::ok) {
                events.syncs.push_back(sync);
                events.sync_times_ns.push_back(VelmoraPlatform::host_time_nanoseconds());
                if (on_sync) {
                    on_sync(sync);
                }
                continue;
            }
        } else if (header.type == static_cast<std::uint16_t>(PacketType::audio_fragment)) {
            AudioFragmentPacket fragment;
            const float* samples = nullptr;
            std::size_t count = 0;
            if (parse_audio_fragment_packet(buffer.data(), length, fragment, samples, count) == PacketParseResult::ok) {
                // The receive buffer is the vector's start: byte 48 is float-aligned.
                if (assemble_audio_fragment(slots_, fragment, samples, count, fragment.channel_count, 4096, 8, false,
                                            result_) &&
                    result_.completed) {
                    events.blocks.push_back(result_.block);
                }
                continue;
            }
        }
        ++events.other_datagrams;
    }
}

} // namespace VelmoraTest
