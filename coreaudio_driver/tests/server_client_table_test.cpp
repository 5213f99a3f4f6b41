#include <velmora/server/server_client_table.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

using VelmoraCore::Ipv4Endpoint;
using VelmoraCore::ServerClientAnnouncementDecision;
using VelmoraCore::ServerClientTable;
using VelmoraProtocol::AnnouncePacket;
using Map = std::vector<std::int64_t>;

namespace {

constexpr Ipv4Endpoint kHome{0x7F000001U, 40000};
constexpr Ipv4Endpoint kOtherPort{0x7F000001U, 40001};
constexpr Ipv4Endpoint kOtherHost{0x0A000002U, 40000};

AnnouncePacket announce(std::uint32_t client_id, std::uint32_t session, std::uint32_t in_latency = 6,
                        std::uint32_t out_latency = 6) {
    AnnouncePacket packet;
    packet.client_id = client_id;
    packet.session_id = session;
    packet.input_latency_blocks = in_latency;
    packet.output_latency_blocks = out_latency;
    return packet;
}

Map range(std::int64_t first, std::int64_t count) {
    Map map;
    for (std::int64_t i = 0; i < count; ++i) {
        map.push_back(first + i);
    }
    return map;
}

} // namespace

TEST(ChannelMapValidation, LengthRangeAndRepeats) {
    struct Case {
        Map map;
        bool valid;
    };
    const Case cases[] = {
        {{}, true},    {range(0, 32), true}, {range(0, 33), false}, {{0, 32}, false},
        {{-1}, false}, {{5, 6, 5}, false},   {{31, 0, 7}, true},
    };
    for (const Case& c : cases) {
        Map out{99};
        EXPECT_EQ(VelmoraCore::copy_valid_driver_channel_map(c.map, 32, out), c.valid)
            << ::testing::PrintToString(c.map);
        EXPECT_EQ(out, c.valid ? c.map : Map{});
    }
}

TEST(AnnouncementDecision, InvalidMapsAreRejectedWithNothingElseSet) {
    const ServerClientAnnouncementDecision decision = VelmoraCore::decide_server_client_announcement(
        true, 6, kHome, {0}, {0}, announce(1, 6), {0}, {3, 3}, kHome, 32);
    EXPECT_FALSE(decision.accepted);
    EXPECT_FALSE(decision.disconnect || decision.remove_existing || decision.insert_new ||
                 decision.update_existing || decision.reset_input);
    EXPECT_TRUE(decision.input_channel_map.empty());
}

TEST(AnnouncementDecision, DisconnectRemovesOnlyAMatchingClient) {
    struct Case {
        bool exists;
        std::uint32_t existing_session;
        Ipv4Endpoint sender;
        std::uint32_t session;
        bool removes;
    };
    const Case cases[] = {
        {true, 6, kHome, 6, true},                                    // same session
        {true, 6, kHome, 0, true},                                    // no session given
        {true, 0, kHome, 9, true},                                    // client had none
        {true, 6, kHome, 7, false},                                   // another session's leftover
        {true, 6, kOtherPort, 6, false},                              // another endpoint
        {true, 6, kOtherHost, 0, false}, {false, 0, kHome, 0, false}, // nobody to remove
    };
    for (const Case& c : cases) {
        const ServerClientAnnouncementDecision decision = VelmoraCore::decide_server_client_announcement(
            c.exists, c.existing_session, kHome, {0}, {1}, announce(1, c.session), {}, {}, c.sender, 32);
        EXPECT_TRUE(decision.accepted);
        EXPECT_TRUE(decision.disconnect);
        EXPECT_EQ(decision.remove_existing, c.removes) << c.existing_session << " " << c.session;
        EXPECT_FALSE(decision.insert_new || decision.update_existing);
    }
}

TEST(AnnouncementDecision, ExistingClientCases) {
    struct Case {
        const char* what;
        Ipv4Endpoint sender;
        std::uint32_t session;
        Map inputs;
        Map outputs;
        bool replace;
        bool reset_input;
        bool endpoint_changed;
    };
    const Case cases[] = {
        {"plain re-announce", kHome, 6, {2, 3}, {0, 1}, false, false, false},
        {"session 0 keeps the entry", kHome, 0, {2, 3}, {0, 1}, false, false, false},
        {"new session replaces", kHome, 7, {2, 3}, {0, 1}, true, true, false},
        {"moved port resets input", kOtherPort, 6, {2, 3}, {0, 1}, false, true, true},
        {"input map change resets input", kHome, 6, {3, 2}, {0, 1}, false, true, false},
        {"output map change keeps input", kHome, 6, {2, 3}, {0}, false, false, false},
    };
    for (const Case& c : cases) {
        const ServerClientAnnouncementDecision decision = VelmoraCore::decide_server_client_announcement(
            true, 6, kHome, {2, 3}, {0, 1}, announce(1, c.session), c.inputs, c.outputs, c.sender, 32);
        EXPECT_TRUE(decision.accepted) << c.what;
        EXPECT_EQ(decision.remove_existing, c.replace) << c.what;
        EXPECT_EQ(decision.insert_new, c.replace) << c.what;
        EXPECT_EQ(decision.update_existing, !c.replace) << c.what;
        EXPECT_EQ(decision.reset_input, c.reset_input) << c.what;
        EXPECT_EQ(decision.endpoint_changed, c.endpoint_changed) << c.what;
        EXPECT_EQ(decision.input_channel_map, c.inputs) << c.what;
    }
}

// One client's life in the table: each decision applied to its entry.
TEST(ClientTable, AppliesEachDecisionToTheEntry) {
    ServerClientTable table;
    auto result = table.apply_announcement(announce(7, 6, 4, 5), {2, 3}, {0, 1}, kHome, 32, 1000);
    EXPECT_TRUE(result.accepted && result.inserted && result.assigned && result.input_reset);
    EXPECT_EQ(result.client_id, 7U);
    VelmoraCore::ServerClientState* client = table.find(7);
    ASSERT_NE(client, nullptr);
    EXPECT_EQ(client->endpoint, kHome);
    EXPECT_EQ(client->assembly_client_id, 7U);
    EXPECT_EQ(client->assembly_channel_map, (Map{2, 3}));
    EXPECT_EQ(client->assembly_slots.size(), 8U);
    EXPECT_FALSE(client->publish_state.has_last_sequence);
    EXPECT_EQ(table.latency_summary().input_latency_blocks, 4U);
    EXPECT_EQ(table.latency_summary().output_latency_blocks, 5U);

    // A re-announce refreshes without resetting the input.
    client->publish_state.has_last_sequence = true;
    client->publish_state.last_sequence = 41;
    result = table.apply_announcement(announce(7, 6, 9, 2), {2, 3}, {0, 1}, kHome, 32, 1800);
    EXPECT_TRUE(result.updated);
    EXPECT_FALSE(result.input_reset || result.inserted || result.removed);
    client = table.find(7);
    EXPECT_EQ(client->last_seen_ms, 1800U);
    EXPECT_EQ(client->input_latency_blocks, 9U);
    EXPECT_EQ(client->publish_state.last_sequence, 41U);

    // An invalid announce leaves the entry alone, not even refreshed.
    result = table.apply_announcement(announce(7, 6), range(0, 33), {0}, kHome, 32, 2000);
    EXPECT_FALSE(result.accepted || result.assigned || result.updated);
    EXPECT_EQ(table.find(7)->last_seen_ms, 1800U);

    // A moved endpoint keeps the client but resets its input.
    result = table.apply_announcement(announce(7, 6), {2, 3}, {0, 1}, kOtherPort, 32, 2100);
    EXPECT_TRUE(result.updated && result.endpoint_changed && result.input_reset);
    EXPECT_EQ(table.find(7)->endpoint, kOtherPort);
    EXPECT_FALSE(table.find(7)->publish_state.has_last_sequence);

    // A new session replaces the entry; session 0 updates it in place.
    result = table.apply_announcement(announce(7, 7), {2}, {0}, kOtherPort, 32, 2200);
    EXPECT_TRUE(result.removed && result.inserted && result.input_reset);
    EXPECT_EQ(table.find(7)->session_id, 7U);
    result = table.apply_announcement(announce(7, 0), {2}, {0}, kOtherPort, 32, 2300);
    EXPECT_TRUE(result.updated);
    EXPECT_FALSE(result.removed);
    EXPECT_EQ(table.find(7)->session_id, 0U);
    EXPECT_EQ(table.size(), 1U);

    // A disconnect counts only from the client's own endpoint.
    result = table.apply_announcement(announce(7, 0), {}, {}, kHome, 32, 2400);
    EXPECT_TRUE(result.accepted && result.disconnect);
    EXPECT_FALSE(result.removed);
    EXPECT_EQ(table.size(), 1U);
    result = table.apply_announcement(announce(7, 0), {}, {}, kOtherPort, 32, 2500);
    EXPECT_TRUE(result.removed);
    EXPECT_EQ(table.size(), 0U);
}

TEST(ClientTable, ExpiryNeedsMoreThanTheTimeout) {
    ServerClientTable table;
    table.apply_announcement(announce(1, 6), {2}, {0}, kHome, 32, 10000);
    table.apply_announcement(announce(2, 6), {2}, {0}, kOtherPort, 32, 10001);
    EXPECT_EQ(table.prune_expired_clients(15000, 5000), 0U);
    EXPECT_EQ(table.prune_expired_clients(15001, 5000), 1U);
    EXPECT_EQ(table.find(1), nullptr);
    EXPECT_NE(table.find(2), nullptr);
    // A clock reading before the last sighting never expires anyone.
    EXPECT_EQ(table.prune_expired_clients(0, 5000), 0U);
}

TEST(ClientTable, OutputTargetsCopyEveryClientsOutputMap) {
    ServerClientTable table;
    EXPECT_TRUE(table.output_targets().empty());
    EXPECT_EQ(table.latency_summary().input_latency_blocks, 0U);
    table.apply_announcement(announce(1, 6), {2}, {4, 5}, kHome, 32, 1);
    table.apply_announcement(announce(2, 8), {}, {9}, kOtherPort, 32, 1);
    std::vector<VelmoraCore::ServerClientOutputTarget> targets = table.output_targets();
    ASSERT_EQ(targets.size(), 2U);
    for (const auto& target : targets) {
        if (target.client_id == 1) {
            EXPECT_EQ(target.output_channel_map, (Map{4, 5}));
            EXPECT_EQ(target.endpoint, kHome);
            EXPECT_EQ(target.session_id, 6U);
        } else {
            EXPECT_EQ(target.client_id, 2U);
            EXPECT_EQ(target.output_channel_map, (Map{9}));
        }
    }
    table.clear();
    table.output_targets(targets);
    EXPECT_TRUE(targets.empty());
}
