// The network client against a scripted server on 127.0.0.1: session set-up and its failures,
// the sequence rules for syncs and output blocks, input blocks and telemetry.
#include "client_recorder.h"
#include "fake_velmora_server.h"

#include <velmora/engine/velmora_client.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <cstring>

using namespace velmora_test;
using std::chrono::milliseconds;

namespace {

constexpr std::uint32_t rate = 48000;
constexpr std::uint16_t frames = 128;

bool start_client(VelmoraClient& client, ClientRecorder& recorder, const VelmoraProtocol::ClientSettings& settings) {
    return client.start(settings, recorder.log(), recorder.output(), recorder.sync(), recorder.telemetry());
}

// A started client with its format configured and the fake server knowing where it is.
struct Session {
    explicit Session(std::uint32_t n, FakeServerOptions options = FakeServerOptions())
        : server(std::move(options)), client_id(unique_client_id(n)) {}

    bool open(VelmoraProtocol::ClientSettings settings) {
        if (!start_client(client, recorder, settings)) {
            return false;
        }
        return client.configure_server_format(rate, frames) && wait_for([this] { return server.has_client(); });
    }
    bool open() { return open(loopback_settings(server.port(), client_id)); }

    FakeVelmoraServer server;
    std::uint32_t client_id;
    ClientRecorder recorder;
    VelmoraClient client;
};

std::vector<float> ramp(std::size_t channels, std::uint64_t first) {
    std::vector<float> block(channels * frames);
    for (std::size_t c = 0; c < channels; ++c) {
        for (std::size_t f = 0; f < frames; ++f) {
            block[c * frames + f] = static_cast<float>(first + f) + 1000.0f * static_cast<float>(c);
        }
    }
    return block;
}

TEST(ClientSession, CompatibilityProbeAnnouncesMeasuresAndDisconnects) {
    Session s(1);
    ASSERT_TRUE(s.open());
    EXPECT_EQ(s.client.last_start_failure_reason(), 0);
    EXPECT_TRUE(s.recorder.logged("[net] Client started."));
    EXPECT_EQ(s.server.announced_inputs(), (std::vector<std::int64_t>{2, 3}));
    ASSERT_TRUE(wait_for([&] { return s.client.telemetry().probe_responses >= 1; }));
    const VelmoraClient::Telemetry t = s.client.telemetry();
    EXPECT_GT(t.rtt_min_us, 0u);
    EXPECT_LT(t.rtt_max_us, 500000u);
    EXPECT_EQ(t.clock_offset_valid, 1u);
    EXPECT_NE(t.rtt_p50_us, 0u);
    ASSERT_TRUE(s.client.clock_offset_ns().has_value());
    // Both ends read the same clock: the offset is within the round trip of zero.
    EXPECT_LT(std::llabs(*s.client.clock_offset_ns()), 500000);
    EXPECT_GE(s.recorder.telemetry_count(), 1u) << "an answered probe publishes a snapshot";

    // Announces repeat with the period, under one session id.
    const std::size_t announces = s.server.announces();
    ASSERT_TRUE(wait_for([&] { return s.server.announces() >= announces + 2; }));
    const std::uint32_t session = s.server.announce_session();
    EXPECT_NE(session, 0u);

    s.client.stop();
    ASSERT_TRUE(wait_for([&] { return !s.server.disconnect_sessions().empty(); }));
    EXPECT_EQ(s.server.disconnect_sessions().front(), session);
    EXPECT_TRUE(s.recorder.logged("[net] Client stopped."));
    EXPECT_FALSE(s.client.running());
    s.client.stop();
    EXPECT_EQ(s.server.disconnect_sessions().size(), 1u) << "a second stop sends nothing";
}

TEST(ClientSession, AStoppedClientStartsAgainWithAFreshSession) {
    Session s(17);
    ASSERT_TRUE(s.open());
    s.server.send_sync(s.client_id, 500);
    s.server.send_block(s.client_id, 500, 2, 0.5f);
    ASSERT_TRUE(wait_for([&] { return s.recorder.blocks().size() == 1; }));
    const std::uint32_t first_session = s.server.announce_session();
    s.client.stop();
    EXPECT_EQ(s.client.input_queue_fill(), 0u);

    ASSERT_TRUE(start_client(s.client, s.recorder, loopback_settings(s.server.port(), s.client_id)));
    ASSERT_TRUE(s.client.configure_server_format(rate, frames));
    ASSERT_TRUE(wait_for([&] { return s.server.announce_session() != first_session; }));
    // The new session has no history: an older sequence is accepted.
    s.server.send_sync(s.client_id, 3);
    s.server.send_block(s.client_id, 3, 2, 0.5f);
    ASSERT_TRUE(wait_for([&] { return s.recorder.blocks().size() == 2; }));
    EXPECT_EQ(s.recorder.sync_sequences(), (std::vector<std::uint32_t>{500, 3}));
    EXPECT_EQ(s.client.sequence_events().output_blocks_accepted, 1u);
    EXPECT_EQ(s.client.sequence_events().server_restarts, 0u);
}

TEST(ClientSession, StopOnANeverStartedClientSendsAndLogsNothing) {
    ClientRecorder recorder;
    {
        VelmoraClient client;
        client.stop();
    }
    EXPECT_TRUE(recorder.logs().empty());
}

TEST(ClientSession, DiscoveryOfAutoInAnyCaseFollowsTheAdvertisedPort) {
    for (const char* word : {"auto", "AUTO", "Auto"}) {
        SCOPED_TRACE(word);
        // The responder on the configured port names another port where the session goes on.
        FakeVelmoraServer session_server(silent_server());
        FakeVelmoraServer::Options options;
        options.advertised_port = session_server.port();
        FakeVelmoraServer responder(options);
        ClientRecorder recorder;
        VelmoraClient client;
        ASSERT_TRUE(start_client(client, recorder, loopback_settings(responder.port(), unique_client_id(2), word)));
        EXPECT_EQ(client.server_endpoint().address, 0x7F000001u);
        EXPECT_EQ(client.server_endpoint().port, session_server.port());
        EXPECT_TRUE(recorder.logged("[net] Auto discovery selected 127.0.0.1:" + std::to_string(session_server.port()) + "."));
        EXPECT_TRUE(wait_for([&] { return session_server.announces() >= 1; }));
        EXPECT_EQ(responder.announces(), 0u);
    }
}

TEST(ClientSession, ASilentServerFailsWithNoServerAfterTheTimeout) {
    for (const char* ip : {"127.0.0.1", "auto"}) {
        SCOPED_TRACE(ip);
        FakeVelmoraServer silent(silent_server());
        ClientRecorder recorder;
        VelmoraClient client;
        auto settings = loopback_settings(silent.port(), unique_client_id(3), ip);
        settings.discovery_timeout_ms = 300;
        const auto begin = std::chrono::steady_clock::now();
        EXPECT_FALSE(start_client(client, recorder, settings));
        const auto elapsed = std::chrono::steady_clock::now() - begin;
        EXPECT_EQ(client.last_start_failure_reason(), VelmoraClient::start_failure_no_server);
        EXPECT_GE(elapsed, milliseconds(290));
        EXPECT_LT(elapsed, milliseconds(5000));
        EXPECT_GE(silent.discovery_requests(), 1u);
        EXPECT_TRUE(recorder.logged(std::string(ip) == "auto" ? "[net] Auto discovery did not find a Velmora server."
                                                              : "[net] Velmora server compatibility probe timed out."));
        EXPECT_FALSE(client.running());
        EXPECT_FALSE(recorder.logged("[net] Client stopped."));
    }
}

TEST(ClientSession, IncompatibleRespondersFailWithReasonThree) {
    struct Variant {
        const char* name;
        std::function<void(std::vector<char>&)> mutate;
    };
    const Variant variants[] = {
        {"protocol version 4", [](std::vector<char>& b) { b[32] = 4; }},
        {"another capability signature", [](std::vector<char>& b) { b[36] ^= 0x10; }},
        {"header of version 4 that does not parse", [](std::vector<char>& b) { b[4] = 4; }},
    };
    for (const Variant& variant : variants) {
        for (const char* ip : {"127.0.0.1", "auto"}) {
            SCOPED_TRACE(std::string(variant.name) + " / " + ip);
            FakeVelmoraServer::Options options;
            options.mutate_discovery_answer = variant.mutate;
            FakeVelmoraServer responder(options);
            ClientRecorder recorder;
            VelmoraClient client;
            const auto begin = std::chrono::steady_clock::now();
            EXPECT_FALSE(start_client(client, recorder, loopback_settings(responder.port(), unique_client_id(4), ip)));
            EXPECT_EQ(client.last_start_failure_reason(), VelmoraClient::start_failure_incompatible_server);
            EXPECT_LT(std::chrono::steady_clock::now() - begin, milliseconds(900)) << "fails at once, not at the time-out";
        }
    }
}

TEST(ClientSession, RepliesForAnotherClientOrNonceAreIgnored) {
    for (const std::size_t offset : {std::size_t{12}, std::size_t{16}}) {
        SCOPED_TRACE(offset == 12 ? "client id" : "nonce");
        FakeServerOptions options;
        options.mutate_discovery_answer = [offset](std::vector<char>& b) { b[offset] ^= 0x01; };
        FakeVelmoraServer responder(options);
        ClientRecorder recorder;
        VelmoraClient client;
        auto settings = loopback_settings(responder.port(), unique_client_id(15));
        settings.discovery_timeout_ms = 200;
        EXPECT_FALSE(start_client(client, recorder, settings));
        EXPECT_EQ(client.last_start_failure_reason(), VelmoraClient::start_failure_no_server);
    }
}

TEST(ClientSession, UnansweredProbesTimeOutAfterThreeSeconds) {
    FakeServerOptions options;
    options.answer_probes = false;
    Session s(16, options);
    ASSERT_TRUE(s.open());
    const auto begin = std::chrono::steady_clock::now();
    // Syncs before any answered probe still reach the callback but measure no age.
    s.server.send_sync(s.client_id, 1);
    ASSERT_TRUE(wait_for([&] { return s.recorder.sync_sequences().size() == 1; }));
    EXPECT_EQ(s.client.telemetry().sync_age_samples, 0u);
    EXPECT_EQ(s.client.telemetry().rtt_p50_us, 0u);
    std::this_thread::sleep_until(begin + milliseconds(2500));
    EXPECT_EQ(s.server.probe_requests(), 1u) << "one probe outstanding at a time";
    EXPECT_EQ(s.client.telemetry().probe_timeouts, 0u);
    ASSERT_TRUE(wait_for([&] { return s.client.telemetry().probe_timeouts >= 1; }, milliseconds(8000)));
    EXPECT_TRUE(wait_for([&] { return s.recorder.last_telemetry().probe_timeouts >= 1; }))
        << "a time-out publishes a snapshot";
    EXPECT_TRUE(wait_for([&] { return s.server.probe_requests() == 2; })) << "the next probe follows at once";
    EXPECT_GE(s.server.announces(), 10u) << "announces keep their own period";
}

TEST(ClientSession, AnAddressThatDoesNotParseIsASocketError) {
    ClientRecorder recorder;
    VelmoraClient client;
    EXPECT_FALSE(start_client(client, recorder, loopback_settings(28010, unique_client_id(5), "velmora.local")));
    EXPECT_EQ(client.last_start_failure_reason(), VelmoraClient::start_failure_socket);
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
    Session s(6, options);
    ASSERT_TRUE(s.open());
    EXPECT_EQ(s.client.server_endpoint().address, 0x7F000002u);
    EXPECT_EQ(s.client.server_endpoint().port, s.server.port()) << "the configured port is kept";
    EXPECT_TRUE(s.recorder.logged("[net] Velmora server answered from 127.0.0.2; using that address."));
    s.server.send_sync(s.client_id, 7);
    ASSERT_TRUE(wait_for([&] { return s.recorder.sync_sequences().size() == 1; }));
    EXPECT_TRUE(wait_for([&] { return s.client.telemetry().probe_responses >= 1; }));
}

TEST(ClientSync, OnlyNewerSyncsAreAcceptedUnlessTheFormatChanges) {
    Session s(7);
    ASSERT_TRUE(s.open());
    for (const std::uint32_t sequence : {100u, 101u, 101u, 99u, 102u}) {
        s.server.send_sync(s.client_id, sequence);
    }
    ASSERT_TRUE(wait_for([&] { return s.recorder.sync_sequences().size() >= 3; }));
    // Malformed formats are dropped whatever their sequence.
    s.server.send_sync(s.client_id, 103, rate, 4097);
    s.server.send_sync(s.client_id, 104, 0, frames);
    s.server.send_sync(s.client_id, 105, rate, 0);
    // Another format passes even when older, for the runtime to reconfigure.
    s.server.send_sync(s.client_id, 50, 44100, 256);
    ASSERT_TRUE(wait_for([&] { return s.recorder.sync_sequences().size() >= 4; }));
    std::this_thread::sleep_for(milliseconds(100));
    EXPECT_EQ(s.recorder.sync_sequences(), (std::vector<std::uint32_t>{100, 101, 102, 50}));
    EXPECT_EQ(s.recorder.syncs().back().sample_rate, 44100u);
    EXPECT_EQ(s.recorder.syncs().back().frame_count, 256);
    EXPECT_EQ(s.client.sequence_events().malformed_packets, 3u);
    EXPECT_EQ(s.client.sequence_events().server_restarts, 0u);
}

TEST(ClientSync, ASyncFarBehindIsARestartedServer) {
    Session s(8);
    ASSERT_TRUE(s.open());
    std::uint64_t captured = 0;
    const auto feed = [&](int blocks) {
        for (int i = 0; i < blocks; ++i) {
            s.client.submit_input_block(rate, frames, 2, ramp(2, captured), 1.0);
            captured += frames;
        }
    };
    feed(3);
    s.server.send_sync(s.client_id, 5000);
    s.server.send_block(s.client_id, 5000, 2, 0.5f);
    ASSERT_TRUE(wait_for([&] { return s.server.input_blocks().size() == 1; }));
    // 300 blocks behind is less than a second at 48000/128 (375 blocks): a late packet, dropped.
    s.server.send_sync(s.client_id, 4700);
    s.server.send_block(s.client_id, 4700, 2, 0.5f);
    // A server that restarted numbers from 0 again.
    feed(2);
    s.server.send_sync(s.client_id, 2);
    s.server.send_block(s.client_id, 2, 2, 0.25f);
    s.server.send_sync(s.client_id, 3);
    s.server.send_block(s.client_id, 3, 2, 0.25f);
    ASSERT_TRUE(wait_for([&] { return s.recorder.block_sequences().size() >= 3; }));
    EXPECT_EQ(s.recorder.sync_sequences(), (std::vector<std::uint32_t>{5000, 2, 3}));
    EXPECT_EQ(s.recorder.block_sequences(), (std::vector<std::uint32_t>{5000, 2, 3}));
    EXPECT_EQ(s.client.sequence_events().server_restarts, 1u);
    EXPECT_TRUE(s.recorder.logged_prefix("[net] Server sequence restarted at 2"));
    ASSERT_TRUE(wait_for([&] { return s.server.input_blocks().size() >= 2; }));
    EXPECT_EQ(s.server.input_blocks()[1].sequence, 8u) << "input goes out again, for the new numbers";
}

TEST(ClientOutput, GapsAreFilledWithSilenceAndLateBlocksAreDropped) {
    Session s(9);
    ASSERT_TRUE(s.open());
    s.server.send_block(s.client_id, 10, 2, 0.5f);
    s.server.send_block(s.client_id, 13, 2, 0.5f);
    s.server.send_block(s.client_id, 12, 2, 0.5f);
    s.server.send_block(s.client_id, 14, 2, 0.5f);
    ASSERT_TRUE(wait_for([&] { return s.recorder.blocks().size() >= 5; }));
    const auto blocks = s.recorder.blocks();
    ASSERT_EQ(s.recorder.block_sequences(), (std::vector<std::uint32_t>{10, 11, 12, 13, 14}));
    EXPECT_FALSE(blocks[0].silent);
    EXPECT_TRUE(blocks[1].silent);
    EXPECT_TRUE(blocks[2].silent);
    EXPECT_FALSE(blocks[3].silent);
    EXPECT_FLOAT_EQ(blocks[3].first_sample, 0.5f);
    EXPECT_EQ(blocks[1].channel_count, 2);
    const VelmoraClient::SequenceEvents events = s.client.sequence_events();
    EXPECT_EQ(events.output_blocks_accepted, 3u);
    EXPECT_EQ(events.output_blocks_stale, 1u);
    EXPECT_EQ(events.silent_blocks_filled, 2u);
}

TEST(ClientOutput, AGapWiderThanThePlaybackQueueIsNotFilled) {
    Session s(10);
    ASSERT_TRUE(s.open());  // latency 6: the playback queue holds 10 blocks
    s.server.send_block(s.client_id, 100, 2, 0.5f);
    s.server.send_block(s.client_id, 111, 2, 0.5f);  // 10 missing: filled
    s.server.send_block(s.client_id, 123, 2, 0.5f);  // 11 missing: the history restarts here
    s.server.send_block(s.client_id, 124, 2, 0.5f);
    ASSERT_TRUE(wait_for([&] { return s.recorder.blocks().size() >= 14; }));
    std::this_thread::sleep_for(milliseconds(50));
    const auto sequences = s.recorder.block_sequences();
    ASSERT_EQ(sequences.size(), 14u);
    EXPECT_EQ(sequences[0], 100u);
    EXPECT_EQ(sequences[11], 111u);
    EXPECT_EQ(sequences[12], 123u);
    EXPECT_EQ(sequences[13], 124u);
    EXPECT_EQ(s.client.sequence_events().output_gap_restarts, 1u);
    EXPECT_TRUE(s.recorder.logged("[net] Output sequence jumped over 11 blocks; continuing without silence fill."));
}

TEST(ClientOutput, MalformedAndForeignFragmentsAreIgnored) {
    Session s(11);
    ASSERT_TRUE(s.open());
    s.server.send_block(s.client_id, 1, 2, 0.5f, rate, 4097);  // larger than any server block
    s.server.send_block(s.client_id, 2, 3, 0.5f);              // another channel count
    s.server.send_block(s.client_id + 1, 3, 2, 0.5f);          // another client's block
    s.server.send_block(s.client_id, 4, 2, 0.5f);
    ASSERT_TRUE(wait_for([&] { return !s.recorder.blocks().empty(); }));
    std::this_thread::sleep_for(milliseconds(50));
    EXPECT_EQ(s.recorder.block_sequences(), (std::vector<std::uint32_t>{4}));
    EXPECT_GE(s.client.sequence_events().malformed_packets, 1u);
}

TEST(ClientInput, EachSyncSendsTheBlockForSequencePlusLatency) {
    Session s(12);
    ASSERT_TRUE(s.open());
    // Blocks of another format or channel count are not stored.
    s.client.submit_input_block(rate, 127, 2, std::vector<float>(254, 1.0f), 1.0);
    s.client.submit_input_block(44100, frames, 2, ramp(2, 0), 1.0);
    s.client.submit_input_block(rate, frames, 1, std::vector<float>(frames, 1.0f), 1.0);
    EXPECT_EQ(s.client.input_queue_fill(), 0u);
    // With fewer than a block and two frames stored nothing is sent.
    s.client.submit_input_block(rate, frames, 2, ramp(2, 0), 1.0);
    s.server.send_sync(s.client_id, 200);
    ASSERT_TRUE(wait_for([&] { return s.recorder.sync_sequences().size() == 1; }));
    std::this_thread::sleep_for(milliseconds(50));
    EXPECT_EQ(s.server.input_fragments(), 0u);
    EXPECT_EQ(s.client.input_queue_fill(), frames);

    s.client.submit_input_block(rate, frames, 2, ramp(2, frames), 1.0);
    s.server.send_sync(s.client_id, 201);
    ASSERT_TRUE(wait_for([&] { return s.server.input_blocks().size() == 1; }));
    const ReceivedInputBlock block = s.server.input_blocks()[0];
    EXPECT_EQ(block.sequence, 207u);
    EXPECT_EQ(block.sample_rate, rate);
    EXPECT_EQ(block.frame_count, frames);
    ASSERT_EQ(block.channel_count, 2);
    // At the target fill with a unit ratio the block is the captured audio itself.
    for (std::size_t f = 0; f < frames; ++f) {
        ASSERT_FLOAT_EQ(block.samples[f], static_cast<float>(f));
        ASSERT_FLOAT_EQ(block.samples[frames + f], 1000.0f + static_cast<float>(f));
    }

    // The same sync again sends nothing; a sync of another format is accepted but sends nothing.
    s.client.submit_input_block(rate, frames, 2, ramp(2, 2 * frames), 1.0);
    s.client.submit_input_block(rate, frames, 2, ramp(2, 3 * frames), 1.0);
    s.server.send_sync(s.client_id, 201);
    s.server.send_sync(s.client_id, 44100, 44100, frames);
    ASSERT_TRUE(wait_for([&] { return s.recorder.sync_sequences().size() == 3; }));
    std::this_thread::sleep_for(milliseconds(50));
    EXPECT_EQ(s.server.input_blocks().size(), 1u);
    // A new format starts the input history afresh.
    s.client.configure_server_format(rate, frames);
    s.client.submit_input_block(rate, frames, 2, ramp(2, 0), 1.0);
    s.client.submit_input_block(rate, frames, 2, ramp(2, frames), 1.0);
    s.server.send_sync(s.client_id, 300);
    ASSERT_TRUE(wait_for([&] { return s.server.input_blocks().size() == 2; }));
    EXPECT_EQ(s.server.input_blocks()[1].sequence, 306u);
}

TEST(ClientTelemetry, SyncAgesAndTheRateReport) {
    Session s(13);
    ASSERT_TRUE(s.open());
    ASSERT_TRUE(wait_for([&] { return s.client.telemetry().probe_responses >= 1; }));
    const auto begin = std::chrono::steady_clock::now();
    std::uint32_t sequence = 1;
    while (std::chrono::steady_clock::now() - begin < milliseconds(1300)) {
        s.server.send_sync(s.client_id, sequence);
        s.server.send_block(s.client_id, sequence, 2, 0.1f);
        ++sequence;
        std::this_thread::sleep_for(milliseconds(3));
    }
    ASSERT_TRUE(wait_for([&] { return s.recorder.logged_prefix("[net] recvBlocksPerSec="); }));
    const VelmoraClient::Telemetry t = s.client.telemetry();
    EXPECT_GT(t.received_blocks_per_second, 50u);
    EXPECT_EQ(t.duplicate_blocks_per_second, 0u);
    EXPECT_GE(t.sync_age_samples, 100u);
    // Sent at once with the time of sending: the age is the loopback delay plus the offset error.
    EXPECT_LT(t.sync_age_p50_us, 50000u);
    EXPECT_GE(t.sync_age_max_us, t.sync_age_min_us);
    const auto blocks = s.recorder.blocks();
    ASSERT_FALSE(blocks.empty());
    EXPECT_NE(blocks.back().server_host_time_ns, 0u) << "the block carries its sync's time";
    EXPECT_NE(blocks.back().server_time_local_ns, 0u);
    EXPECT_LT(t.output_recv_to_append_max_us, 1000000u);
}

} // namespace
