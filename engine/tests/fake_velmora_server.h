// A scripted stand-in for the server, built from the protocol library: it answers discovery and
// time probes (or answers them wrongly, on purpose), records announces and reassembles the input
// blocks it receives, and lets a test send syncs, output blocks and arbitrary datagrams to the
// client. For the protocol corners the real server never produces. 127.0.0.1 (or another
// loopback address) only, on a free port.
#pragma once

#include <velmora/platform/clocks.h>
#include <velmora/protocol/audio_fragments.h>
#include <velmora/protocol/client_settings.h>
#include <velmora/protocol/packet_formats.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace velmora_test {

// A client id no other test, in this process or another running at the same time, uses: the
// statistics blocks, sockets and lock files named after it never meet.
inline std::uint32_t unique_client_id() {
    static std::atomic<std::uint32_t> counter{0};
    return static_cast<std::uint32_t>(::getpid()) % 4000000u * 1000u + counter.fetch_add(1) % 1000u + 1u;
}

// Polls `condition` until it holds or `timeout` passes; generous bounds for a loaded machine.
inline bool wait_for(const std::function<bool()>& condition,
                     std::chrono::milliseconds timeout = std::chrono::milliseconds(10000)) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

// Client settings for loopback tests: never broadcast, short periods.
inline VelmoraProtocol::ClientSettings loopback_settings(std::uint16_t port, std::uint32_t client_id,
                                                         const std::string& server_ip = "127.0.0.1") {
    VelmoraProtocol::ClientSettings settings;
    settings.server_ip = server_ip;
    settings.server_port = port;
    settings.client_id = client_id;
    settings.discovery_broadcast = false;
    settings.discovery_timeout_ms = 1000;
    settings.announce_period_ms = 200;
    settings.client_latency_blocks = 6;
    settings.input_queue_max_blocks = 12;
    return settings;
}

// A UDP socket bound to `address` on `port` (0: a free one), receiving with a 50 ms time-out.
class UdpSocket {
public:
    explicit UdpSocket(const char* address = "127.0.0.1", std::uint16_t port = 0)
        : fd_(::socket(AF_INET, SOCK_DGRAM, 0)) {
        sockaddr_in local{AF_INET, htons(port), {}, {}};
        ::inet_pton(AF_INET, address, &local.sin_addr);
        if (fd_ < 0 || ::bind(fd_, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
            ::close(fd_);
            throw std::runtime_error("cannot bind a test socket");
        }
        const timeval timeout{0, 50000};
        ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    }
    ~UdpSocket() { ::close(fd_); }
    UdpSocket(const UdpSocket&) = delete;
    UdpSocket& operator=(const UdpSocket&) = delete;

    std::uint16_t port() const {
        sockaddr_in local{};
        socklen_t length = sizeof local;
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&local), &length);
        return ntohs(local.sin_port);
    }
    void send_to(const std::vector<char>& bytes, const sockaddr_in& to) const {
        ::sendto(fd_, bytes.data(), bytes.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
    }
    int receive(std::vector<char>& buffer, sockaddr_in& from) const {
        socklen_t length = sizeof from;
        return static_cast<int>(
            ::recvfrom(fd_, buffer.data(), buffer.size(), 0, reinterpret_cast<sockaddr*>(&from), &length));
    }

private:
    int fd_;
};

struct FakeServerOptions {
    // When set, discovery and probe answers leave from this other loopback address (same port).
    const char* reply_address = nullptr;
    bool answer_discovery = true;
    bool answer_probes = true;
    // Changes the discovery answer before it is sent (to make it incompatible or malformed).
    std::function<void(std::vector<char>&)> mutate_discovery_answer;
    // The port the discovery answer names; 0: this server's port.
    std::uint16_t advertised_port = 0;
};

inline FakeServerOptions silent_server() {
    FakeServerOptions options;
    options.answer_discovery = false;
    return options;
}

class FakeVelmoraServer {
public:
    // What the server has seen so far.
    struct Seen {
        std::size_t discovery_requests = 0;
        std::size_t probe_requests = 0;
        std::size_t announces = 0;
        std::vector<std::int64_t> announced_inputs;
        std::size_t input_fragments = 0;
        std::vector<VelmoraProtocol::CompletedOutputBlock> input_blocks;
        bool has_client = false;
    };

    explicit FakeVelmoraServer(FakeServerOptions options = {})
        : options_(std::move(options)) {
        if (options_.reply_address != nullptr) {
            reply_socket_ = std::make_unique<UdpSocket>(options_.reply_address, socket_.port());
            threads_.emplace_back([this] { run(*reply_socket_); });
        }
        threads_.emplace_back([this] { run(socket_); });
    }
    ~FakeVelmoraServer() {
        running_ = false;
        for (auto& thread : threads_) {
            thread.join();
        }
    }

    std::uint16_t port() const { return socket_.port(); }
    Seen seen() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return seen_;
    }
    bool has_client() const { return seen().has_client; }

    // To the client that announced last (from the reply address when there is one).
    void send(const std::vector<char>& bytes) const {
        sockaddr_in to{};
        {
            std::lock_guard<std::mutex> lock(mutex_);
            to = client_;
        }
        sending_socket().send_to(bytes, to);
    }
    void send_sync(std::uint32_t client_id, std::uint32_t sequence, std::uint32_t rate = 48000,
                   std::uint16_t frames = 128) const {
        send(VelmoraProtocol::build_sync_packet(client_id, sequence, rate, frames,
                                                std::uint64_t{sequence} * frames,
                                                VelmoraPlatform::host_time_nanoseconds()));
    }
    void send_block(std::uint32_t client_id, std::uint32_t sequence, std::uint16_t channels, float value,
                    std::uint32_t rate = 48000, std::uint16_t frames = 128) const {
        std::vector<std::vector<char>> fragments;
        VelmoraProtocol::build_audio_fragment_packets(
            client_id, sequence, rate, frames, channels,
            std::vector<float>(std::size_t{channels} * frames, value), fragments, 1200);
        for (const auto& fragment : fragments) {
            send(fragment);
        }
    }

private:
    const UdpSocket& sending_socket() const { return reply_socket_ ? *reply_socket_ : socket_; }

    void run(const UdpSocket& socket) {
        namespace vp = VelmoraProtocol;
        std::vector<char> buffer(65507);
        std::vector<vp::AudioFragmentAssemblySlot> slots;
        vp::AudioFragmentAssemblyResult result;
        while (running_) {
            sockaddr_in from{};
            const int length = socket.receive(buffer, from);
            vp::PacketHeader header{};
            if (length < 0 ||
                vp::parse_packet_header(buffer.data(), length, header) != vp::PacketParseResult::ok) {
                continue;
            }
            const auto type = static_cast<vp::PacketType>(header.type);
            std::lock_guard<std::mutex> lock(mutex_);
            if (type == vp::PacketType::discovery_request) {
                vp::DiscoveryRequestPacket request{};
                if (vp::parse_discovery_request_packet(buffer.data(), length, request) !=
                    vp::PacketParseResult::ok) {
                    continue;
                }
                ++seen_.discovery_requests;
                if (options_.answer_discovery) {
                    auto answer = vp::build_discovery_response_packet(
                        request.client_id, request.nonce,
                        options_.advertised_port != 0 ? options_.advertised_port : port());
                    if (options_.mutate_discovery_answer) {
                        options_.mutate_discovery_answer(answer);
                    }
                    sending_socket().send_to(answer, from);
                }
            } else if (type == vp::PacketType::time_probe_request) {
                ++seen_.probe_requests;
                vp::TimeProbeRequestPacket request{};
                if (options_.answer_probes &&
                    vp::parse_time_probe_request_packet(buffer.data(), length, request) ==
                        vp::PacketParseResult::ok) {
                    const std::uint64_t now = VelmoraPlatform::host_time_nanoseconds();
                    sending_socket().send_to(
                        vp::build_time_probe_response_packet(request.client_id, request.probe_id,
                                                             request.client_send_time_ns, now, now),
                        from);
                }
            } else if (type == vp::PacketType::announce) {
                vp::AnnouncePacket announce{};
                std::vector<std::int64_t> inputs, outputs;
                if (vp::parse_announce_packet(buffer.data(), length, announce, inputs, outputs) !=
                    vp::PacketParseResult::ok) {
                    continue;
                }
                if (!inputs.empty() || !outputs.empty()) { // an empty one is a disconnect
                    ++seen_.announces;
                    seen_.announced_inputs = inputs;
                    seen_.has_client = true;
                    client_ = from;
                }
            } else if (type == vp::PacketType::audio_fragment) {
                vp::AudioFragmentPacket fragment{};
                const float* samples = nullptr;
                std::size_t count = 0;
                if (vp::parse_audio_fragment_packet(buffer.data(), length, fragment, samples, count) ==
                    vp::PacketParseResult::ok) {
                    ++seen_.input_fragments;
                    vp::assemble_audio_fragment(slots, fragment, samples, count, fragment.channel_count, 4096,
                                                8, false, result);
                    if (result.completed) {
                        seen_.input_blocks.push_back(result.block);
                    }
                }
            }
        }
    }

    FakeServerOptions options_;
    UdpSocket socket_;
    std::unique_ptr<UdpSocket> reply_socket_;
    std::atomic<bool> running_{true};
    std::vector<std::thread> threads_;
    mutable std::mutex mutex_;
    Seen seen_;
    sockaddr_in client_{};
};

} // namespace velmora_test
