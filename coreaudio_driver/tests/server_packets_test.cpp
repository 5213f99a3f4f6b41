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
using VelmoraProtocol::AudioFragmentPacket;
using VelmoraProtocol::PacketBytes;
using VelmoraProtocol::PacketParseResult;
using Map = std::vector<std::int64_t>;

namespace {

// One client's input block cut into fragments (numbered samples from `base`).
std::vector<PacketBytes> input_block(std::uint32_t sequence, std::uint16_t frames, std::size_t channels,
                                     float base = 1.0F) {
    std::vector<float> block(frames * channels);
    for (std::size_t i = 0; i < block.size(); ++i) {
        block[i] = base + static_cast<float>(i);
    }
    std::vector<PacketBytes> datagrams;
    EXPECT_TRUE(VelmoraProtocol::build_audio_fragment_packets(9, sequence, 48000, frames, channels, block,
                                                              datagrams, 1200));
    return datagrams;
}

// The receiver's side of client 9: fragments parsed and offered as they arrive.
struct Receiver {
    std::vector<VelmoraProtocol::AudioFragmentAssemblySlot> slots;
    VelmoraProtocol::ServerInputPublishState state;
    ServerInputReceiveResult result;

    bool offer(const PacketBytes& datagram, const Map& map, std::uint32_t expected,
               std::uint32_t client = 9) {
        AudioFragmentPacket packet;
        const float* samples = nullptr;
        std::size_t count = 0;
        EXPECT_EQ(VelmoraProtocol::parse_audio_fragment_packet(
                      datagram.data(), static_cast<int>(datagram.size()), packet, samples, count),
                  PacketParseResult::ok);
        return VelmoraCore::process_server_input_audio_fragment(client, map, slots, state, packet, samples,
                                                                count, expected, 32, 4096, 8, result);
    }
    // Offers every fragment; the last result remains.
    bool offer_all(const std::vector<PacketBytes>& block, const Map& map, std::uint32_t expected,
                   std::uint32_t client = 9) {
        for (const PacketBytes& datagram : block) {
            if (!offer(datagram, map, expected, client)) {
                return false;
            }
        }
        return true;
    }
};

// A 32-channel block whose sample (c, f) is c * 1000 + f.
struct OutputBlock {
    std::vector<float> samples;
    ServerOutputBlockView view;
    explicit OutputBlock(std::uint16_t frames) : samples(32 * frames) {
        for (std::size_t i = 0; i < samples.size(); ++i) {
            samples[i] = static_cast<float>((i / frames) * 1000 + i % frames);
        }
        view.sample_rate = 48000;
        view.frames = frames;
        view.samples = samples.data();
        view.channels = 32;
        for (std::int64_t c = 0; c < 32; ++c) {
            view.channel_map.push_back(c);
        }
    }
};

} // namespace

TEST(InputFragment, CompletedBlockIsPublishedOnceInClientOrder) {
    // 512 frames x 3 channels at 1200 bytes: split rows, 6 fragments.
    const std::vector<PacketBytes> block = input_block(100, 512, 3);
    ASSERT_EQ(block.size(), 6U);
    Receiver receiver;
    for (std::size_t i = 0; i < block.size(); ++i) {
        ASSERT_TRUE(receiver.offer(block[i], {4, 1, 30}, 98));
        EXPECT_TRUE(receiver.result.fragment_accepted);
        EXPECT_EQ(receiver.result.block_complete, i == 5);
    }
    const ServerInputReceiveResult& result = receiver.result;
    EXPECT_TRUE(result.publish);
    EXPECT_FALSE(result.late || result.stale);
    EXPECT_EQ(result.sequence, 100U);
    EXPECT_EQ(result.frames, 512);
    EXPECT_EQ(result.channels, 3);
    ASSERT_EQ(result.samples.size(), 512U * 3);
    EXPECT_EQ(result.samples[1535], 1536.0F);
    // The same block again completes but is stale.
    ASSERT_TRUE(receiver.offer_all(block, {4, 1, 30}, 98));
    EXPECT_TRUE(receiver.result.block_complete && receiver.result.stale);
    EXPECT_FALSE(receiver.result.publish);
}

TEST(InputFragment, RefusedForAnotherClientOrABadMap) {
    const std::vector<PacketBytes> block = input_block(0, 128, 2);
    Receiver receiver;
    EXPECT_FALSE(receiver.offer_all(block, {0, 1}, 0, 8));
    EXPECT_FALSE(receiver.offer_all(block, {0, 1}, 0, 0));
    for (const Map& bad : {Map{}, Map{0, 32}, Map{-1, 3}}) {
        EXPECT_FALSE(receiver.offer_all(block, bad, 0));
    }
    // A block of another channel count than the map is ignored, not an error.
    EXPECT_TRUE(receiver.offer_all(block, {0, 1, 2}, 0));
    EXPECT_FALSE(receiver.result.fragment_accepted);
}

// Behind the device, or 64 and more ahead of it (its ring slot still holds a block the device
// needs): late, not published, the publish state as it was. Sequences wrap.
TEST(InputFragment, LateAndFarAheadBlocksAreNotPublished) {
    Receiver receiver;
    ASSERT_TRUE(receiver.offer_all(input_block(10, 128, 2), {0, 1}, 11));
    EXPECT_TRUE(receiver.result.block_complete && receiver.result.late && !receiver.result.publish);
    EXPECT_FALSE(receiver.state.has_last_sequence);
    ASSERT_TRUE(receiver.offer_all(input_block(1000, 128, 2), {0, 1}, 1000));
    ASSERT_TRUE(receiver.result.publish);
    for (std::uint32_t ahead : {64U, 65U, 1000U, 0x7FFFFFFFU}) {
        ASSERT_TRUE(receiver.offer_all(input_block(1000 + ahead, 128, 2), {0, 1}, 1000));
        EXPECT_TRUE(receiver.result.block_complete && receiver.result.late) << ahead;
        EXPECT_FALSE(receiver.result.publish) << ahead;
        EXPECT_EQ(receiver.state.last_sequence, 1000U) << ahead;
    }
    ASSERT_TRUE(receiver.offer_all(input_block(1063, 128, 2), {0, 1}, 1000));
    EXPECT_TRUE(receiver.result.publish && !receiver.result.late);

    Receiver wrapping;
    for (std::uint32_t sequence : {0xFFFFFFFEU, 0xFFFFFFFFU, 0U, 1U}) {
        ASSERT_TRUE(wrapping.offer_all(input_block(sequence, 64, 1), {3}, 0xFFFFFFFEU));
        EXPECT_TRUE(wrapping.result.publish) << sequence;
    }
}

TEST(InputFragment, OvertakenUnfinishedBlockCountsAsLate) {
    Receiver receiver;
    ASSERT_TRUE(receiver.offer(input_block(5, 512, 2)[0], {0, 1}, 5));
    ASSERT_TRUE(receiver.offer(input_block(13, 512, 2)[0], {0, 1}, 5));
    EXPECT_TRUE(receiver.result.late && receiver.result.fragment_accepted);
}

TEST(OutputPackets, SyncThenFragmentsOfExactlyTheClientsChannelsInReusedStorage) {
    OutputBlock block(128);
    block.view.sequence = 77;
    block.view.sample_position = 9856;
    block.view.host_time_ns = 123456789;
    std::vector<PacketBytes> packets;
    // Device channels 5, 0 and 31, in the client's order: 3 rows of 128 -> two fragments at 1200.
    ASSERT_TRUE(VelmoraCore::build_server_output_packet_batch(4, block.view, {5, 0, 31}, 1200, packets));
    ASSERT_EQ(packets.size(), 3U);
    EXPECT_EQ(packets[0], VelmoraProtocol::build_sync_packet(4, 77, 48000, 128, 9856, 123456789));

    std::vector<VelmoraProtocol::AudioFragmentAssemblySlot> slots;
    VelmoraProtocol::AudioFragmentAssemblyResult assembled;
    for (std::size_t i = 1; i < packets.size(); ++i) {
        AudioFragmentPacket fragment;
        const float* payload = nullptr;
        std::size_t count = 0;
        ASSERT_EQ(VelmoraProtocol::parse_audio_fragment_packet(
                      packets[i].data(), static_cast<int>(packets[i].size()), fragment, payload, count),
                  PacketParseResult::ok);
        EXPECT_EQ(std::uint64_t{fragment.server_sample_time}, 9856U);
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
    block.view.sequence = 78;
    ASSERT_TRUE(VelmoraCore::build_server_output_packet_batch(4, block.view, {5, 0, 31}, 1200, packets));
    ASSERT_EQ(packets.size(), storage.size());
    for (std::size_t i = 0; i < packets.size(); ++i) {
        EXPECT_EQ(packets[i].data(), storage[i]) << "datagram " << i;
    }
    EXPECT_EQ(packets[0], VelmoraProtocol::build_sync_packet(4, 78, 48000, 128, 9856, 123456789));
}

// The smallest payload splits every row; a channel outside the view goes out as silence; a bad
// client id, payload size or block leaves no packets.
TEST(OutputPackets, SplitsUnknownChannelsAndRefusals) {
    OutputBlock block(128);
    std::vector<PacketBytes> packets;
    ASSERT_TRUE(
        VelmoraCore::build_server_output_packet_batch(4, block.view, block.view.channel_map, 52, packets));
    EXPECT_EQ(packets.size(), 1U + 32 * 128);
    block.view.channels = 2;
    block.view.channel_map = {0, 1};
    ASSERT_TRUE(VelmoraCore::build_server_output_fragment_packets(4, block.view, {1, 7}, 1200, packets));
    float rows[2][128];
    std::memcpy(rows, packets.at(0).data() + 48, sizeof rows);
    EXPECT_EQ(rows[0][127], 1127.0F);
    EXPECT_EQ(rows[1][0], 0.0F);
    for (std::uint32_t client : {0U, 4U}) {
        for (std::size_t payload : {51U, 1200U, 65508U}) {
            packets.assign(2, PacketBytes(10));
            block.view.frames = client == 0 || payload != 1200 ? 128 : 0;
            EXPECT_FALSE(
                VelmoraCore::build_server_output_packet_batch(client, block.view, {0}, payload, packets));
            EXPECT_TRUE(packets.empty());
        }
    }
}

// At most 8 blocks a tick: the sleep follows the block period, at most a quarter of the time the
// queue takes to fill, never above the configured period, never 0.
TEST(ServerPacing, SleepFollowsTheBlockPeriod) {
    struct Case {
        std::uint32_t period, rate, frames, expected;
    };
    const Case cases[] = {
        {1000, 0, 0, 1000},      {0, 0, 0, 1000},        {1000, 48000, 128, 1000}, {1000, 192000, 15, 156},
        {1000, 192000, 23, 239}, {1000, 96000, 15, 312}, {200, 48000, 128, 200},   {1000, 4000000000U, 1, 1},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(VelmoraCore::server_tick_sleep_microseconds(c.period, c.rate, c.frames, 8), c.expected)
            << c.rate << "/" << c.frames;
    }
}
