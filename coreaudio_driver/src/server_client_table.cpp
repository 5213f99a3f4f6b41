#include <velmora/server/server_client_table.h>

#include <algorithm>
#include <bitset>
#include <utility>

namespace VelmoraCore {

bool copy_valid_driver_channel_map(const std::vector<std::int64_t>& map, std::size_t channel_limit,
                                   std::vector<std::int64_t>& out) {
    out.clear();
    if (map.size() > channel_limit) {
        return false;
    }
    // Device channels are few; a fixed bit set covers them without allocating.
    std::bitset<256> used;
    if (channel_limit > used.size()) {
        return false;
    }
    for (std::int64_t entry : map) {
        if (entry < 0 || static_cast<std::uint64_t>(entry) >= channel_limit ||
            used.test(static_cast<std::size_t>(entry))) {
            return false;
        }
        used.set(static_cast<std::size_t>(entry));
    }
    out = map;
    return true;
}

ServerClientAnnouncementDecision decide_server_client_announcement(
    bool exists, std::uint32_t existing_session, const Ipv4Endpoint& existing_endpoint,
    const std::vector<std::int64_t>& existing_input_map, const std::vector<std::int64_t>& existing_output_map,
    const VelmoraProtocol::AnnouncePacket& announce, const std::vector<std::int64_t>& announced_input_map,
    const std::vector<std::int64_t>& announced_output_map, const Ipv4Endpoint& sender, std::size_t channel_limit) {
    ServerClientAnnouncementDecision decision;
    if (!copy_valid_driver_channel_map(announced_input_map, channel_limit, decision.input_channel_map) ||
        !copy_valid_driver_channel_map(announced_output_map, channel_limit, decision.output_channel_map)) {
        decision.input_channel_map.clear();
        decision.output_channel_map.clear();
        return decision;
    }
    decision.accepted = true;
    const std::uint32_t session = announce.session_id;

    if (decision.input_channel_map.empty() && decision.output_channel_map.empty()) {
        decision.disconnect = true;
        // A stale disconnect from an earlier session or another host must not end a live client.
        decision.remove_existing = exists && sender == existing_endpoint &&
                                   (session == existing_session || session == 0 || existing_session == 0);
        return decision;
    }
    if (!exists) {
        decision.insert_new = true;
        decision.reset_input = true;
        return decision;
    }
    decision.endpoint_changed = !(sender == existing_endpoint);
    decision.session_changed = session != 0 && session != existing_session;
    decision.input_map_changed = decision.input_channel_map != existing_input_map;
    decision.output_map_changed = decision.output_channel_map != existing_output_map;
    if (decision.session_changed) {
        decision.remove_existing = true;
        decision.insert_new = true;
        decision.reset_input = true;
    } else {
        decision.update_existing = true;
        decision.reset_input = decision.input_map_changed || decision.endpoint_changed;
    }
    return decision;
}

ServerClientAnnouncementResult ServerClientTable::apply_announcement(
    const VelmoraProtocol::AnnouncePacket& announce, const std::vector<std::int64_t>& announced_input_map,
    const std::vector<std::int64_t>& announced_output_map, const Ipv4Endpoint& sender, std::size_t channel_limit,
    std::uint64_t now_ms) {
    const std::uint32_t client_id = announce.client_id;
    auto found = clients_.find(client_id);
    const bool exists = found != clients_.end();
    static const std::vector<std::int64_t> no_map;
    const ServerClientAnnouncementDecision decision = decide_server_client_announcement(
        exists, exists ? found->second.session_id : 0, exists ? found->second.endpoint : Ipv4Endpoint{},
        exists ? found->second.input_channel_map : no_map, exists ? found->second.output_channel_map : no_map,
        announce, announced_input_map, announced_output_map, sender, channel_limit);

    ServerClientAnnouncementResult result;
    if (!decision.accepted) {
        return result;
    }
    result.accepted = true;
    result.client_id = client_id;
    if (decision.disconnect) {
        result.disconnect = true;
        if (decision.remove_existing) {
            clients_.erase(found);
            result.removed = true;
        }
        return result;
    }
    if (decision.remove_existing && exists) {
        clients_.erase(found);
        found = clients_.end();
        result.removed = true;
    }
    if (decision.insert_new) {
        ServerClientState state;
        assign_client_from_decision(state, announce, sender, decision, now_ms, true);
        clients_.insert_or_assign(client_id, std::move(state));
        result.inserted = true;
        result.assigned = true;
    } else if (decision.update_existing && found != clients_.end()) {
        assign_client_from_decision(found->second, announce, sender, decision, now_ms, decision.reset_input);
        result.updated = true;
        result.assigned = true;
    }
    result.endpoint_changed = decision.endpoint_changed;
    result.input_reset = decision.reset_input;
    return result;
}

void ServerClientTable::assign_client_from_decision(ServerClientState& state,
                                                    const VelmoraProtocol::AnnouncePacket& announce,
                                                    const Ipv4Endpoint& sender,
                                                    const ServerClientAnnouncementDecision& decision,
                                                    std::uint64_t now_ms, bool reset_input) const {
    state.endpoint = sender;
    state.client_id = announce.client_id;
    state.session_id = announce.session_id;
    state.input_latency_blocks = announce.input_latency_blocks;
    state.output_latency_blocks = announce.output_latency_blocks;
    state.input_channel_map = decision.input_channel_map;
    state.output_channel_map = decision.output_channel_map;
    state.last_seen_ms = now_ms;
    state.assembly_channel_map = decision.input_channel_map;
    if (reset_input) {
        state.assembly_client_id = announce.client_id;
        state.assembly_slots.assign(assembly_slot_count_, VelmoraProtocol::AudioFragmentAssemblySlot{});
        state.publish_state = VelmoraProtocol::ServerInputPublishState{};
    }
}

std::vector<ServerClientOutputTarget> ServerClientTable::output_targets() const {
    std::vector<ServerClientOutputTarget> targets;
    output_targets(targets);
    return targets;
}

void ServerClientTable::output_targets(std::vector<ServerClientOutputTarget>& targets) const {
    targets.reserve(clients_.size());
    targets.resize(clients_.size());
    std::size_t index = 0;
    for (const auto& [client_id, state] : clients_) {
        ServerClientOutputTarget& target = targets[index++];
        target.endpoint = state.endpoint;
        target.client_id = client_id;
        target.session_id = state.session_id;
        target.output_channel_map.assign(state.output_channel_map.begin(), state.output_channel_map.end());
    }
}

std::size_t ServerClientTable::prune_expired_clients(std::uint64_t now_ms, std::uint32_t timeout_ms) {
    return std::erase_if(clients_, [&](const auto& entry) {
        const std::uint64_t last_seen = entry.second.last_seen_ms;
        return now_ms > last_seen && now_ms - last_seen > timeout_ms;
    });
}

ServerLatencySummary ServerClientTable::latency_summary() const {
    ServerLatencySummary summary;
    for (const auto& [client_id, state] : clients_) {
        summary.input_latency_blocks = std::max(summary.input_latency_blocks, state.input_latency_blocks);
        summary.output_latency_blocks = std::max(summary.output_latency_blocks, state.output_latency_blocks);
    }
    return summary;
}

ServerClientState* ServerClientTable::find(std::uint32_t client_id) {
    const auto found = clients_.find(client_id);
    return found != clients_.end() ? &found->second : nullptr;
}

const ServerClientState* ServerClientTable::find(std::uint32_t client_id) const {
    const auto found = clients_.find(client_id);
    return found != clients_.end() ? &found->second : nullptr;
}

} // namespace VelmoraCore
