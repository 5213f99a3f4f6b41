// The server's table of client engines, one entry per client id that has announced itself.
//
// Every Announce is judged by a pure decision:
//   maps invalid (over 32 entries, out of range, repeated)   -> rejected, table unchanged
//   both maps empty (a disconnect)                           -> removed if it comes from the
//       client's endpoint and the sessions agree (equal, or either one 0); otherwise ignored
//   unknown client                                           -> inserted, input reassembly fresh
//   known client, new non-zero session                       -> replaced by a fresh entry
//   known client otherwise                                   -> updated in place; input reassembly
//       starts over only when its input map or its endpoint changed
// A client falls silent and is pruned once more than the timeout has passed since its last
// accepted Announce or matching input fragment.
//
// Plain data without locking: only the server's network thread touches it.
#pragma once

#include <velmora/protocol/audio_fragments.h>
#include <velmora/protocol/packet_formats.h>
#include <velmora/server/ipv4_endpoint.h>
#include <velmora/server/server_limits.h>

#include <cstddef>
#include <cstdint>
#include <unordered_map>
#include <vector>

namespace VelmoraCore {

struct ServerClientState {
    Ipv4Endpoint endpoint;                  // sender of the last accepted Announce
    std::uint32_t client_id = 0;
    std::uint32_t session_id = 0;           // 0 = none given
    std::uint32_t input_latency_blocks = 0;
    std::uint32_t output_latency_blocks = 0;
    std::vector<std::int64_t> input_channel_map;  // client input channel -> device input channel
    std::vector<std::int64_t> output_channel_map; // client output channel -> device output channel
    std::uint32_t assembly_client_id = 0;         // client id input fragments must carry
    std::vector<std::int64_t> assembly_channel_map; // input map used to reassemble and publish input
    std::vector<VelmoraProtocol::AudioFragmentAssemblySlot> assembly_slots;
    VelmoraProtocol::ServerInputPublishState publish_state;
    std::uint64_t last_seen_ms = 0;
};

struct ServerClientAnnouncementDecision {
    bool accepted = false;
    bool disconnect = false;
    bool remove_existing = false;
    bool insert_new = false;
    bool update_existing = false;
    bool session_changed = false;
    bool endpoint_changed = false;
    bool input_map_changed = false;
    bool output_map_changed = false;
    bool reset_input = false;
    std::vector<std::int64_t> input_channel_map;  // validated copies of the announced maps
    std::vector<std::int64_t> output_channel_map;
};

struct ServerClientAnnouncementResult {
    bool accepted = false;
    bool disconnect = false;
    bool removed = false;
    bool inserted = false;
    bool updated = false;
    bool endpoint_changed = false;
    bool input_reset = false;
    std::uint32_t client_id = 0;
    bool assigned = false; // a client state was written by this Announce
};

struct ServerClientOutputTarget {
    Ipv4Endpoint endpoint;
    std::uint32_t client_id = 0;
    std::uint32_t session_id = 0;
    std::vector<std::int64_t> output_channel_map;
};

struct ServerLatencySummary {
    std::uint32_t input_latency_blocks = 0;  // largest over all clients
    std::uint32_t output_latency_blocks = 0; // largest over all clients
};

// Clears `out`, then copies `map` into it when the map fits a device of `channel_limit` channels:
// at most `channel_limit` entries, each in 0..channel_limit-1, none repeated. An empty map is
// valid. Any thread; `channel_limit` above 256 is refused.
bool copy_valid_driver_channel_map(const std::vector<std::int64_t>& map, std::size_t channel_limit,
                                   std::vector<std::int64_t>& out);

// The decision about one Announce against the client's current entry (if `exists`). Pure.
ServerClientAnnouncementDecision decide_server_client_announcement(
    bool exists, std::uint32_t existing_session, const Ipv4Endpoint& existing_endpoint,
    const std::vector<std::int64_t>& existing_input_map, const std::vector<std::int64_t>& existing_output_map,
    const VelmoraProtocol::AnnouncePacket& announce, const std::vector<std::int64_t>& announced_input_map,
    const std::vector<std::int64_t>& announced_output_map, const Ipv4Endpoint& sender, std::size_t channel_limit);

// Network thread only; allocates as clients come and go.
class ServerClientTable {
public:
    // Decides and applies one parsed Announce from `sender`, received at `now_ms`.
    ServerClientAnnouncementResult apply_announcement(const VelmoraProtocol::AnnouncePacket& announce,
                                                      const std::vector<std::int64_t>& announced_input_map,
                                                      const std::vector<std::int64_t>& announced_output_map,
                                                      const Ipv4Endpoint& sender, std::size_t channel_limit,
                                                      std::uint64_t now_ms);

    // Writes one client state from an accepted decision. With `reset_input` the input
    // reassembly starts over (fresh slots, nothing published); without, only the map it uses is
    // refreshed.
    void assign_client_from_decision(ServerClientState& state, const VelmoraProtocol::AnnouncePacket& announce,
                                     const Ipv4Endpoint& sender, const ServerClientAnnouncementDecision& decision,
                                     std::uint64_t now_ms, bool reset_input) const;

    // One target per client, in the map's iteration order.
    std::vector<ServerClientOutputTarget> output_targets() const;
    // The same into `targets`, reusing its storage (the pump calls this once per block).
    void output_targets(std::vector<ServerClientOutputTarget>& targets) const;

    // Erases every client silent for more than `timeout_ms`; returns how many went.
    std::size_t prune_expired_clients(std::uint64_t now_ms, std::uint32_t timeout_ms);

    ServerLatencySummary latency_summary() const;

    ServerClientState* find(std::uint32_t client_id);
    const ServerClientState* find(std::uint32_t client_id) const;
    std::size_t size() const { return clients_.size(); }
    void clear() { clients_.clear(); }

    std::size_t assembly_slot_count() const { return assembly_slot_count_; }

private:
    std::size_t assembly_slot_count_ = kServerAssemblySlots;
    std::unordered_map<std::uint32_t, ServerClientState> clients_;
};

} // namespace VelmoraCore
