#include <velmora/server/core_audio_udp_input_receiver.h>

#include <velmora/platform/clocks.h>
#include <velmora/platform/socket_conventions.h>
#include <velmora/server/core_audio_hal_runtime.h>
#include <velmora/server/debug_shared_state.h>
#include <velmora/server/server_limits.h>

#include <algorithm>
#include <cerrno>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <os/log.h>
#include <sys/socket.h>
#include <unistd.h>

namespace VelmoraMac {
namespace {

using VelmoraCore::Ipv4Endpoint;
using VelmoraProtocol::PacketBytes;
using VelmoraProtocol::PacketParseResult;
using VelmoraProtocol::PacketType;

sockaddr_in to_sockaddr(const Ipv4Endpoint& endpoint) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(endpoint.address);
    address.sin_port = htons(endpoint.port);
    return address;
}

Ipv4Endpoint from_sockaddr(const sockaddr_in& address) {
    return Ipv4Endpoint{ntohl(address.sin_addr.s_addr), ntohs(address.sin_port)};
}

// 0 on success, else the errno of the failed bind or read-back.
int bind_and_read_back(int fd, const Ipv4Endpoint& endpoint, Ipv4Endpoint& bound) {
    const sockaddr_in address = to_sockaddr(endpoint);
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        return errno != 0 ? errno : EINVAL;
    }
    sockaddr_in actual{};
    socklen_t length = sizeof actual;
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&actual), &length) != 0) {
        return errno != 0 ? errno : EINVAL;
    }
    bound = from_sockaddr(actual);
    return 0;
}

// Some systems refuse large buffers outright (macOS above its socket-buffer ceiling); the server
// then runs with the system's size rather than not at all.
void apply_buffer_size(int fd, int option, const char* option_name, std::uint32_t bytes) {
    if (bytes == 0) {
        return;
    }
    const int value = static_cast<int>(std::min<std::uint32_t>(bytes, 2147483647U));
    if (::setsockopt(fd, SOL_SOCKET, option, &value, sizeof value) != 0) {
        const int error = errno;
        os_log_error(OS_LOG_DEFAULT, "VelmoraCoreAudio UDP %{public}s %u bytes refused errno=%d, keeping the system size",
                     option_name, bytes, error);
    }
}

} // namespace

CoreAudioUdpInputReceiver::CoreAudioUdpInputReceiver()
    : socket_(VelmoraPlatform::invalid_socket_handle()),
      client_timeout_ms_(VelmoraCore::kServerDefaultClientTimeoutMs),
      receive_buffer_(VelmoraProtocol::kMaxDatagramBytes) {}

CoreAudioUdpInputReceiver::~CoreAudioUdpInputReceiver() { close(); }

bool CoreAudioUdpInputReceiver::open(const Ipv4Endpoint& endpoint, std::uint32_t client_timeout_ms,
                                     std::uint32_t recv_buffer_bytes, std::uint32_t send_buffer_bytes) {
    close();
    const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    if (fd < 0) {
        return false;
    }
    apply_buffer_size(fd, SO_RCVBUF, "SO_RCVBUF", recv_buffer_bytes);
    apply_buffer_size(fd, SO_SNDBUF, "SO_SNDBUF", send_buffer_bytes);
    const int flags = ::fcntl(fd, F_GETFL, 0);
    if (flags < 0 || ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0) {
        ::close(fd);
        return false;
    }
    Ipv4Endpoint bound;
    const int configured_error = bind_and_read_back(fd, endpoint, bound);
    if (configured_error != 0) {
        if (endpoint.address == VelmoraCore::kIpv4Loopback) {
            os_log_error(OS_LOG_DEFAULT, "VelmoraCoreAudio UDP bind failed on loopback errno=%d", configured_error);
            ::close(fd);
            return false;
        }
        const int fallback_error =
            bind_and_read_back(fd, Ipv4Endpoint{VelmoraCore::kIpv4Loopback, endpoint.port}, bound);
        if (fallback_error != 0) {
            os_log_error(OS_LOG_DEFAULT, "VelmoraCoreAudio UDP bind fallback failed errno=%d configuredErrno=%d",
                         fallback_error, configured_error);
            ::close(fd);
            return false;
        }
        os_log_error(OS_LOG_DEFAULT, "VelmoraCoreAudio UDP bind fallback to loopback configuredErrno=%d",
                     configured_error);
    }
    VelmoraPlatform::suppress_sigpipe(fd);
    socket_ = fd;
    bound_ = bound;
    os_log_info(OS_LOG_DEFAULT, "%{public}s %u.%u.%u.%u:%u", "VelmoraCoreAudio UDP receiver bound",
                (bound.address >> 24) & 0xFFU, (bound.address >> 16) & 0xFFU, (bound.address >> 8) & 0xFFU,
                bound.address & 0xFFU, static_cast<unsigned>(bound.port));
    clients_.clear();
    client_timeout_ms_ = client_timeout_ms != 0 ? client_timeout_ms : VelmoraCore::kServerDefaultClientTimeoutMs;
    stats_ = Stats{};
    input_stats_ = InputStats{};
    publish_client_count();
    return true;
}

void CoreAudioUdpInputReceiver::close() {
    if (VelmoraPlatform::is_valid_socket_handle(socket_)) {
        VelmoraPlatform::close_socket_handle(socket_);
    }
    socket_ = VelmoraPlatform::invalid_socket_handle();
    bound_ = Ipv4Endpoint{};
    clients_.clear();
    publish_client_count();
    client_timeout_ms_ = VelmoraCore::kServerDefaultClientTimeoutMs;
}

bool CoreAudioUdpInputReceiver::is_open() const { return VelmoraPlatform::is_valid_socket_handle(socket_); }

std::uint32_t CoreAudioUdpInputReceiver::active_client_count() const {
    return static_cast<std::uint32_t>(clients_.size());
}

std::uint64_t CoreAudioUdpInputReceiver::latency_summary() const {
    const VelmoraCore::ServerLatencySummary summary = clients_.latency_summary();
    return static_cast<std::uint64_t>(summary.output_latency_blocks) << 32 | summary.input_latency_blocks;
}

std::vector<VelmoraCore::ServerClientOutputTarget> CoreAudioUdpInputReceiver::output_targets() const {
    return clients_.output_targets();
}

void CoreAudioUdpInputReceiver::output_targets(std::vector<VelmoraCore::ServerClientOutputTarget>& targets) const {
    clients_.output_targets(targets);
}

void CoreAudioUdpInputReceiver::publish_client_count() {
    if (debug_state_ != nullptr) {
        debug_state_->set_active_client_count(active_client_count());
    }
}

void CoreAudioUdpInputReceiver::prune_expired_clients(std::uint64_t now_ms) {
    if (clients_.prune_expired_clients(now_ms, client_timeout_ms_) != 0) {
        publish_client_count();
    }
}

bool CoreAudioUdpInputReceiver::receive_available(CoreAudioHalRuntime& runtime, std::uint32_t max_packets) {
    if (!is_open()) {
        return false;
    }
    prune_expired_clients(VelmoraPlatform::monotonic_milliseconds());
    const int fd = static_cast<int>(socket_);
    for (std::uint32_t i = 0; i < max_packets; ++i) {
        sockaddr_in from{};
        socklen_t from_length = sizeof from;
        const ssize_t received = ::recvfrom(fd, receive_buffer_.data(), receive_buffer_.size(), 0,
                                            reinterpret_cast<sockaddr*>(&from), &from_length);
        if (received < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK) {
                prune_expired_clients(VelmoraPlatform::monotonic_milliseconds());
                return true;
            }
            ++stats_.receive_errors;
            return false;
        }
        if (received == 0) {
            // An empty datagram is garbage like any other: stopping the pass here would let a
            // stream of them hold back every real packet behind them.
            ++stats_.packets_rejected;
            continue;
        }
        ++stats_.datagrams_received;
        const Ipv4Endpoint sender = from_sockaddr(from);
        const char* data = receive_buffer_.data();
        const int size = static_cast<int>(received);
        VelmoraProtocol::PacketHeader header;
        if (VelmoraProtocol::parse_packet_header(data, size, header) != PacketParseResult::ok) {
            ++stats_.packets_rejected;
            continue;
        }
        switch (static_cast<PacketType>(header.type)) {
        case PacketType::announce:
            handle_announce_packet(data, size, sender);
            break;
        case PacketType::audio_fragment:
            handle_audio_fragment_packet(data, size, sender, runtime);
            break;
        case PacketType::discovery_request:
        case PacketType::time_probe_request: {
            const std::uint64_t receive_time_ns = VelmoraPlatform::host_time_nanoseconds();
            const std::uint64_t send_time_ns = VelmoraPlatform::host_time_nanoseconds();
            const VelmoraCore::ServerControlResponse response = VelmoraCore::build_server_control_packet_response(
                data, size, bound_.port, receive_time_ns, send_time_ns);
            if (response.has_response && send_control_response(response.packet, sender)) {
                ++stats_.control_responses_sent;
            } else {
                ++stats_.packets_rejected;
            }
            break;
        }
        default:
            // Server-to-client types, and anything unknown, have no business arriving here.
            ++stats_.packets_rejected;
            break;
        }
    }
    prune_expired_clients(VelmoraPlatform::monotonic_milliseconds());
    return true;
}

bool CoreAudioUdpInputReceiver::handle_announce_packet(const char* data, int size, const Ipv4Endpoint& sender) {
    VelmoraProtocol::AnnouncePacket announce;
    if (VelmoraProtocol::parse_announce_packet(data, size, announce, announced_inputs_, announced_outputs_) !=
        PacketParseResult::ok) {
        ++stats_.packets_rejected;
        os_log_error(OS_LOG_DEFAULT, "VelmoraCoreAudio rejected Announce parse size=%d", size);
        return false;
    }
    const VelmoraCore::ServerClientAnnouncementResult result =
        clients_.apply_announcement(announce, announced_inputs_, announced_outputs_, sender,
                                    VelmoraCore::kServerDeviceChannels, VelmoraPlatform::monotonic_milliseconds());
    const unsigned client_id = announce.client_id;
    if (!result.accepted) {
        ++stats_.packets_rejected;
        os_log_error(OS_LOG_DEFAULT, "VelmoraCoreAudio rejected Announce client=%u inputs=%u outputs=%u session=%u",
                     client_id, static_cast<unsigned>(announce.input_channel_count),
                     static_cast<unsigned>(announce.output_channel_count), static_cast<unsigned>(announce.session_id));
        return false;
    }
    if (result.disconnect) {
        if (result.removed) {
            ++stats_.disconnects_accepted;
            publish_client_count();
        }
        os_log_info(OS_LOG_DEFAULT, "VelmoraCoreAudio accepted disconnect Announce client=%u clients=%u", client_id,
                    active_client_count());
        return true;
    }
    ++stats_.announces_accepted;
    publish_client_count();
    if (result.inserted || result.endpoint_changed || result.input_reset) {
        os_log_info(OS_LOG_DEFAULT,
                    "VelmoraCoreAudio accepted Announce client=%u inputs=%u outputs=%u session=%u clients=%u",
                    client_id, static_cast<unsigned>(announce.input_channel_count),
                    static_cast<unsigned>(announce.output_channel_count), static_cast<unsigned>(announce.session_id),
                    active_client_count());
    }
    return true;
}

bool CoreAudioUdpInputReceiver::handle_audio_fragment_packet(const char* data, int size, const Ipv4Endpoint& sender,
                                                             CoreAudioHalRuntime& runtime) {
    VelmoraProtocol::AudioFragmentPacket fragment;
    const float* samples = nullptr;
    std::size_t sample_count = 0;
    VelmoraCore::ServerClientState* client = nullptr;
    if (VelmoraProtocol::parse_audio_fragment_packet(data, size, fragment, samples, sample_count) ==
        PacketParseResult::ok) {
        client = clients_.find(fragment.client_id);
    }
    // Only the endpoint the client announced from may feed its input: a stray or forged sender
    // must neither inject audio nor keep the client alive.
    if (client == nullptr || !(client->endpoint == sender)) {
        ++stats_.packets_rejected;
        ++input_stats_.fragments_rejected;
        return false;
    }
    client->last_seen_ms = VelmoraPlatform::monotonic_milliseconds();
    VelmoraCore::ServerInputReceiveResult& result = input_result_;
    if (!VelmoraCore::process_server_input_audio_fragment(
            client->assembly_client_id, client->assembly_channel_map, client->assembly_slots, client->publish_state,
            fragment, samples, sample_count, runtime.expected_input_sequence(), VelmoraCore::kServerDeviceChannels,
            static_cast<std::uint16_t>(VelmoraCore::kServerMaxBlockFrames), VelmoraCore::kServerAssemblySlots,
            result)) {
        ++stats_.packets_rejected;
        ++input_stats_.fragments_rejected;
        return false;
    }
    auto count_late = [this] {
        ++input_stats_.late_drops;
        if (debug_state_ != nullptr) {
            debug_state_->increment_late_drop_count();
        }
    };
    if (result.late) {
        count_late();
    }
    if (result.fragment_accepted) {
        ++input_stats_.fragments_accepted;
    }
    if (result.block_complete) {
        ++input_stats_.blocks_completed;
    }
    if (!result.publish) {
        return true;
    }
    CoreAudioHalBlockTimeline timeline;
    timeline.sequence = result.sequence;
    timeline.sample_rate = result.sample_rate;
    timeline.frames = result.frames;
    timeline.sample_position = result.sample_time;
    timeline.host_time_ns = 0;
    if (runtime.publish_client_input_block(result.samples.empty() ? nullptr : result.samples.data(),
                                           client->assembly_channel_map, timeline)) {
        input_stats_.last_published_sequence = result.sequence;
        input_stats_.last_published_frames = result.frames;
        return true;
    }
    // The device may have passed the block between the decision and the write.
    if (!VelmoraProtocol::is_sequence_not_older(result.sequence, runtime.expected_input_sequence())) {
        count_late();
        return true;
    }
    ++stats_.packets_rejected;
    ++input_stats_.fragments_rejected;
    return false;
}

bool CoreAudioUdpInputReceiver::send_packet(const PacketBytes& packet, const Ipv4Endpoint& endpoint) {
    if (!is_open() || packet.empty()) {
        return false;
    }
    const sockaddr_in address = to_sockaddr(endpoint);
    const ssize_t sent = ::sendto(static_cast<int>(socket_), packet.data(), packet.size(),
                                  VelmoraPlatform::no_sigpipe_send_flags(),
                                  reinterpret_cast<const sockaddr*>(&address), sizeof address);
    return VelmoraPlatform::is_full_socket_send(static_cast<int>(sent), packet.size());
}

bool CoreAudioUdpInputReceiver::send_control_response(const PacketBytes& packet, const Ipv4Endpoint& endpoint) {
    return send_packet(packet, endpoint);
}

bool CoreAudioUdpInputReceiver::send_packet_batch(const std::vector<PacketBytes>& packets,
                                                  const Ipv4Endpoint& endpoint) {
    if (packets.empty()) {
        return false;
    }
    for (const PacketBytes& packet : packets) {
        if (!send_packet(packet, endpoint)) {
            return false;
        }
    }
    return true;
}

} // namespace VelmoraMac
