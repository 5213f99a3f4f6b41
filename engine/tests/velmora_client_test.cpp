// The network client against a scripted server on 127.0.0.1, for what a real server does not do at
// will: fail or answer wrongly at set-up, and lose, repeat, reorder or renumber its blocks.
#include "client_recorder.h"
#include "fake_velmora_server.h"

#include <velmora/engine/velmora_client.h>

#include <gtest/gtest.h>

#include <chrono>

using namespace velmora_test;
using std::chrono::milliseconds;

namespace {

constexpr std::uint32_t rate = 48000;
constexpr std::uint16_t frames = 128;
using Counts = std::vector<std::uint64_t>;

// A started client with its format configured and the fake server knowing where it is.
struct Session {
    explicit Session(FakeServerOptions options = {}) : server(std::move(options)) {}
    bool open() {
        return recorder.start(client, loopback_settings(server.port(), client_id)) &&
               client.configure_server_format(rate, frames) &&
               wait_for([this] { return server.has_client(); });
    }
    void send(std::uint32_t sequence, float value = 0.5f) {
        server.send_sync(client_id, sequence);
        server.send_block(client_id, sequence, 2, value);
    }
    FakeVelmoraServer server;
    std::uint32_t client_id = unique_client_id();
    ClientRecorder recorder;
    VelmoraClient client;
};

std::vector<float> ramp(std::uint64_t first) {
    std::vector<float> block(2 * frames);
    for (std::size_t i = 0; i < block.size(); ++i) {
        block[i] = static_cast<float>(first + i % frames) + 1000.0f * static_cast<float>(i / frames);
    }
    return block;
}

TEST(ClientSession, DiscoveryFollowsTheAdvertisedPort) {
    // The responder on the configured port names another port where the session goes on.
    FakeVelmoraServer session_server(silent_server());
    FakeServerOptions options;
    options.advertised_port = session_server.port();
    FakeVelmoraServer responder(options);
    ClientRecorder recorder;
    VelmoraClient client;
    ASSERT_TRUE(recorder.start(client, loopback_settings(responder.port(), unique_client_id(), "Auto")));
    EXPECT_EQ(client.server_endpoint().port, session_server.port());
    EXPECT_TRUE(wait_for([&] { return session_server.seen().announces >= 1; }));
    EXPECT_EQ(responder.seen().announces, 0u);
}

TEST(ClientSession, StartFailuresTellTheirReasonAtTheRightTime) {
    using Mutation = std::function<void(std::vector<char>&)>;
    struct Case {
        const char* name;
        const char* ip;
        bool answers;
        Mutation mutate;
        int reason;
        const char* log = nullptr;
    };
    const auto version_4 = [](std::vector<char>& b) { b[32] = 4; };
    const auto capabilities = [](std::vector<char>& b) { b[36] ^= 0x10; };
    const auto header_version_4 = [](std::vector<char>& b) { b[4] = 4; };
    constexpr int no_server = VelmoraClient::start_failure_no_server;
    constexpr int incompatible = VelmoraClient::start_failure_incompatible_server;
    const Case cases[] = {
        {"silent", "127.0.0.1", false, nullptr, no_server,
         "[net] Velmora server compatibility probe timed out."},
        {"silent", "auto", false, nullptr, no_server, "[net] Auto discovery did not find a Velmora server."},
        {"reply for another client", "127.0.0.1", true, [](std::vector<char>& b) { b[12] ^= 1; }, no_server},
        {"reply with another nonce", "127.0.0.1", true, [](std::vector<char>& b) { b[16] ^= 1; }, no_server},
        {"protocol version 4", "127.0.0.1", true, version_4, incompatible},
        {"protocol version 4", "auto", true, version_4, incompatible},
        {"capability signature", "127.0.0.1", true, capabilities, incompatible},
        {"header of version 4", "127.0.0.1", true, header_version_4, incompatible},
        {"a name, not an address", "velmora.local", true, nullptr, VelmoraClient::start_failure_socket},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.name) + " / " + c.ip);
        FakeServerOptions options;
        options.answer_discovery = c.answers;
        options.mutate_discovery_answer = c.mutate;
        FakeVelmoraServer server(options);
        ClientRecorder recorder;
        VelmoraClient client;
        auto settings = loopback_settings(server.port(), unique_client_id(), c.ip);
        // An incompatible answer fails at once, long before the time-out.
        settings.discovery_timeout_ms = c.reason == incompatible ? 10000 : 300;
        const auto begin = std::chrono::steady_clock::now();
        EXPECT_FALSE(recorder.start(client, settings));
        const auto elapsed = std::chrono::steady_clock::now() - begin;
        EXPECT_EQ(client.last_start_failure_reason(), c.reason);
        EXPECT_LT(elapsed, milliseconds(5000));
        if (c.reason == no_server) {
            EXPECT_GE(elapsed, milliseconds(290));
            EXPECT_TRUE(wait_for([&] { return server.seen().discovery_requests >= 1; }));
        }
        EXPECT_TRUE(c.log == nullptr || recorder.logged(c.log));
        EXPECT_FALSE(client.running());
        EXPECT_FALSE(recorder.logged("[net] Client stopped."));
    }
}

TEST(ClientSession, UnansweredProbesTimeOutAfterThreeSeconds) {
    FakeServerOptions options;
    options.answer_probes = false;
    Session s(options);
    ASSERT_TRUE(s.open());
    ASSERT_TRUE(wait_for([&] { return s.server.seen().probe_requests == 1; }));
    const auto first_probe = std::chrono::steady_clock::now();
    std::this_thread::sleep_until(first_probe + milliseconds(1500));
    EXPECT_EQ(s.server.seen().probe_requests, 1u) << "one probe outstanding at a time";
    EXPECT_EQ(s.client.telemetry().probe_timeouts, 0u);
    EXPECT_TRUE(wait_for([&] {
        const auto snapshots = s.recorder.telemetry_snapshots();
        return !snapshots.empty() && snapshots.back().probe_timeouts >= 1;
    })) << "a time-out publishes a snapshot";
    EXPECT_TRUE(wait_for([&] { return s.server.seen().probe_requests == 2; })) << "the next follows at once";
    EXPECT_GE(s.server.seen().announces, 5u) << "announces keep their own period";
}

TEST(ClientSession, AServerAnsweringFromAnotherAddressIsFollowedThere) {
    // A second loopback address: Linux answers the whole of 127.0.0.0/8, other systems may not.
    try {
        UdpSocket probe("127.0.0.2");
    } catch (const std::runtime_error&) {
        GTEST_SKIP() << "127.0.0.2 is not a local address here";
    }
    FakeServerOptions options;
    options.reply_address = "127.0.0.2";
    Session s(options);
    ASSERT_TRUE(s.open());
    EXPECT_EQ(s.client.server_endpoint().address, 0x7F000002u);
    EXPECT_EQ(s.client.server_endpoint().port, s.server.port()) << "the configured port is kept";
    EXPECT_TRUE(s.recorder.logged("[net] Velmora server answered from 127.0.0.2; using that address."));
    s.server.send_sync(s.client_id, 7);
    ASSERT_TRUE(wait_for([&] { return s.recorder.sync_sequences().size() == 1; }));
    EXPECT_TRUE(wait_for([&] { return s.client.telemetry().probe_responses >= 1; }));
}

TEST(ClientSync, OnlyNewerSyncsUnlessTheFormatChangesOrTheServerRestarted) {
    Session s;
    ASSERT_TRUE(s.open());
    // 4700 is 300 blocks behind, less than a second at 48000/128 (375 blocks): late, dropped.
    for (const std::uint32_t sequence : {5000u, 5001u, 5001u, 4999u, 4700u}) {
        s.server.send_sync(s.client_id, sequence);
    }
    s.send(5002);
    // Impossible formats are dropped whatever their sequence: above the largest block a server
    // accepts (4096 frames), no rate, no frames.
    s.server.send_sync(s.client_id, 5003, rate, 4097);
    s.server.send_sync(s.client_id, 5004, 0, frames);
    s.server.send_sync(s.client_id, 5005, rate, 0);
    ASSERT_TRUE(wait_for([&] { return s.recorder.blocks().size() == 1; }));
    // A server that restarted numbers from 0 again; its blocks are delivered at once.
    s.send(2, 0.25f);
    s.send(3, 0.25f);
    // Another format passes even when older, for the runtime to reconfigure.
    s.server.send_sync(s.client_id, 1, 44100, 256);
    ASSERT_TRUE(wait_for([&] { return s.recorder.sync_sequences().size() >= 6; }));
    std::this_thread::sleep_for(milliseconds(100));
    EXPECT_EQ(s.recorder.sync_sequences(), (std::vector<std::uint32_t>{5000, 5001, 5002, 2, 3, 1}));
    EXPECT_EQ(s.recorder.block_sequences(), (std::vector<std::uint32_t>{5002, 2, 3}));
    const auto events = s.client.sequence_events();
    EXPECT_EQ(Counts({s.recorder.syncs().back().sample_rate, s.recorder.syncs().back().frame_count,
                      events.malformed_packets, events.server_restarts}),
              Counts({44100, 256, 3, 1}));
    EXPECT_TRUE(s.recorder.logged_prefix("[net] Server sequence restarted at 2"));
}

TEST(ClientOutput, GapsAreFilledWithSilenceUpToTheQueueAndWrongBlocksAreDropped) {
    Session s;
    ASSERT_TRUE(s.open());                                    // latency 6: the playback queue holds 10 blocks
    s.server.send_block(s.client_id, 1, 2, 0.5f, rate, 4097); // larger than any server block
    s.server.send_block(s.client_id, 2, 3, 0.5f);             // another channel count
    s.server.send_block(s.client_id + 1, 3, 2, 0.5f);         // another client's block
    for (const std::uint32_t sequence : {10u, 13u, 12u, 14u}) {
        s.server.send_block(s.client_id, sequence, 2, 0.5f);
    }
    ASSERT_TRUE(wait_for([&] { return s.recorder.blocks().size() >= 5; }));
    std::this_thread::sleep_for(milliseconds(50));
    const auto blocks = s.recorder.blocks();
    ASSERT_EQ(s.recorder.block_sequences(), (std::vector<std::uint32_t>{10, 11, 12, 13, 14}));
    for (std::size_t i = 0; i < blocks.size(); ++i) {
        EXPECT_EQ(blocks[i].silent, i == 1 || i == 2) << i;
        EXPECT_EQ(blocks[i].channel_count, 2);
    }
    EXPECT_FLOAT_EQ(blocks[3].first_sample, 0.5f);
    VelmoraClient::SequenceEvents events = s.client.sequence_events();
    EXPECT_EQ(Counts({events.output_blocks_accepted, events.output_blocks_stale, events.silent_blocks_filled}),
              Counts({3, 1, 2}));
    EXPECT_GE(events.malformed_packets, 1u);

    s.server.send_block(s.client_id, 25, 2, 0.5f); // 10 missing: filled
    s.server.send_block(s.client_id, 37, 2, 0.5f); // 11 missing: the history restarts here
    s.server.send_block(s.client_id, 38, 2, 0.5f);
    ASSERT_TRUE(wait_for([&] { return s.recorder.blocks().size() >= 18; }));
    std::this_thread::sleep_for(milliseconds(50));
    const auto sequences = s.recorder.block_sequences();
    EXPECT_EQ(std::vector<std::uint32_t>(sequences.begin() + 14, sequences.end()),
              (std::vector<std::uint32_t>{24, 25, 37, 38}));
    events = s.client.sequence_events();
    EXPECT_EQ(Counts({events.silent_blocks_filled, events.output_gap_restarts}), Counts({12, 1}));
    EXPECT_TRUE(
        s.recorder.logged("[net] Output sequence jumped over 11 blocks; continuing without silence fill."));
}

TEST(ClientInput, EachNewSyncSendsTheBlockForSequencePlusLatency) {
    Session s;
    ASSERT_TRUE(s.open());
    // Blocks of another format or channel count are not stored.
    s.client.submit_input_block(rate, 127, 2, std::vector<float>(254, 1.0f), 1.0);
    s.client.submit_input_block(44100, frames, 2, ramp(0), 1.0);
    s.client.submit_input_block(rate, frames, 1, std::vector<float>(frames, 1.0f), 1.0);
    s.client.submit_input_block(rate, frames, 2, ramp(0), 1.0);
    EXPECT_EQ(s.client.input_queue_fill(), frames);
    // With fewer than a block and two frames stored nothing is sent.
    s.server.send_sync(s.client_id, 200);
    ASSERT_TRUE(wait_for([&] { return s.recorder.sync_sequences().size() == 1; }));
    s.client.submit_input_block(rate, frames, 2, ramp(frames), 1.0);
    s.server.send_sync(s.client_id, 201);
    ASSERT_TRUE(wait_for([&] { return s.server.seen().input_blocks.size() == 1; }));
    const auto block = s.server.seen().input_blocks[0];
    EXPECT_EQ(Counts({block.sequence, block.sample_rate, block.frame_count}), Counts({207, rate, frames}));
    // At the target fill with a unit ratio the block is the captured audio itself.
    EXPECT_EQ(block.samples, ramp(0));
    // A repeated sync sends nothing; a new format starts the input history afresh.
    s.client.submit_input_block(rate, frames, 2, ramp(2 * frames), 1.0);
    s.client.submit_input_block(rate, frames, 2, ramp(3 * frames), 1.0);
    s.server.send_sync(s.client_id, 201);
    s.server.send_sync(s.client_id, 202);
    ASSERT_TRUE(wait_for([&] { return s.server.seen().input_blocks.size() >= 2; }));
    s.client.configure_server_format(rate, frames);
    s.client.submit_input_block(rate, frames, 2, ramp(0), 1.0);
    s.client.submit_input_block(rate, frames, 2, ramp(frames), 1.0);
    s.server.send_sync(s.client_id, 100);
    ASSERT_TRUE(wait_for([&] { return s.server.seen().input_blocks.size() >= 3; }));
    std::this_thread::sleep_for(milliseconds(50));
    const auto sent = s.server.seen().input_blocks;
    ASSERT_EQ(sent.size(), 3u);
    EXPECT_EQ(Counts({sent[1].sequence, sent[2].sequence}), Counts({208, 106}));
}

} // namespace
