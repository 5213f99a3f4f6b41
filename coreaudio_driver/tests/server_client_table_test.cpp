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

AnnouncePacket announce(std::uint32_t client_id, std::uint32_t session, std::uint32_t latency = 6) {
    AnnouncePacket packet;
    packet.client_id = client_id;
    packet.session_id = session;
    packet.input_latency_blocks = latency;
    packet.output_latency_blocks = latency + 1;
    return packet;
}

// An existing client 1 of session 6 at kHome with inputs {2, 3} and outputs {0, 1}.
ServerClientAnnouncementDecision decide(bool exists, std::uint32_t session, const Map& inputs,
                                        const Map& outputs, Ipv4Endpoint sender) {
    return VelmoraCore::decide_server_client_announcement(exists, 6, kHome, {2, 3}, {0, 1},
                                                          announce(1, session), inputs, outputs, sender, 32);
}

} // namespace

TEST(ChannelMapValidation, LengthRangeAndRepeats) {
    Map all(32);
    for (std::int64_t i = 0; i < 32; ++i) {
        all[i] = i;
    }
    Map too_long = all;
    too_long.push_back(0);
    const std::pair<Map, bool> cases[] = {{{}, true},        {all, true},   {too_long, false},
                                          {{0, 32}, false},  {{-1}, false}, {{5, 6, 5}, false},
                                          {{31, 0, 7}, true}};
    for (const auto& [map, valid] : cases) {
        Map out{99};
        EXPECT_EQ(VelmoraCore::copy_valid_driver_channel_map(map, 32, out), valid)
            << testing::PrintToString(map);
        EXPECT_EQ(out, valid ? map : Map{});
    }
    const ServerClientAnnouncementDecision invalid = decide(true, 6, {0}, {3, 3}, kHome);
    EXPECT_FALSE(invalid.accepted || invalid.disconnect || invalid.remove_existing || invalid.insert_new ||
                 invalid.update_existing || invalid.reset_input);
}

// Empty maps are a disconnect: it removes only a client of the same (or no) session at its own endpoint.
TEST(AnnouncementDecision, DisconnectRemovesOnlyAMatchingClient) {
    struct Case {
        bool exists;
        std::uint32_t existing_session;
        Ipv4Endpoint sender;
        std::uint32_t session;
        bool removes;
    };
    const Case cases[] = {
        {true, 6, kHome, 6, true},   {true, 6, kHome, 0, true},       {true, 0, kHome, 9, true},
        {true, 6, kHome, 7, false},  {true, 6, kOtherPort, 6, false}, {true, 6, kOtherHost, 0, false},
        {false, 0, kHome, 0, false},
    };
    for (const Case& c : cases) {
        const ServerClientAnnouncementDecision decision = VelmoraCore::decide_server_client_announcement(
            c.exists, c.existing_session, kHome, {0}, {1}, announce(1, c.session), {}, {}, c.sender, 32);
        EXPECT_TRUE(decision.accepted && decision.disconnect);
        EXPECT_EQ(decision.remove_existing, c.removes) << c.existing_session << " " << c.session;
        EXPECT_FALSE(decision.insert_new || decision.update_existing);
    }
}

TEST(AnnouncementDecision, ExistingClientCases) {
    struct Case {
        const char* what;
        Ipv4Endpoint sender;
        std::uint32_t session;
        Map inputs, outputs;
        bool replace, reset_input, endpoint_changed;
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
        SCOPED_TRACE(c.what);
        const ServerClientAnnouncementDecision decision =
            decide(true, c.session, c.inputs, c.outputs, c.sender);
        EXPECT_TRUE(decision.accepted);
        EXPECT_EQ(decision.remove_existing, c.replace);
        EXPECT_EQ(decision.insert_new, c.replace);
        EXPECT_EQ(decision.update_existing, !c.replace);
        EXPECT_EQ(decision.reset_input, c.reset_input);
        EXPECT_EQ(decision.endpoint_changed, c.endpoint_changed);
        EXPECT_EQ(decision.input_channel_map, c.inputs);
    }
}

// One client's life in the table: the decisions applied to its entry.
TEST(ClientTable, AppliesEachDecisionToTheEntry) {
    ServerClientTable table;
    auto result = table.apply_announcement(announce(7, 6, 4), {2, 3}, {0, 1}, kHome, 32, 1000);
    EXPECT_TRUE(result.accepted && result.inserted && result.input_reset);
    ASSERT_NE(table.find(7), nullptr);
    EXPECT_EQ(table.find(7)->assembly_channel_map, (Map{2, 3}));
    EXPECT_EQ(table.latency_summary().input_latency_blocks, 4U);
    EXPECT_EQ(table.latency_summary().output_latency_blocks, 5U);
    // An invalid announce is not even a refresh; a moved endpoint resets the client's input.
    EXPECT_FALSE(table.apply_announcement(announce(7, 6), {5, 5}, {0}, kHome, 32, 2000).accepted);
    EXPECT_EQ(table.find(7)->last_seen_ms, 1000U);
    table.find(7)->publish_state.has_last_sequence = true;
    EXPECT_TRUE(table.apply_announcement(announce(7, 6), {2, 3}, {0, 1}, kOtherPort, 32, 2100).input_reset);
    EXPECT_EQ(table.find(7)->endpoint, kOtherPort);
    EXPECT_FALSE(table.find(7)->publish_state.has_last_sequence);
    result = table.apply_announcement(announce(7, 7), {2}, {0}, kOtherPort, 32, 2200);
    EXPECT_TRUE(result.removed && result.inserted);
    EXPECT_EQ(table.find(7)->session_id, 7U);
    // A disconnect counts only from the client's own endpoint.
    EXPECT_FALSE(table.apply_announcement(announce(7, 0), {}, {}, kHome, 32, 2400).removed);
    EXPECT_TRUE(table.apply_announcement(announce(7, 0), {}, {}, kOtherPort, 32, 2500).removed);
    EXPECT_EQ(table.size(), 0U);
}

TEST(ClientTable, ExpiryNeedsMoreThanTheTimeoutAndTargetsFollowTheClients) {
    ServerClientTable table;
    table.apply_announcement(announce(1, 6), {2}, {4, 5}, kHome, 32, 10000);
    table.apply_announcement(announce(2, 8), {}, {9}, kOtherPort, 32, 10001);
    const std::vector<VelmoraCore::ServerClientOutputTarget> targets = table.output_targets();
    ASSERT_EQ(targets.size(), 2U);
    const auto& first = targets[0].client_id == 1 ? targets[0] : targets[1];
    EXPECT_EQ(first.output_channel_map, (Map{4, 5}));
    EXPECT_EQ(first.endpoint, kHome);
    EXPECT_EQ(first.session_id, 6U);
    EXPECT_EQ(table.prune_expired_clients(15000, 5000), 0U);
    EXPECT_EQ(table.prune_expired_clients(15001, 5000), 1U);
    EXPECT_EQ(table.find(1), nullptr);
    EXPECT_NE(table.find(2), nullptr);
    // A clock reading before the last sighting never expires anyone.
    EXPECT_EQ(table.prune_expired_clients(0, 5000), 0U);
}
