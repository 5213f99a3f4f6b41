#include "udp_test_client.h"

#include <velmora/platform/clocks.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace VelmoraTest {

using namespace VelmoraProtocol;

namespace {

sockaddr_in loopback(std::uint16_t port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    return address;
}

} // namespace

std::uint16_t free_udp_port() {
    const UdpTestClient probe;
    return probe.local_port();
}

std::uint16_t packet_type(const PacketBytes& datagram) {
    PacketHeader header;
    return parse_packet_header(datagram.data(), static_cast<int>(datagram.size()), header) ==
                   PacketParseResult::ok
               ? header.type
               : 0;
}

UdpTestClient::UdpTestClient(std::uint16_t server_port, std::uint16_t port) : server_port_(server_port) {
    fd_ = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in address = loopback(port);
    socklen_t length = sizeof address;
    // Room for a burst of output blocks while a test is busy elsewhere.
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
    const sockaddr_in address = loopback(server_port_);
    return ::sendto(fd_, data, size, 0, reinterpret_cast<const sockaddr*>(&address), sizeof address) ==
           static_cast<ssize_t>(size);
}

bool UdpTestClient::announce(std::uint32_t client_id, std::uint32_t session_id,
                             const std::vector<std::int64_t>& inputs,
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

bool UdpTestClient::send_input_block(std::uint32_t client_id, std::uint32_t sequence,
                                     std::uint32_t sample_rate, std::uint16_t frames, std::size_t channels,
                                     const std::vector<float>& samples) {
    if (!build_audio_fragment_packets(client_id, sequence, sample_rate, frames, channels, samples, datagrams_,
                                      1200)) {
        return false;
    }
    bool sent = true;
    for (const PacketBytes& datagram : datagrams_) {
        sent = send_raw(datagram) && sent;
    }
    return sent;
}

int UdpTestClient::receive_into_buffer(std::chrono::milliseconds timeout) {
    pollfd ready{fd_, POLLIN, 0};
    if (::poll(&ready, 1, static_cast<int>(timeout.count())) != 1) {
        return -1;
    }
    buffer_.resize(kMaxDatagramBytes);
    return static_cast<int>(::recv(fd_, buffer_.data(), buffer_.size(), 0));
}

std::optional<PacketBytes> UdpTestClient::receive(std::chrono::milliseconds timeout) {
    const int length = receive_into_buffer(timeout);
    if (length < 0) {
        return std::nullopt;
    }
    return PacketBytes(buffer_.begin(), buffer_.begin() + length);
}

void UdpTestClient::receive_for(std::chrono::milliseconds duration, Events& events,
                                const std::function<void(const SyncPacket&)>& on_sync) {
    const auto deadline = std::chrono::steady_clock::now() + duration;
    for (;;) {
        const auto now = std::chrono::steady_clock::now();
        if (now >= deadline) {
            return;
        }
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - now);
        const int length = receive_into_buffer(left);
        if (length < 0) {
            continue;
        }
        const char* datagram = buffer_.data();
        SyncPacket sync;
        AudioFragmentPacket fragment;
        const float* samples = nullptr;
        std::size_t count = 0;
        if (parse_sync_packet(datagram, length, sync) == PacketParseResult::ok) {
            events.syncs.push_back(sync);
            events.sync_times_ns.push_back(VelmoraPlatform::host_time_nanoseconds());
            if (on_sync) {
                on_sync(sync);
            }
        } else if (parse_audio_fragment_packet(datagram, length, fragment, samples, count) ==
                   PacketParseResult::ok) {
            // The buffer is a vector's start: byte 48 is float-aligned.
            if (assemble_audio_fragment(slots_, fragment, samples, count, fragment.channel_count, 4096, 8,
                                        false, result_) &&
                result_.completed) {
                events.blocks.push_back(result_.block);
            }
        } else {
            ++events.other_datagrams;
        }
    }
}

bool UdpTestClient::receive_until(Events& events, const std::function<bool(const Events&)>& done,
                                  std::chrono::milliseconds limit,
                                  const std::function<void(const SyncPacket&)>& on_sync) {
    const auto give_up = std::chrono::steady_clock::now() + limit;
    while (!done(events)) {
        if (std::chrono::steady_clock::now() >= give_up) {
            return false;
        }
        receive_for(std::chrono::milliseconds(5), events, on_sync);
    }
    return true;
}

void UdpTestClient::drain(std::chrono::milliseconds quiet) {
    const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (receive_into_buffer(quiet) >= 0 && std::chrono::steady_clock::now() < give_up) {
    }
}

} // namespace VelmoraTest
