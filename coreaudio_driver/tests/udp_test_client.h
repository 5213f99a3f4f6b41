// A UDP socket on 127.0.0.1 standing in for a client engine (or a stranger) in tests, on the
// protocol library alone: announces itself, receives sync packets and output fragments
// (reassembled into blocks), sends input blocks and any raw datagram to the server's port.
// One thread.
#pragma once

#include <velmora/protocol/audio_fragments.h>
#include <velmora/protocol/packet_formats.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

namespace VelmoraTest {

class UdpTestClient {
public:
    struct Events {
        std::vector<VelmoraProtocol::SyncPacket> syncs;
        std::vector<VelmoraProtocol::CompletedOutputBlock> blocks;
        std::vector<std::uint64_t> sync_times_ns; // host time each sync arrived
        int other_datagrams = 0;                  // anything but a sync or an output fragment
    };

    // Binds 127.0.0.1 on `port` (0: a free one); `server_port` is where it sends.
    explicit UdpTestClient(std::uint16_t server_port = 0, std::uint16_t port = 0);
    ~UdpTestClient();
    UdpTestClient(const UdpTestClient&) = delete;
    UdpTestClient& operator=(const UdpTestClient&) = delete;

    bool is_open() const { return fd_ >= 0; }
    std::uint16_t local_port() const { return local_port_; }
    void set_server_port(std::uint16_t port) { server_port_ = port; }

    bool send_raw(const void* data, std::size_t size);
    bool send_raw(const std::vector<char>& datagram) { return send_raw(datagram.data(), datagram.size()); }
    bool announce(std::uint32_t client_id, std::uint32_t session_id, const std::vector<std::int64_t>& inputs,
                  const std::vector<std::int64_t>& outputs, std::uint32_t latency_blocks = 6);
    bool disconnect(std::uint32_t client_id, std::uint32_t session_id);
    // Planar `samples` (channels x frames) as the input block for `sequence`.
    bool send_input_block(std::uint32_t client_id, std::uint32_t sequence, std::uint32_t sample_rate,
                          std::uint16_t frames, std::size_t channels, const std::vector<float>& samples);

    // The next datagram as it came, or nothing after `timeout`.
    std::optional<VelmoraProtocol::PacketBytes> receive(std::chrono::milliseconds timeout);
    // Receives until `duration` has passed, adding to `events`; `on_sync` (may be empty) runs for
    // every sync as it arrives.
    void receive_for(std::chrono::milliseconds duration, Events& events,
                     const std::function<void(const VelmoraProtocol::SyncPacket&)>& on_sync = {});
    // Receives until `done(events)` holds (true) or `limit` has passed (false): what a loaded
    // machine needs instead of a fixed time.
    bool receive_until(Events& events, const std::function<bool(const Events&)>& done,
                       std::chrono::milliseconds limit = std::chrono::seconds(20),
                       const std::function<void(const VelmoraProtocol::SyncPacket&)>& on_sync = {});
    // Reads until nothing has come for `quiet` (10 s at most).
    void drain(std::chrono::milliseconds quiet = std::chrono::milliseconds(200));

private:
    // Waits for a datagram and reads it into `buffer_`: its length, or -1.
    int receive_into_buffer(std::chrono::milliseconds timeout);

    int fd_ = -1;
    std::uint16_t local_port_ = 0;
    std::uint16_t server_port_ = 0;
    std::vector<VelmoraProtocol::AudioFragmentAssemblySlot> slots_;
    VelmoraProtocol::AudioFragmentAssemblyResult result_;
    std::vector<VelmoraProtocol::PacketBytes> datagrams_;
    std::vector<char> buffer_;
};

// A UDP port on 127.0.0.1 that was free a moment ago.
std::uint16_t free_udp_port();

// The type field of a datagram with a valid header, else 0.
std::uint16_t packet_type(const VelmoraProtocol::PacketBytes& datagram);

} // namespace VelmoraTest
