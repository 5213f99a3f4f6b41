// A scripted stand-in for the server, built from the protocol library: it answers discovery and
// time probes (or answers them wrongly, on purpose), records announces and reassembles the input
// blocks it receives, and lets a test send syncs, output blocks and arbitrary datagrams to the
// client. For the protocol corners the real server never produces. 127.0.0.1 (or another
// loopback address) only, on a free port.
#pragma once

#include <velmora/platform/clocks.h>
#include <velmora/protocol/audio_fragments.h>
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
#include <map>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace velmora_test {

inline sockaddr_in loopback_endpoint(const char* address, std::uint16_t port) {
    sockaddr_in result{};
    result.sin_family = AF_INET;
    result.sin_port = htons(port);
    ::inet_pton(AF_INET, address, &result.sin_addr);
    return result;
}

// A UDP socket bound to `address` on `port` (0: a free one).
class UdpSocket {
public:
    explicit UdpSocket(const char* address = "127.0.0.1", std::uint16_t port = 0) {
        fd_ = ::socket(AF_INET, SOCK_DGRAM, 0);
        const sockaddr_in local = loopback_endpoint(address, port);
        if (fd_ < 0 || ::bind(fd_, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
            throw std::runtime_error("cannot bind a test socket");
        }
        timeval timeout{0, 50000};
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
    // -1 on time-out (50 ms).
    int receive(std::vector<char>& buffer, sockaddr_in& from) const {
        socklen_t length = sizeof from;
        return static_cast<int>(
            ::recvfrom(fd_, buffer.data(), buffer.size(), 0, reinterpret_cast<sockaddr*>(&from), &length));
    }

private:
    int fd_ = -1;
};

struct ReceivedInputBlock {
    std::uint32_t sequence = 0;
    std::uint32_t sample_rate = 0;
    std::uint16_t frame_count = 0;
    std::uint16_t channel_count = 0;
    std::vector<float> samples;
};

struct FakeServerOptions {
    const char* address = "127.0.0.1";
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
    using Options = FakeServerOptions;

    explicit FakeVelmoraServer(Options options = Options()) : options_(std::move(options)), socket_(options_.address) {
        if (options_.reply_address != nullptr) {
            reply_socket_ = std::make_unique<UdpSocket>(options_.reply_address, socket_.port());
        }
        threads_.emplace_back([this] { run(socket_); });
        if (reply_socket_) {
            threads_.emplace_back([this] { run(*reply_socket_); });
        }
    }
    ~FakeVelmoraServer() {
        running_ = false;
        for (auto& thread : threads_) {
            thread.join();
        }
    }

    std::uint16_t port() const { return socket_.port(); }

    std::size_t announces() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return announces_;
    }
    std::size_t probe_requests() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return probe_requests_;
    }
    std::size_t discovery_requests() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return discovery_requests_;
    }
    std::vector<std::uint32_t> disconnect_sessions() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return disconnect_sessions_;
    }
    std::uint32_t announce_session() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return announce_session_;
    }
    std::vector<std::int64_t> announced_inputs() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return announced_inputs_;
    }
    bool has_client() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return has_client_;
    }
    std::vector<ReceivedInputBlock> input_blocks() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return input_blocks_;
    }
    std::size_t input_fragments() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return input_fragments_;
    }

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
                   std::uint16_t frames = 128, std::uint64_t host_time_ns = 0) const {
        send(VelmoraProtocol::build_sync_packet(client_id, sequence, rate, frames,
                                                static_cast<std::uint64_t>(sequence) * frames,
                                                host_time_ns == 0 ? VelmoraPlatform::host_time_nanoseconds()
                                                                  : host_time_ns));
    }
    void send_block(std::uint32_t client_id, std::uint32_t sequence, std::uint16_t channels, float value,
                    std::uint32_t rate = 48000, std::uint16_t frames = 128) const {
        std::vector<float> block(static_cast<std::size_t>(channels) * frames, value);
        std::vector<std::vector<char>> fragments;
        VelmoraProtocol::build_audio_fragment_packets(client_id, sequence, rate, frames, channels, block, fragments,
                                                      1200);
        for (const auto& fragment : fragments) {
            send(fragment);
        }
    }

private:
    const UdpSocket& sending_socket() const { return reply_socket_ ? *reply_socket_ : socket_; }

    void run(const UdpSocket& socket) {
        std::vector<char> buffer(65507);
        std::vector<VelmoraProtocol::AudioFragmentAssemblySlot> slots;
        VelmoraProtocol::AudioFragmentAssemblyResult result;
        while (running_) {
            sockaddr_in from{};
            const int length = socket.receive(buffer, from);
            if (length < 0) {
                continue;
            }
            VelmoraProtocol::PacketHeader header{};
            if (VelmoraProtocol::parse_packet_header(buffer.data(), length, header) != VelmoraProtocol::PacketParseResult::ok) {
                continue;
            }
            using VelmoraProtocol::PacketType;
            if (header.type == static_cast<std::uint16_t>(PacketType::discovery_request)) {
                VelmoraProtocol::DiscoveryRequestPacket request{};
                if (VelmoraProtocol::parse_discovery_request_packet(buffer.data(), length, request) !=
                    VelmoraProtocol::PacketParseResult::ok) {
                    continue;
                }
                {
                    std::lock_guard<std::mutex> lock(mutex_);
                    ++discovery_requests_;
                }
                if (!options_.answer_discovery) {
                    continue;
                }
                auto answer = VelmoraProtocol::build_discovery_response_packet(
                    request.client_id, request.nonce, options_.advertised_port != 0 ? options_.advertised_port : port());
                if (options_.mutate_discovery_answer) {
                    options_.mutate_discovery_answer(answer);
                }
                sending_socket().send_to(answer, from);
            } else if (header.type == static_cast<std::uint16_t>(PacketType::time_probe_request)) {
                VelmoraProtocol::TimeProbeRequestPacket request{};
                {
                    std::lock_guard<std::mutex> lock(mutex_);
                    ++probe_requests_;
                }
                if (!options_.answer_probes || VelmoraProtocol::parse_time_probe_request_packet(buffer.data(), length, request) !=
                                                   VelmoraProtocol::PacketParseResult::ok) {
                    continue;
                }
                const std::uint64_t t2 = VelmoraPlatform::host_time_nanoseconds();
                const std::uint64_t t3 = VelmoraPlatform::host_time_nanoseconds();
                sending_socket().send_to(VelmoraProtocol::build_time_probe_response_packet(
                                             request.client_id, request.probe_id, request.client_send_time_ns, t2, t3),
                                         from);
            } else if (header.type == static_cast<std::uint16_t>(PacketType::announce)) {
                VelmoraProtocol::AnnouncePacket announce{};
                std::vector<std::int64_t> inputs, outputs;
                if (VelmoraProtocol::parse_announce_packet(buffer.data(), length, announce, inputs, outputs) !=
                    VelmoraProtocol::PacketParseResult::ok) {
                    continue;
                }
                std::lock_guard<std::mutex> lock(mutex_);
                if (inputs.empty() && outputs.empty()) {
                    disconnect_sessions_.push_back(announce.session_id);
                } else {
                    ++announces_;
                    announce_session_ = announce.session_id;
                    announced_inputs_ = inputs;
                    client_ = from;
                    has_client_ = true;
                }
            } else if (header.type == static_cast<std::uint16_t>(PacketType::audio_fragment)) {
                VelmoraProtocol::AudioFragmentPacket fragment{};
                const float* samples = nullptr;
                std::size_t count = 0;
                if (VelmoraProtocol::parse_audio_fragment_packet(buffer.data(), length, fragment, samples, count) !=
                    VelmoraProtocol::PacketParseResult::ok) {
                    continue;
                }
                std::lock_guard<std::mutex> lock(mutex_);
                ++input_fragments_;
                VelmoraProtocol::assemble_audio_fragment(slots, fragment, samples, count, fragment.channel_count,
                                                         4096, 8, false, result);
                if (result.completed) {
                    input_blocks_.push_back(ReceivedInputBlock{result.block.sequence, result.block.sample_rate,
                                                               result.block.frame_count, result.block.channel_count,
                                                               result.block.samples});
                }
            }
        }
    }

    Options options_;
    UdpSocket socket_;
    std::unique_ptr<UdpSocket> reply_socket_;
    std::atomic<bool> running_{true};
    std::vector<std::thread> threads_;
    mutable std::mutex mutex_;
    std::size_t announces_ = 0;
    std::size_t discovery_requests_ = 0;
    std::size_t probe_requests_ = 0;
    std::vector<std::uint32_t> disconnect_sessions_;
    std::uint32_t announce_session_ = 0;
    std::vector<std::int64_t> announced_inputs_;
    sockaddr_in client_{};
    bool has_client_ = false;
    std::vector<ReceivedInputBlock> input_blocks_;
    std::size_t input_fragments_ = 0;
};

// Polls `condition` until it holds or `timeout` passes; generous bounds for a loaded machine.
inline bool wait_for(const std::function<bool()>& condition,
                     std::chrono::milliseconds timeout = std::chrono::milliseconds(5000)) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < deadline) {
        if (condition()) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return condition();
}

} // namespace velmora_test
