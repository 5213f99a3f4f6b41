#include <velmora/engine/velmora_client.h>

#include <velmora/platform/clocks.h>
#include <velmora/platform/socket_conventions.h>

#include <arpa/inet.h>
#include <pthread/qos.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <limits>
#include <optional>

namespace vp = VelmoraProtocol;

namespace {

constexpr std::size_t max_datagram_bytes = vp::kMaxDatagramBytes;
constexpr std::uint32_t discovery_wait_ms = 50;
constexpr std::uint64_t probe_interval_ms = 1000;
constexpr std::uint64_t probe_timeout_ms = 3000;
constexpr std::chrono::milliseconds announce_tick{50};
constexpr std::uint32_t receive_wake_ms = 100;
constexpr std::uint64_t rate_report_period_ms = 1000;
constexpr std::uint32_t loopback_address = 0x7F000001;
constexpr std::uint32_t broadcast_address = 0xFFFFFFFF;

std::uint64_t now_ns() {
    return VelmoraPlatform::host_time_nanoseconds();
}

std::uint64_t now_ms() {
    return VelmoraPlatform::monotonic_milliseconds();
}

bool set_receive_timeout(int socket, std::uint32_t milliseconds) {
    timeval timeout{};
    timeout.tv_sec = static_cast<decltype(timeout.tv_sec)>(milliseconds / 1000);
    timeout.tv_usec = static_cast<decltype(timeout.tv_usec)>((milliseconds % 1000) * 1000);
    return ::setsockopt(socket, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout) == 0;
}

bool is_transient_receive_error(int error) {
    return error == EAGAIN || error == EWOULDBLOCK || error == EINTR;
}

sockaddr_in make_address(std::uint32_t address, std::uint16_t port) {
    sockaddr_in result{};
    result.sin_family = AF_INET;
    result.sin_port = htons(port);
    result.sin_addr.s_addr = htonl(address);
    return result;
}

bool same_endpoint(const sockaddr_in& a, const sockaddr_in& b) {
    return a.sin_family == b.sin_family && a.sin_addr.s_addr == b.sin_addr.s_addr && a.sin_port == b.sin_port;
}

std::string dotted(const sockaddr_in& address) {
    char text[INET_ADDRSTRLEN] = {};
    ::inet_ntop(AF_INET, &address.sin_addr, text, sizeof text);
    return text;
}

// Loopback first, then private and link-local networks, then anything else.
int address_rank(const sockaddr_in& address) {
    const std::uint32_t host = ntohl(address.sin_addr.s_addr);
    if ((host >> 24) == 127) {
        return 0;
    }
    if ((host >> 24) == 10 || (host >> 16) == 0xA9FE || (host >> 20) == 0xAC1 || (host >> 16) == 0xC0A8) {
        return 1;
    }
    return 2;
}

std::uint32_t saturate_u32(std::uint64_t value) {
    return static_cast<std::uint32_t>(std::min<std::uint64_t>(value, std::numeric_limits<std::uint32_t>::max()));
}

// Microseconds, rounded up, without overflowing near the top of the range.
std::uint64_t ceil_microseconds(std::uint64_t nanoseconds) {
    return nanoseconds / 1000 + (nanoseconds % 1000 != 0 ? 1 : 0);
}

// a - b of two unsigned time stamps as a signed quantity.
double signed_difference(std::uint64_t a, std::uint64_t b) {
    return a >= b ? static_cast<double>(a - b) : -static_cast<double>(b - a);
}

std::int64_t saturate_i64(double value) {
    // 2^63 is exactly representable; anything at or above it does not fit.
    constexpr double limit = 9223372036854775808.0;
    if (value >= limit) {
        return std::numeric_limits<std::int64_t>::max();
    }
    if (value <= -limit) {
        return std::numeric_limits<std::int64_t>::min();
    }
    return static_cast<std::int64_t>(value);
}

// server time + offset on the engine's clock, clamped to the u64 range.
std::uint64_t shift_time(std::uint64_t time_ns, std::int64_t offset_ns) {
    if (offset_ns >= 0) {
        const auto up = static_cast<std::uint64_t>(offset_ns);
        return time_ns > std::numeric_limits<std::uint64_t>::max() - up ? std::numeric_limits<std::uint64_t>::max()
                                                                         : time_ns + up;
    }
    const std::uint64_t down = static_cast<std::uint64_t>(-(offset_ns + 1)) + 1;
    return time_ns < down ? 0 : time_ns - down;
}

std::uint64_t read_le(const char* data, std::size_t width) {
    std::uint64_t value = 0;
    for (std::size_t i = 0; i < width; ++i) {
        value |= static_cast<std::uint64_t>(static_cast<unsigned char>(data[i])) << (8 * i);
    }
    return value;
}

enum class DiscoveryReply { unrelated, compatible, incompatible };

// A discovery answer meant for us: compatible (with the server's port), or from a server speaking
// another protocol version or capability set. A reply that does not parse but still carries our
// client id and nonce in a type-5 datagram is such a server too.
DiscoveryReply classify_discovery_reply(const char* data, int length, std::uint32_t client_id, std::uint64_t nonce,
                                        std::uint16_t& server_port) {
    vp::DiscoveryResponsePacket response{};
    if (vp::parse_discovery_response_packet(data, length, response) == vp::PacketParseResult::ok) {
        if (response.client_id != client_id || response.nonce != nonce || response.server_port == 0) {
            return DiscoveryReply::unrelated;
        }
        if (response.protocol_version != vp::kProtocolVersion ||
            response.capability_signature != vp::kCapabilitySignature) {
            return DiscoveryReply::incompatible;
        }
        server_port = response.server_port;
        return DiscoveryReply::compatible;
    }
    if (data != nullptr && length >= 24 && std::memcmp(data, "VLMR", 4) == 0 &&
        read_le(data + 6, 2) == static_cast<std::uint16_t>(vp::PacketType::discovery_response) && read_le(data + 8, 4) == static_cast<std::uint64_t>(length) &&
        read_le(data + 12, 4) == client_id && read_le(data + 16, 8) == nonce) {
        return DiscoveryReply::incompatible;
    }
    return DiscoveryReply::unrelated;
}

int send_datagram(int socket, const void* data, std::size_t size, const sockaddr_in& to) {
    return static_cast<int>(::sendto(socket, data, size, VelmoraPlatform::no_sigpipe_send_flags(),
                                     reinterpret_cast<const sockaddr*>(&to), sizeof to));
}

template <typename Bytes>
int send_datagram(int socket, const Bytes& bytes, const sockaddr_in& to) {
    return send_datagram(socket, bytes.data(), bytes.size(), to);
}

// Waits for datagrams until `deadline_ms`, 50 ms at a time; `handle` returns false to stop.
template <typename Handler>
void receive_until(int socket, std::uint64_t deadline_ms, std::vector<char>& buffer, Handler handle) {
    while (now_ms() < deadline_ms) {
        sockaddr_in from{};
        socklen_t from_length = sizeof from;
        const ssize_t received = ::recvfrom(socket, buffer.data(), buffer.size(), 0,
                                            reinterpret_cast<sockaddr*>(&from), &from_length);
        if (received < 0) {
            if (!is_transient_receive_error(errno)) {
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            }
            continue;
        }
        if (from_length < sizeof from || from.sin_family != AF_INET) {
            continue;
        }
        if (!handle(buffer.data(), static_cast<int>(received), from)) {
            return;
        }
    }
}

} // namespace

VelmoraClient::~VelmoraClient() {
    stop();
}

int VelmoraClient::last_start_failure_reason() const {
    return start_failure_reason_.load(std::memory_order_acquire);
}

std::uint64_t VelmoraClient::make_nonce() const {
    return now_ns() ^ (static_cast<std::uint64_t>(settings_.client_id) << 32) ^ (now_ms() * 2);
}

std::uint32_t VelmoraClient::make_announce_session_id() const {
    const std::uint64_t x = make_nonce();
    const auto id = static_cast<std::uint32_t>((x >> 32) ^ (x & 0xFFFFFFFFu));
    return id == 0 ? 1 : id;
}

bool VelmoraClient::start(const vp::ClientSettings& settings, LogCallback log, OutputCallback output,
                          SyncCallback sync, TelemetryCallback telemetry) {
    if (running_.load(std::memory_order_acquire)) {
        return true;
    }
    start_failure_reason_.store(start_failure_none);
    {
        std::lock_guard<std::mutex> lock(mutex_);
        settings_ = settings;
        session_id_ = make_announce_session_id();
        log_callback_ = std::move(log);
        output_callback_ = std::move(output);
        sync_callback_ = std::move(sync);
        telemetry_callback_ = std::move(telemetry);
        // The player's queue holds max(latency + 4, 6) blocks: more silence than that could only
        // overrun it and push out the real block behind the gap.
        gap_fill_limit_blocks_ =
            saturate_u32(std::max<std::uint64_t>(static_cast<std::uint64_t>(settings.client_latency_blocks) + 4, 6));
        reset_session_state_locked();
    }

    if (!VelmoraPlatform::start_socket_runtime()) {
        start_failure_reason_.store(start_failure_socket);
        return false;
    }
    socket_runtime_started_ = true;
    if (!initialize_socket()) {
        VelmoraPlatform::stop_socket_runtime();
        socket_runtime_started_ = false;
        return false;
    }
    // The receive thread looks at `running` at least this often, whether or not the platform
    // wakes a receive blocked on a socket that is being shut down.
    set_receive_timeout(socket_.load(), receive_wake_ms);

    running_.store(true);
    try {
        receive_thread_ = std::thread(&VelmoraClient::receive_loop, this);
        announce_thread_ = std::thread(&VelmoraClient::announce_loop, this);
    } catch (const std::system_error&) {
        start_failure_reason_.store(start_failure_thread);
        stop();
        return false;
    }
    send_announce_once();
    send_time_probe_once();
    this->log("[net] Client started.");
    return true;
}

bool VelmoraClient::initialize_socket() {
    const int s = ::socket(AF_INET, SOCK_DGRAM, 0);
    if (s < 0) {
        start_failure_reason_.store(start_failure_socket);
        return false;
    }
    VelmoraPlatform::suppress_sigpipe(s);
    const int receive_bytes = static_cast<int>(std::min<std::uint32_t>(settings_.recv_buffer_bytes, 0x7FFFFFFF));
    const int send_bytes = static_cast<int>(std::min<std::uint32_t>(settings_.send_buffer_bytes, 0x7FFFFFFF));
    ::setsockopt(s, SOL_SOCKET, SO_RCVBUF, &receive_bytes, sizeof receive_bytes);
    ::setsockopt(s, SOL_SOCKET, SO_SNDBUF, &send_bytes, sizeof send_bytes);

    const sockaddr_in local = make_address(INADDR_ANY, 0);
    if (::bind(s, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
        start_failure_reason_.store(start_failure_socket);
        VelmoraPlatform::close_socket_handle(s);
        return false;
    }

    std::string mode = settings_.server_ip;
    std::transform(mode.begin(), mode.end(), mode.begin(),
                   [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; });
    bool found = false;
    if (mode == "auto") {
        found = discover_server_endpoint(s);
    } else {
        sockaddr_in address = make_address(0, settings_.server_port);
        if (::inet_pton(AF_INET, settings_.server_ip.c_str(), &address.sin_addr) != 1) {
            start_failure_reason_.store(start_failure_socket);
        } else {
            found = verify_server_compatibility(s, address);
        }
    }
    if (!found) {
        VelmoraPlatform::close_socket_handle(s);
        return false;
    }
    socket_.store(s);
    return true;
}

bool VelmoraClient::discover_server_endpoint(int s) {
    bool broadcast_enabled = false;
    if (settings_.discovery_broadcast) {
        const int on = 1;
        broadcast_enabled = ::setsockopt(s, SOL_SOCKET, SO_BROADCAST, &on, sizeof on) == 0;
    }
    if (!set_receive_timeout(s, discovery_wait_ms)) {
        return false;
    }
    const std::uint64_t nonce = make_nonce();
    const auto request = vp::build_discovery_request_packet(settings_.client_id, nonce);
    send_datagram(s, request, make_address(loopback_address, settings_.server_port));
    if (broadcast_enabled) {
        send_datagram(s, request, make_address(broadcast_address, settings_.server_port));
    }

    bool incompatible = false;
    bool have_candidate = false;
    sockaddr_in candidate{};
    int candidate_rank = 3;
    std::vector<char> buffer(max_datagram_bytes);
    receive_until(s, now_ms() + settings_.discovery_timeout_ms, buffer,
                  [&](const char* data, int length, const sockaddr_in& from) {
                      std::uint16_t port = 0;
                      switch (classify_discovery_reply(data, length, settings_.client_id, nonce, port)) {
                      case DiscoveryReply::incompatible:
                          incompatible = true;
                          return false;
                      case DiscoveryReply::compatible: {
                          const int rank = address_rank(from);
                          if (rank < candidate_rank) {
                              candidate = from;
                              candidate.sin_port = htons(port);
                              candidate_rank = rank;
                              have_candidate = true;
                          }
                          return rank != 0;
                      }
                      case DiscoveryReply::unrelated:
                          break;
                      }
                      return true;
                  });
    set_receive_timeout(s, 0);
    if (incompatible) {
        start_failure_reason_.store(start_failure_incompatible_server);
        return false;
    }
    if (!have_candidate) {
        int expected = start_failure_none;
        start_failure_reason_.compare_exchange_strong(expected, start_failure_no_server);
        log("[net] Auto discovery did not find a Velmora server.");
        return false;
    }
    {
        std::lock_guard<std::mutex> lock(mutex_);
        server_address_ = candidate;
    }
    char line[96];
    std::snprintf(line, sizeof line, "[net] Auto discovery selected %s:%u.", dotted(candidate).c_str(),
                  static_cast<unsigned>(ntohs(candidate.sin_port)));
    log(line);
    return true;
}

bool VelmoraClient::verify_server_compatibility(int s, const sockaddr_in& address) {
    if (!set_receive_timeout(s, discovery_wait_ms)) {
        start_failure_reason_.store(start_failure_socket);
        return false;
    }
    const std::uint64_t nonce = make_nonce();
    send_datagram(s, vp::build_discovery_request_packet(settings_.client_id, nonce), address);

    enum class Outcome { timed_out, compatible, incompatible } outcome = Outcome::timed_out;
    sockaddr_in replier{};
    std::vector<char> buffer(max_datagram_bytes);
    receive_until(s, now_ms() + settings_.discovery_timeout_ms, buffer,
                  [&](const char* data, int length, const sockaddr_in& from) {
                      std::uint16_t port = 0;
                      switch (classify_discovery_reply(data, length, settings_.client_id, nonce, port)) {
                      case DiscoveryReply::incompatible:
                          outcome = Outcome::incompatible;
                          return false;
                      case DiscoveryReply::compatible:
                          outcome = Outcome::compatible;
                          replier = from;
                          return false;
                      case DiscoveryReply::unrelated:
                          break;
                      }
                      return true;
                  });
    if (outcome == Outcome::incompatible) {
        start_failure_reason_.store(start_failure_incompatible_server);
        return false;
    }
    if (outcome == Outcome::timed_out) {
        start_failure_reason_.store(start_failure_no_server);
        log("[net] Velmora server compatibility probe timed out.");
        return false;
    }
    set_receive_timeout(s, 0);
    // The session only listens to its server's address: a server that answered from another of
    // its addresses is followed there, on the configured port.
    sockaddr_in chosen = address;
    if (replier.sin_addr.s_addr != address.sin_addr.s_addr) {
        chosen.sin_addr = replier.sin_addr;
        log("[net] Velmora server answered from " + dotted(replier) + "; using that address.");
    }
    std::lock_guard<std::mutex> lock(mutex_);
    server_address_ = chosen;
    return true;
}

void VelmoraClient::stop() {
    const bool was_running = running_.exchange(false);
    {
        // Taken so the announce thread cannot miss the wake-up between its check and its wait.
        std::lock_guard<std::mutex> lock(wake_mutex_);
    }
    wake_.notify_all();
    // The announce thread ends before the disconnect goes out: an announce sent after it would
    // register the client again until the server's time-out.
    if (announce_thread_.joinable()) {
        announce_thread_.join();
    }
    if (was_running && settings_.client_id != 0 && socket_.load() >= 0) {
        const auto packet = vp::build_client_disconnect_packet(settings_.client_id, session_id_);
        send_buffer(packet.data(), packet.size());
    }
    const int s = socket_.exchange(-1);
    if (s >= 0) {
        ::shutdown(s, SHUT_RDWR);
    }
    if (receive_thread_.joinable()) {
        receive_thread_.join();
    }
    // Closed only once no thread can still hold the number, so it cannot be reused under them.
    VelmoraPlatform::close_socket_handle(s);
    {
        std::lock_guard<std::mutex> lock(mutex_);
        for (auto& slot : assembly_slots_) {
            slot.reset();
        }
        input_fifo_.clear();
        server_format_known_ = false;
        server_sample_rate_ = 0;
        server_frame_count_ = 0;
        probe_pending_ = false;
    }
    if (socket_runtime_started_) {
        VelmoraPlatform::stop_socket_runtime();
        socket_runtime_started_ = false;
    }
    if (was_running) {
        log("[net] Client stopped.");
    }
    telemetry_callback_ = nullptr;
}

void VelmoraClient::reset_session_state_locked() {
    server_sample_rate_ = 0;
    server_frame_count_ = 0;
    server_format_known_ = false;
    forget_sequence_history_locked();
    input_fifo_.clear();
    sync_timings_.fill(SyncTiming{});
    duplicate_blocks_this_second_ = 0;
    received_blocks_this_second_ = 0;
    received_blocks_per_second_ = 0;
    duplicate_blocks_per_second_ = 0;
    last_rate_report_ms_ = now_ms();
    last_probe_sent_ms_ = 0;
    probe_pending_since_ms_ = 0;
    probe_id_ = 0;
    probe_send_time_ns_ = 0;
    probe_responses_ = 0;
    probe_timeouts_ = 0;
    rtt_last_us_ = 0;
    rtt_min_us_ = 0;
    rtt_max_us_ = 0;
    rtt_histogram_.reset();
    clock_offset_ns_ = 0;
    clock_offset_rtt_us_ = 0;
    clock_offset_valid_ = false;
    sync_age_samples_ = 0;
    sync_age_last_us_ = 0;
    sync_age_min_us_ = 0;
    sync_age_max_us_ = 0;
    sync_age_histogram_.reset();
    output_recv_to_append_last_us_ = 0;
    output_recv_to_append_max_us_ = 0;
    probe_pending_ = false;
    probe_has_result_ = false;
    probe_sent_ = false;
    sequence_events_ = SequenceEvents{};
}

void VelmoraClient::forget_sequence_history_locked() {
    has_last_sync_ = false;
    last_sync_sequence_ = 0;
    has_sent_input_ = false;
    last_sent_input_sequence_ = 0;
    output_receive_state_ = vp::EngineOutputReceiveState{};
    for (auto& slot : assembly_slots_) {
        slot.reset();
    }
    ++history_generation_;
}

bool VelmoraClient::configure_server_format(std::uint32_t sample_rate, std::uint16_t frame_count) {
    if (sample_rate == 0 || frame_count == 0 || frame_count > max_block_frames) {
        return false;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    server_sample_rate_ = sample_rate;
    server_frame_count_ = frame_count;
    server_format_known_ = true;
    forget_sequence_history_locked();
    input_fifo_.configure(settings_.driver_inputs.size(), sample_rate, frame_count, settings_.input_queue_target_blocks,
                          settings_.input_queue_max_blocks);
    return true;
}

void VelmoraClient::submit_input_block(std::uint32_t sample_rate, std::uint16_t frame_count,
                                       std::uint16_t channel_count, const std::vector<float>& samples,
                                       double clock_ratio) {
    if (frame_count == 0 || channel_count == 0 || samples.empty() ||
        static_cast<std::uint64_t>(frame_count) * channel_count != samples.size()) {
        return;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    if (channel_count != settings_.driver_inputs.size() || !server_format_known_ ||
        sample_rate != server_sample_rate_ || frame_count != server_frame_count_ ||
        input_fifo_.channel_count() != channel_count) {
        return;
    }
    input_fifo_.push(sample_rate, frame_count, samples.data(), clock_ratio);
}

std::size_t VelmoraClient::get_input_queue_index(std::size_t offset) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return input_fifo_.queue_index(offset);
}

VelmoraClient::Telemetry VelmoraClient::telemetry() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return make_telemetry_snapshot_locked();
}

VelmoraClient::Endpoint VelmoraClient::server_endpoint() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return Endpoint{ntohl(server_address_.sin_addr.s_addr), ntohs(server_address_.sin_port)};
}

VelmoraClient::SequenceEvents VelmoraClient::sequence_events() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return sequence_events_;
}

std::uint64_t VelmoraClient::input_queue_fill() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return input_fifo_.fill();
}

std::optional<std::int64_t> VelmoraClient::clock_offset_ns() const {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!clock_offset_valid_) {
        return std::nullopt;
    }
    return clock_offset_ns_;
}

void VelmoraClient::announce_loop() {
    using Clock = std::chrono::steady_clock;
    const auto period = std::chrono::milliseconds(settings_.announce_period_ms);
    // Deadlines advance from the start, so the period does not stretch by the work done.
    auto next_announce = Clock::now();
    auto next_tick = next_announce + announce_tick;
    while (running_.load(std::memory_order_acquire)) {
        auto now = Clock::now();
        if (now >= next_announce) {
            send_announce_once();
            send_time_probe_once();
            next_announce += period;
            if (next_announce <= now) {
                next_announce = now + period;
            }
        }
        {
            std::unique_lock<std::mutex> lock(wake_mutex_);
            wake_.wait_until(lock, std::min(next_tick, next_announce),
                             [this] { return !running_.load(std::memory_order_acquire); });
        }
        if (!running_.load(std::memory_order_acquire)) {
            break;
        }
        now = Clock::now();
        if (now >= next_tick) {
            send_time_probe_once();
            next_tick += announce_tick;
            if (next_tick <= now) {
                next_tick = now + announce_tick;
            }
        }
    }
}

void VelmoraClient::send_announce_once() {
    const auto packet = vp::build_announce_packet(settings_, session_id_);
    if (socket_.load() < 0 || !send_buffer(packet.data(), packet.size())) {
        log("[net] Failed to send announce.");
    }
}

void VelmoraClient::send_time_probe_once() {
    std::optional<Telemetry> timeout_snapshot;
    std::optional<vp::PacketBytes> request;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        const std::uint64_t now = now_ms();
        if (probe_pending_) {
            if (now - probe_pending_since_ms_ < probe_timeout_ms) {
                return;
            }
            probe_pending_ = false;
            ++probe_timeouts_;
            timeout_snapshot = make_telemetry_snapshot_locked();
        }
        if (!probe_sent_ || now - last_probe_sent_ms_ >= probe_interval_ms) {
            const std::uint64_t t1 = now_ns();
            probe_id_ = make_nonce() ^ t1;
            probe_send_time_ns_ = t1;
            probe_pending_ = true;
            probe_sent_ = true;
            last_probe_sent_ms_ = now;
            probe_pending_since_ms_ = now;
            request = vp::build_time_probe_request_packet(settings_.client_id, probe_id_, t1);
        }
    }
    if (timeout_snapshot) {
        publish_telemetry(*timeout_snapshot);
    }
    if (request && socket_.load() >= 0) {
        send_buffer(request->data(), request->size());
    }
}

void VelmoraClient::receive_loop() {
    pthread_set_qos_class_self_np(QOS_CLASS_USER_INTERACTIVE, 0);
    std::vector<char> buffer(max_datagram_bytes);
    while (running_.load(std::memory_order_acquire)) {
        const int s = socket_.load(std::memory_order_acquire);
        if (s < 0) {
            break;
        }
        sockaddr_in from{};
        socklen_t from_length = sizeof from;
        const ssize_t received =
            ::recvfrom(s, buffer.data(), buffer.size(), 0, reinterpret_cast<sockaddr*>(&from), &from_length);
        if (received < 0) {
            if (!running_.load(std::memory_order_acquire)) {
                break;
            }
            if (!is_transient_receive_error(errno)) {
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            }
            continue;
        }
        if (from_length < sizeof from || !same_endpoint(from, server_address_)) {
            continue;
        }
        handle_packet(buffer.data(), static_cast<int>(received));
    }
}

void VelmoraClient::handle_packet(const char* data, int length) {
    vp::PacketHeader header{};
    if (vp::parse_packet_header(data, length, header) != vp::PacketParseResult::ok) {
        return;
    }
    // The server addresses every packet to one client; another id is not ours to act on.
    if (header.client_id != settings_.client_id) {
        return;
    }
    switch (header.type) {
    case static_cast<std::uint16_t>(vp::PacketType::time_probe_response):
        handle_time_probe_response_packet(data, length);
        break;
    case static_cast<std::uint16_t>(vp::PacketType::sync):
        handle_sync_packet(data, length);
        break;
    case static_cast<std::uint16_t>(vp::PacketType::audio_fragment):
        handle_audio_fragment(data, length);
        break;
    default:
        break;
    }
}

std::uint32_t VelmoraClient::restart_threshold_blocks_locked(std::uint32_t sample_rate,
                                                             std::uint16_t frame_count) const {
    const std::uint64_t rate = server_format_known_ ? server_sample_rate_ : sample_rate;
    const std::uint64_t frames = server_format_known_ ? server_frame_count_ : frame_count;
    const std::uint64_t blocks_per_second = (rate + frames - 1) / frames;
    return static_cast<std::uint32_t>(std::clamp<std::uint64_t>(blocks_per_second, 1, 0x7FFFFFFF));
}

void VelmoraClient::handle_sync_packet(const char* data, int length) {
    const std::uint64_t now = now_ns();
    vp::SyncPacket packet{};
    if (vp::parse_sync_packet(data, length, packet) != vp::PacketParseResult::ok) {
        return;
    }
    std::optional<Telemetry> snapshot;
    bool send_input = false;
    bool server_restarted = false;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (packet.sample_rate == 0 || packet.frame_count == 0 || packet.frame_count > max_block_frames) {
            ++sequence_events_.malformed_packets;
            return;
        }
        const bool format_changed = server_format_known_ &&
                                    (packet.sample_rate != server_sample_rate_ || packet.frame_count != server_frame_count_);
        if (!format_changed) {
            if (has_last_sync_ && !vp::is_sequence_newer(packet.sequence, last_sync_sequence_)) {
                // Late and repeated syncs are dropped; one far behind is a server numbering anew.
                const std::uint32_t behind = last_sync_sequence_ - packet.sequence;
                if (behind <= restart_threshold_blocks_locked(packet.sample_rate, packet.frame_count)) {
                    return;
                }
                forget_sequence_history_locked();
                ++sequence_events_.server_restarts;
                server_restarted = true;
            }
            send_input = !settings_.driver_inputs.empty();
        }
        last_sync_sequence_ = packet.sequence;
        has_last_sync_ = true;
        if (clock_offset_valid_ && packet.server_host_time_ns != 0) {
            const std::uint64_t local = shift_time(packet.server_host_time_ns, clock_offset_ns_);
            store_sync_timing_locked(packet.sequence, packet.server_host_time_ns, local);
            record_sync_age_locked(local, now);
            snapshot = make_telemetry_snapshot_locked();
        }
    }
    if (server_restarted) {
        log("[net] Server sequence restarted at " + std::to_string(packet.sequence) + "; sequence history reset.");
    }
    if (snapshot) {
        publish_telemetry(*snapshot);
    }
    if (sync_callback_) {
        vp::SyncInfo info;
        info.sequence = packet.sequence;
        info.sample_rate = packet.sample_rate;
        info.frame_count = packet.frame_count;
        info.server_sample_time = packet.server_sample_time;
        info.server_host_time_ns = packet.server_host_time_ns;
        sync_callback_(info);
    }
    if (send_input) {
        send_captured_block_for_server_sequence(packet.sequence, packet.sample_rate, packet.frame_count);
    }
}

void VelmoraClient::store_sync_timing_locked(std::uint32_t sequence, std::uint64_t server_time_ns,
                                             std::uint64_t local_time_ns) {
    sync_timings_[sequence % sync_timings_.size()] = SyncTiming{sequence, server_time_ns, local_time_ns, true};
}

bool VelmoraClient::find_sync_timing_locked(std::uint32_t sequence, std::uint64_t& server_time_ns,
                                            std::uint64_t& local_time_ns) const {
    const SyncTiming& entry = sync_timings_[sequence % sync_timings_.size()];
    if (!entry.valid || entry.sequence != sequence) {
        return false;
    }
    server_time_ns = entry.server_host_time_ns;
    local_time_ns = entry.local_time_ns;
    return true;
}

void VelmoraClient::record_sync_age_locked(std::uint64_t local_time_ns, std::uint64_t now) {
    const std::uint32_t age = now > local_time_ns ? saturate_u32(ceil_microseconds(now - local_time_ns)) : 0;
    ++sync_age_samples_;
    sync_age_last_us_ = age;
    if (sync_age_min_us_ == 0 || age < sync_age_min_us_) {
        sync_age_min_us_ = age;
    }
    sync_age_max_us_ = std::max(sync_age_max_us_, age);
    sync_age_histogram_.add(age);
}

void VelmoraClient::handle_time_probe_response_packet(const char* data, int length) {
    vp::TimeProbeResponsePacket packet{};
    if (vp::parse_time_probe_response_packet(data, length, packet) != vp::PacketParseResult::ok) {
        return;
    }
    Telemetry snapshot;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!probe_pending_ || packet.probe_id != probe_id_ || packet.client_send_time_ns != probe_send_time_ns_) {
            return;
        }
        const std::uint64_t t1 = packet.client_send_time_ns;
        const std::uint64_t t2 = packet.server_receive_time_ns;
        const std::uint64_t t3 = packet.server_send_time_ns;
        const std::uint64_t t4 = now_ns();
        std::uint64_t round_trip = t4 >= t1 ? t4 - t1 : 0;
        const std::uint64_t hold = t3 >= t2 ? t3 - t2 : 0;
        if (round_trip > hold) {
            round_trip -= hold;
        }
        const std::uint32_t rtt = saturate_u32(ceil_microseconds(round_trip));
        clock_offset_ns_ = saturate_i64((signed_difference(t4, t3) + signed_difference(t1, t2)) / 2.0);
        probe_pending_ = false;
        probe_has_result_ = true;
        clock_offset_valid_ = true;
        clock_offset_rtt_us_ = rtt;
        ++probe_responses_;
        rtt_last_us_ = rtt;
        if (rtt_min_us_ == 0 || rtt < rtt_min_us_) {
            rtt_min_us_ = rtt;
        }
        rtt_max_us_ = std::max(rtt_max_us_, rtt);
        rtt_histogram_.add(rtt);
        snapshot = make_telemetry_snapshot_locked();
    }
    publish_telemetry(snapshot);
}

void VelmoraClient::handle_audio_fragment(const char* data, int length) {
    const std::uint64_t receive_time = now_ns();
    vp::AudioFragmentPacket packet{};
    const float* samples = nullptr;
    std::size_t sample_count = 0;
    if (vp::parse_audio_fragment_packet(data, length, packet, samples, sample_count) != vp::PacketParseResult::ok) {
        return;
    }
    bool completed = false;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (packet.frame_count > max_block_frames) {
            ++sequence_events_.malformed_packets;
            return;
        }
        vp::assemble_audio_fragment(assembly_slots_, packet, samples, sample_count, settings_.driver_outputs.size(),
                                    max_block_frames, assembly_slot_count, false, assembly_result_);
        if (assembly_result_.completed) {
            completed = true;
            vp::CompletedOutputBlock& source = assembly_result_.block;
            delivery_block_.sequence = source.sequence;
            delivery_block_.sample_rate = source.sample_rate;
            delivery_block_.frame_count = source.frame_count;
            delivery_block_.channel_count = source.channel_count;
            // A swap, not a copy: both vectors keep their storage for the next block.
            delivery_block_.samples.swap(source.samples);
            delivery_block_.receive_time_ns = receive_time;
            delivery_block_.append_time_ns = 0;
            if (!find_sync_timing_locked(source.sequence, delivery_block_.server_host_time_ns,
                                         delivery_block_.server_time_local_ns)) {
                delivery_block_.server_host_time_ns = 0;
                delivery_block_.server_time_local_ns = 0;
            }
        }
    }
    if (completed) {
        complete_assembly(delivery_block_);
    }
}

void VelmoraClient::complete_assembly(vp::CompletedOutputBlock& block) {
    if (!output_callback_) {
        return;
    }
    const std::uint64_t now = now_ms();
    bool stale = false;
    std::uint32_t missing_first = 0;
    std::uint32_t missing_count = 0;
    std::uint32_t unfilled_gap = 0;
    std::optional<Telemetry> report;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        const vp::EngineOutputReceiveDecision decision = vp::decide_engine_output_receive(output_receive_state_, block.sequence);
        if (decision.accept) {
            ++received_blocks_this_second_;
            ++sequence_events_.output_blocks_accepted;
            missing_first = decision.missing_first_sequence;
            missing_count = decision.missing_count;
            if (missing_count > gap_fill_limit_blocks_) {
                // The history now starts at this block.
                unfilled_gap = missing_count;
                missing_count = 0;
                ++sequence_events_.output_gap_restarts;
            }
            sequence_events_.silent_blocks_filled += missing_count;
        } else {
            stale = true;
            ++duplicate_blocks_this_second_;
            ++sequence_events_.output_blocks_stale;
        }
        if (now - last_rate_report_ms_ >= rate_report_period_ms) {
            received_blocks_per_second_ = received_blocks_this_second_;
            duplicate_blocks_per_second_ = duplicate_blocks_this_second_;
            received_blocks_this_second_ = 0;
            duplicate_blocks_this_second_ = 0;
            last_rate_report_ms_ = now;
            report = make_telemetry_snapshot_locked();
        }
    }
    if (report) {
        publish_telemetry(*report);
        char line[160];
        std::snprintf(line, sizeof line, "[net] recvBlocksPerSec=%llu duplicateBlocksPerSec=%llu rttUs=%u/%u/%u",
                      static_cast<unsigned long long>(report->received_blocks_per_second),
                      static_cast<unsigned long long>(report->duplicate_blocks_per_second), report->rtt_last_us,
                      report->rtt_min_us, report->rtt_max_us);
        log(line);
    }
    if (stale) {
        return;
    }
    if (unfilled_gap != 0) {
        log("[net] Output sequence jumped over " + std::to_string(unfilled_gap) +
            " blocks; continuing without silence fill.");
    }
    if (missing_count != 0) {
        silent_block_.sample_rate = block.sample_rate;
        silent_block_.frame_count = block.frame_count;
        silent_block_.channel_count = block.channel_count;
        silent_block_.server_host_time_ns = 0;
        silent_block_.server_time_local_ns = 0;
        silent_block_.receive_time_ns = 0;
        silent_block_.append_time_ns = 0;
        silent_block_.samples.assign(static_cast<std::size_t>(block.channel_count) * block.frame_count, 0.0f);
        for (std::uint32_t i = 0; i < missing_count; ++i) {
            silent_block_.sequence = missing_first + i;
            output_callback_(silent_block_);
        }
    }
    block.append_time_ns = now_ns();
    output_callback_(block);
    const std::uint64_t appended = now_ns();
    std::lock_guard<std::mutex> lock(mutex_);
    record_output_recv_to_append_locked(block.receive_time_ns, appended);
}

void VelmoraClient::record_output_recv_to_append_locked(std::uint64_t receive_time_ns, std::uint64_t now) {
    if (receive_time_ns < 1 || receive_time_ns > now) {
        return;
    }
    output_recv_to_append_last_us_ = saturate_u32((now - receive_time_ns) / 1000);
    output_recv_to_append_max_us_ = std::max(output_recv_to_append_max_us_, output_recv_to_append_last_us_);
}

void VelmoraClient::send_captured_block_for_server_sequence(std::uint32_t sync_sequence, std::uint32_t sample_rate,
                                                            std::uint16_t frame_count) {
    const auto target = static_cast<std::uint32_t>(sync_sequence + settings_.client_latency_blocks);
    const std::size_t channels = settings_.driver_inputs.size();
    // Grows only when the format grows; a steady stream reuses it.
    input_block_scratch_.resize(channels * frame_count);
    std::uint64_t generation = 0;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (has_sent_input_ && !vp::is_sequence_newer(target, last_sent_input_sequence_)) {
            return;
        }
        if (!input_fifo_.read_block(sample_rate, frame_count, input_block_scratch_.data())) {
            return;
        }
        generation = history_generation_;
    }
    if (!vp::build_audio_fragment_packets(settings_.client_id, target, sample_rate, frame_count, channels,
                                          input_block_scratch_, packet_scratch_, settings_.udp_payload_bytes)) {
        return;
    }
    for (const auto& datagram : packet_scratch_) {
        if (!running_.load(std::memory_order_acquire)) {
            break;
        }
        send_buffer(datagram.data(), datagram.size());
    }
    std::lock_guard<std::mutex> lock(mutex_);
    if (generation == history_generation_) {
        last_sent_input_sequence_ = target;
        has_sent_input_ = true;
    }
}

std::uint32_t VelmoraClient::estimate_time_probe_rtt_percentile_locked(std::uint32_t percent) const {
    return probe_has_result_ ? rtt_histogram_.percentile(percent, rtt_max_us_) : 0;
}

std::uint32_t VelmoraClient::estimate_sync_age_percentile_locked(std::uint32_t percent) const {
    return sync_age_histogram_.percentile(percent, sync_age_max_us_);
}

VelmoraClient::Telemetry VelmoraClient::make_telemetry_snapshot_locked() const {
    Telemetry t;
    t.received_blocks_per_second = received_blocks_per_second_;
    t.duplicate_blocks_per_second = duplicate_blocks_per_second_;
    t.probe_responses = probe_responses_;
    t.probe_timeouts = probe_timeouts_;
    t.rtt_last_us = rtt_last_us_;
    t.rtt_min_us = rtt_min_us_;
    t.rtt_max_us = rtt_max_us_;
    t.rtt_p50_us = estimate_time_probe_rtt_percentile_locked(50);
    t.rtt_p95_us = estimate_time_probe_rtt_percentile_locked(95);
    t.rtt_p99_us = estimate_time_probe_rtt_percentile_locked(99);
    t.rtt_histogram = rtt_histogram_.buckets();
    t.clock_offset_valid = clock_offset_valid_ ? 1 : 0;
    t.clock_offset_rtt_us = clock_offset_rtt_us_;
    t.sync_age_samples = sync_age_samples_;
    t.sync_age_last_us = sync_age_last_us_;
    t.sync_age_min_us = sync_age_min_us_;
    t.sync_age_max_us = sync_age_max_us_;
    t.sync_age_p50_us = estimate_sync_age_percentile_locked(50);
    t.sync_age_p95_us = estimate_sync_age_percentile_locked(95);
    t.sync_age_p99_us = estimate_sync_age_percentile_locked(99);
    t.sync_age_histogram = sync_age_histogram_.buckets();
    t.output_recv_to_append_last_us = output_recv_to_append_last_us_;
    t.output_recv_to_append_max_us = output_recv_to_append_max_us_;
    return t;
}

bool VelmoraClient::send_buffer(const void* data, std::size_t size) {
    const int s = socket_.load(std::memory_order_acquire);
    if (s < 0 || size == 0) {
        return false;
    }
    return VelmoraPlatform::is_full_socket_send(send_datagram(s, data, size, server_address_), size);
}

void VelmoraClient::log(const std::string& text) const {
    if (log_callback_) {
        log_callback_(text);
    }
}

void VelmoraClient::log(const char* text) const {
    // Without a listener the line is never turned into a string (no allocation on the receive
    // thread for the once-a-second report).
    if (log_callback_) {
        log_callback_(std::string(text));
    }
}

void VelmoraClient::publish_telemetry(const Telemetry& snapshot) const {
    if (telemetry_callback_) {
        telemetry_callback_(snapshot);
    }
}
