// A client engine reduced to what tests need, on the protocol library alone: announces itself,
// receives sync packets and output fragments (reassembled into blocks), sends input blocks and
// any raw datagram. 127.0.0.1 only. One thread.
#pragma once

#include <velmora/protocol/audio_fragments.h>
#include <velmora/protocol/packet_formats.h>

#include <chrono>
#include <cstdint>
#include <functional>
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

    UdpTestClient();
    ~UdpTestClient();
    UdpTestClient(const UdpTestClient&) = delete;
    UdpTestClient& operator=(const UdpTestClient&) = delete;

    bool is_open() const { return fd_ >= 0; }
    std::uint16_t local_port() const { return local_port_; }
    void set_server_port(std::uint16_t port) { server_port_ = port; }

    bool send_raw(const void* data, std::size_t size);
    bool send_raw(const std::vector<char>& datagram) { return send_raw(datagram.data(), datagram.size()); }
    bool announce(std::uint32_t client_id, std::uint32_t session_id, const std::vector<std::int64_t>& inputs,
                  const std::vector<std::int64_t>& outputs, std::uint32_t latency_blocks);
    bool disconnect(std::uint32_t client_id, std::uint32_t session_id);
    // Planar `samples` (channels x frames) as the input block for `sequence`.
    bool send_input_block(std::uint32_t client_id, std::uint32_t sequence, std::uint32_t sample_rate,
                          std::uint16_t frames, std::size_t channels, const std::vector<float>& samples);

    // Receives until `duration` has passed, adding to `events`; `on_sync` (may be empty) runs for
    // every sync as it arrives.
    void receive_for(std::chrono::milliseconds duration, Events& events,
                     const std::function<void(const VelmoraProtocol::SyncPacket&)>& on_sync = {});

private:
    int fd_ = -1;
    std::uint16_t local_port_ = 0;
    std::uint16_t server_port_ = 0;
    std::vector<VelmoraProtocol::AudioFragmentAssemblySlot> slots_;
    VelmoraProtocol::AudioFragmentAssemblyResult result_;
    std::vector<VelmoraProtocol::PacketBytes> datagrams_;
};

// A UDP port on 127.0.0.1 that was free a moment ago.
std::uint16_t free_udp_port();

} // namespace VelmoraTest
