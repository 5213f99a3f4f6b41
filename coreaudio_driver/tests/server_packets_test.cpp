#include <velmora/protocol/audio_fragments.h>
#include <velmora/protocol/packet_formats.h>
#include <velmora/server/core_audio_network_server.h>
#include <velmora/server/server_output_packets.h>
#include <velmora/server/server_packet_handling.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <vector>

using VelmoraCore::ServerInputReceiveResult;
using VelmoraCore::ServerOutputBlockView;
using VelmoraProtocol::AudioFragmentAssemblySlot;
using VelmoraProtocol::AudioFragmentPacket;
using VelmoraProtocol::PacketBytes;
using VelmoraProtocol::PacketParseResult;
using VelmoraProtocol::ServerInputPublishState;
using Map = std::vector<std::int64_t>;

namespace {

// One client's input block, cut into fragments and parsed back as the receiver sees them.
struct InputFragments {
    std::vector<PacketBytes> datagrams;

    InputFragments(std::uint32_t client_id, std::uint32_t sequence, std::uint16_t frames,
                   std::size_t channels, float base, std::size_t payload_bytes = 1200) {
        std::vector<float> block(frames * channels);
        for (std::size_t i = 0; i < block.size(); ++i) {
            block[i] = base + static_cast<float>(i);
        }
        EXPECT_TRUE(VelmoraProtocol::build_audio_fragment_packets(client_id, sequence, 48000, frames,
                                                                  channels, block, datagrams, payload_bytes));
    }

    bool offer(std::size_t index, std::uint32_t assembly_client_id, const Map& map,
               std::vector<AudioFragmentAssemblySlot>& slots, ServerInputPublishState& state,
               std::uint32_t expected, ServerInputReceiveResult& result) const {
        AudioFragmentPacket packet;
        const float* samples = nullptr;
        std::size_t count = 0;
        const PacketBytes& datagram = datagrams.at(index);
        EXPECT_EQ(VelmoraProtocol::parse_audio_fragment_packet(
                      datagram.data(), static_cast<int>(datagram.size()), packet, samples, count),
                  PacketParseResult::ok);
        return VelmoraCore::process_server_input_audio_fragment(
            assembly_client_id, map, slots, state, packet, samples, count, expected, 32, 4096, 8, result);
    }
};

struct Receiver {
    std::vector<AudioFragmentAssemblySlot> slots;
    ServerInputPublishState state;
    ServerInputReceiveResult result;

    // Offers every fragment of the block; the last result remains.
    bool offer_all(const InputFragments& block, const Map& map, std::uint32_t expected,
                   std::uint32_t client_id = 9) {
        for (std::size_t i = 0; i < block.datagrams.size(); ++i) {
            if (!block.offer(i, client_id, map, slots, state, expected, result)) {
                return false;
            }
        }
        return true;
    }
};

} // namespace

TEST(ControlResponse, RequestsAreAnsweredAndEverythingElseIsNot) {
    PacketBytes request = VelmoraProtocol::build_discovery_request_packet(5, 0x1122334455667788ULL);
    auto response = VelmoraCore::build_server_control_packet_response(
        request.data(), static_cast<int>(request.size()), 41234, 1, 2);
    ASSERT_TRUE(response.is_control && response.has_response);
    EXPECT_EQ(response.packet,
              VelmoraProtocol::build_discovery_response_packet(5, 0x1122334455667788ULL, 41234));

    const PacketBytes probe = VelmoraProtocol::build_time_probe_request_packet(5, 77, 1000);
    response = VelmoraCore::build_server_control_packet_response(probe.data(), static_cast<int>(probe.size()),
                                                                 1, 2000, 2500);
    ASSERT_TRUE(response.has_response);
    EXPECT_EQ(response.packet, VelmoraProtocol::build_time_probe_response_packet(5, 77, 1000, 2000, 2500));

    const PacketBytes sync = VelmoraProtocol::build_sync_packet(5, 1, 48000, 128, 0, 0);
    response = VelmoraCore::build_server_control_packet_response(sync.data(), static_cast<int>(sync.size()),
                                                                 1, 0, 0);
    EXPECT_FALSE(response.is_control || response.has_response);
    response = VelmoraCore::build_server_control_packet_response(nullptr, 0, 1, 0, 0);
    EXPECT_FALSE(response.is_control);
    // A discovery request of the wrong length is recognised but not answered.
    request.push_back(0);
    request[8] = 33;
    response = VelmoraCore::build_server_control_packet_response(request.data(), 33, 1, 0, 0);
    EXPECT_TRUE(response.is_control);
    EXPECT_FALSE(response.has_response);
    EXPECT_TRUE(response.packet.empty());
}

TEST(InputFragment, CompletedBlockIsPublishedOnceInClientOrder) {
    // 512 frames x 3 channels at 1200 bytes: split rows, 6 fragments.
    const InputFragments block(9, 100, 512, 3, 1.0F);
    ASSERT_EQ(block.datagrams.size(), 6U);
    Receiver receiver;
    for (std::size_t i = 0; i + 1 < block.datagrams.size(); ++i) {
        ASSERT_TRUE(block.offer(i, 9, {4, 1, 30}, receiver.slots, receiver.state, 98, receiver.result));
        EXPECT_TRUE(receiver.result.fragment_accepted);
        EXPECT_FALSE(receiver.result.block_complete);
    }
    ASSERT_TRUE(block.offer(5, 9, {4, 1, 30}, receiver.slots, receiver.state, 98, receiver.result));
    const ServerInputReceiveResult& result = receiver.result;
    EXPECT_TRUE(result.block_complete && result.publish);
    EXPECT_FALSE(result.late || result.stale);
    EXPECT_EQ(result.sequence, 100U);
    EXPECT_EQ(result.frames, 512);
    EXPECT_EQ(result.channels, 3);
    ASSERT_EQ(result.samples.size(), 512U * 3);
    EXPECT_EQ(result.samples[0], 1.0F);
    EXPECT_EQ(result.samples[1535], 1536.0F);
    EXPECT_TRUE(receiver.state.has_last_sequence);
    // The same block again completes but is stale.
    ASSERT_TRUE(receiver.offer_all(block, {4, 1, 30}, 98));
    EXPECT_TRUE(receiver.result.block_complete && receiver.result.stale);
    EXPECT_FALSE(receiver.result.publish);
}

TEST(InputFragment, RefusedForAnotherClientOrABadMap) {
    const InputFragments block(9, 0, 128, 2, 1.0F);
    Receiver receiver;
    EXPECT_FALSE(receiver.offer_all(block, {0, 1}, 0, 8));
    EXPECT_FALSE(receiver.offer_all(block, {0, 1}, 0, 0));
    EXPECT_FALSE(receiver.offer_all(block, {}, 0));
    EXPECT_FALSE(receiver.offer_all(block, {0, 32}, 0));
    EXPECT_FALSE(receiver.offer_all(block, {-1, 3}, 0));
    // A block of another channel count than the map is ignored, not an error.
    EXPECT_TRUE(receiver.offer_all(block, {0, 1, 2}, 0));
    EXPECT_FALSE(receiver.result.fragment_accepted);
}

TEST(InputFragment, BehindTheDeviceIsLateAndNotPublished) {
    const InputFragments block(9, 10, 128, 2, 1.0F);
    Receiver receiver;
    ASSERT_TRUE(receiver.offer_all(block, {0, 1}, 11));
    EXPECT_TRUE(receiver.result.block_complete && receiver.result.late);
    EXPECT_FALSE(receiver.result.publish);
    EXPECT_FALSE(receiver.state.has_last_sequence);
}

TEST(InputFragment, SixtyFourOrMoreAheadIsLateAndLeavesThePublishStateAlone) {
    Receiver receiver;
    ASSERT_TRUE(receiver.offer_all(InputFragments(9, 1000, 128, 2, 1.0F), {0, 1}, 1000));
    ASSERT_TRUE(receiver.result.publish);
    for (std::uint32_t ahead : {64U, 65U, 1000U, 0x7FFFFFFFU}) {
        ASSERT_TRUE(receiver.offer_all(InputFragments(9, 1000 + ahead, 128, 2, 1.0F), {0, 1}, 1000));
        EXPECT_TRUE(receiver.result.block_complete) << ahead;
        EXPECT_TRUE(receiver.result.late) << ahead;
        EXPECT_FALSE(receiver.result.publish) << ahead;
        EXPECT_EQ(receiver.state.last_sequence, 1000U) << ahead;
    }
    ASSERT_TRUE(receiver.offer_all(InputFragments(9, 1063, 128, 2, 1.0F), {0, 1}, 1000));
    EXPECT_TRUE(receiver.result.publish);
    EXPECT_FALSE(receiver.result.late);
    EXPECT_EQ(receiver.state.last_sequence, 1063U);
}

TEST(InputFragment, WrapAroundSequencesPublishInOrder) {
    Receiver receiver;
    for (std::uint32_t sequence : {0xFFFFFFFEU, 0xFFFFFFFFU, 0U, 1U}) {
        ASSERT_TRUE(receiver.offer_all(InputFragments(9, sequence, 64, 1, 0.0F), {3}, 0xFFFFFFFEU));
        EXPECT_TRUE(receiver.result.publish) << sequence;
    }
}

TEST(InputFragment, OvertakenUnfinishedBlockCountsAsLate) {
    const InputFragments first(9, 5, 512, 2, 1.0F);
    const InputFragments overtaking(9, 13, 512, 2, 1.0F);
    Receiver receiver;
    ASSERT_TRUE(first.offer(0, 9, {0, 1}, receiver.slots, receiver.state, 5, receiver.result));
    ASSERT_TRUE(overtaking.offer(0, 9, {0, 1}, receiver.slots, receiver.state, 5, receiver.result));
    EXPECT_TRUE(receiver.result.late);
    EXPECT_TRUE(receiver.result.fragment_accepted);
}

TEST(OutputPackets, SyncThenFragmentsOfExactlyTheClientsChannels) {
    std::vector<float> samples(32 * 128);
    for (std::size_t c = 0; c < 32; ++c) {
        for (std::size_t f = 0; f < 128; ++f) {
            samples[c * 128 + f] = static_cast<float>(c * 1000 + f);
        }
    }
    ServerOutputBlockView view;
    view.sequence = 77;
    view.sample_rate = 48000;
    view.frames = 128;
    view.sample_position = 9856;
    view.host_time_ns = 123456789;
    view.samples = samples.data();
    view.channels = 32;
    for (std::int64_t c = 0; c < 32; ++c) {
        view.channel_map.push_back(c);
    }
    std::vector<PacketBytes> packets;
    // Device channels 5, 0 and 31, in the client's order: 3 rows of 128 -> two fragments at 1200.
    ASSERT_TRUE(VelmoraCore::build_server_output_packet_batch(4, view, {5, 0, 31}, 1200, packets));
    ASSERT_EQ(packets.size(), 3U);
    VelmoraProtocol::SyncPacket sync;
    ASSERT_EQ(
        VelmoraProtocol::parse_sync_packet(packets[0].data(), static_cast<int>(packets[0].size()), sync),
        PacketParseResult::ok);
    const std::uint64_t sample_time = sync.server_sample_time, host_time = sync.server_host_time_ns;
    EXPECT_EQ(sync.client_id, 4U);
    EXPECT_EQ(sync.sequence, 77U);
    EXPECT_EQ(sync.frame_count, 128);
    EXPECT_EQ(sample_time, 9856U);
    EXPECT_EQ(host_time, 123456789U);

    std::vector<AudioFragmentAssemblySlot> slots;
    VelmoraProtocol::AudioFragmentAssemblyResult assembled;
    for (std::size_t i = 1; i < packets.size(); ++i) {
        AudioFragmentPacket fragment;
        const float* payload = nullptr;
        std::size_t count = 0;
        ASSERT_EQ(VelmoraProtocol::parse_audio_fragment_packet(
                      packets[i].data(), static_cast<int>(packets[i].size()), fragment, payload, count),
                  PacketParseResult::ok);
        const std::uint64_t fragment_time = fragment.server_sample_time;
        EXPECT_EQ(fragment_time, 9856U);
        EXPECT_EQ(fragment.channel_count, 3);
        ASSERT_TRUE(VelmoraProtocol::assemble_audio_fragment(slots, fragment, payload, count, 3, 4096, 8,
                                                             false, assembled));
    }
    ASSERT_TRUE(assembled.completed);
    EXPECT_EQ(assembled.block.samples[0], 5000.0F);
    EXPECT_EQ(assembled.block.samples[128 + 3], 3.0F);
    EXPECT_EQ(assembled.block.samples[256 + 127], 31127.0F);

    // The next block reuses every datagram's storage, the sync's included.
    std::vector<const char*> storage;
    for (const PacketBytes& packet : packets) {
        storage.push_back(packet.data());
    }
    view.sequence = 78;
    ASSERT_TRUE(VelmoraCore::build_server_output_packet_batch(4, view, {5, 0, 31}, 1200, packets));
    ASSERT_EQ(packets.size(), storage.size());
    for (std::size_t i = 0; i < packets.size(); ++i) {
        EXPECT_EQ(packets[i].data(), storage[i]) << "datagram " << i;
    }
    ASSERT_EQ(
        VelmoraProtocol::parse_sync_packet(packets[0].data(), static_cast<int>(packets[0].size()), sync),
        PacketParseResult::ok);
    EXPECT_EQ(sync.sequence, 78U);
}

TEST(OutputPackets, EmptyMapGetsTheSyncAloneAndUnknownChannelsAreSilent) {
    std::vector<float> samples(2 * 64, 1.0F);
    ServerOutputBlockView view;
    view.frames = 64;
    view.sample_rate = 48000;
    view.samples = samples.data();
    view.channels = 2;
    view.channel_map = {0, 1};
    std::vector<PacketBytes> packets(5);
    ASSERT_TRUE(VelmoraCore::build_server_output_packet_batch(4, view, {}, 1200, packets));
    ASSERT_EQ(packets.size(), 1U);
    EXPECT_EQ(packets[0].size(), VelmoraProtocol::kSyncPacketSize);
    // Channel 7 is not in this view: its row goes out as silence.
    ASSERT_TRUE(VelmoraCore::build_server_output_fragment_packets(4, view, {1, 7}, 1200, packets));
    ASSERT_EQ(packets.size(), 1U);
    float row[2][64];
    std::memcpy(row, packets[0].data() + 48, sizeof row);
    EXPECT_EQ(row[0][63], 1.0F);
    EXPECT_EQ(row[1][0], 0.0F);
}

TEST(OutputPackets, RefusalsLeaveNoPackets) {
    std::vector<float> samples(32 * 128);
    ServerOutputBlockView view;
    view.frames = 128;
    view.samples = samples.data();
    view.channels = 32;
    view.channel_map = {0};
    std::vector<PacketBytes> packets(3, PacketBytes(10));
    EXPECT_FALSE(VelmoraCore::build_server_output_packet_batch(0, view, {0}, 1200, packets));
    EXPECT_TRUE(packets.empty());
    for (std::size_t payload : {51U, 65508U}) {
        packets.assign(2, PacketBytes(10));
        EXPECT_FALSE(VelmoraCore::build_server_output_packet_batch(4, view, {0}, payload, packets));
        EXPECT_TRUE(packets.empty());
    }
    EXPECT_FALSE(VelmoraCore::build_server_output_fragment_packets(4, view, {}, 1200, packets));
    view.frames = 0;
    EXPECT_FALSE(VelmoraCore::build_server_output_packet_batch(4, view, {}, 1200, packets));
    view.frames = 128;
    view.samples = nullptr;
    EXPECT_FALSE(VelmoraCore::build_server_output_fragment_packets(4, view, {0}, 1200, packets));
}

TEST(OutputPackets, ThirtyTwoChannelsAtTheSmallestPayloadSplitEveryRow) {
    std::vector<float> samples(32 * 128, 0.5F);
    ServerOutputBlockView view;
    view.frames = 128;
    view.samples = samples.data();
    view.channels = 32;
    for (std::int64_t c = 0; c < 32; ++c) {
        view.channel_map.push_back(c);
    }
    std::vector<PacketBytes> packets;
    ASSERT_TRUE(VelmoraCore::build_server_output_packet_batch(4, view, view.channel_map, 52, packets));
    EXPECT_EQ(packets.size(), 1U + 32 * 128);
    ASSERT_TRUE(VelmoraCore::build_server_output_packet_batch(4, view, view.channel_map, 1200, packets));
    EXPECT_EQ(packets.size(), 1U + 16);
}

TEST(ServerPacing, SleepFollowsTheBlockPeriod) {
    struct Case {
        std::uint32_t period, rate, frames, expected;
    };
    const Case cases[] = {
        {1000, 0, 0, 1000},       // no format yet
        {0, 0, 0, 1000},          // default period
        {1000, 48000, 128, 1000}, // queue fills in 21.3 ms
        {1000, 192000, 15, 156},  // 8 x 15 frames = 625 us; a quarter
        {1000, 192000, 23, 239},   {1000, 96000, 15, 312},
        {1000, 44100, 4096, 1000}, {200, 48000, 128, 200}, // a shorter configured period stands
        {1000, 4000000000U, 1, 1},                         // never 0
    };
    for (const Case& c : cases) {
        EXPECT_EQ(VelmoraCore::server_tick_sleep_microseconds(c.period, c.rate, c.frames, 8), c.expected)
            << c.rate << "/" << c.frames;
    }
}
