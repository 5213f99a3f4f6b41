// The network client against the real server core on 127.0.0.1, with a test thread playing the
// device's IO thread: discovery, the compatibility probe, time probes and the rate report, output
// blocks in order with silence for a dropped sequence, input for sequence + latency arriving in
// the device input, and the disconnect.
#include "server_rig.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>

using namespace velmora_test;
using std::chrono::milliseconds;

namespace {

// A server and one engine whose input the device loop watches.
struct Rig {
    Rig() {
        server.device().set_input_observer([this](std::uint32_t sequence, bool exact, const float* input) {
            engine.observe(sequence, exact, input);
        });
        started = server.start() && engine.start(server.port());
    }
    ~Rig() { server.device().stop(); } // the observer uses the engine
    ServerSide server;
    EngineSide engine;
    bool started = false;
};

TEST(ClientServer, ProbeMeasuresAudioFlowsBothWaysAndStopDisconnects) {
    Rig rig;
    ASSERT_TRUE(rig.started);
    VelmoraClient& client = rig.engine.client;
    EXPECT_TRUE(rig.engine.recorder.logged("[net] Client started."));
    ASSERT_TRUE(wait_for([&] { return rig.engine.real_blocks >= 400 && rig.engine.input_cycles >= 200; },
                         milliseconds(20000)));
    const auto syncs = rig.engine.recorder.sync_sequences();
    ASSERT_FALSE(syncs.empty());
    // Input answers sync N with the block for N + 6: nothing of it can reach the device before
    // the cycle 6 blocks after the first sync.
    EXPECT_GE(rig.engine.first_input_sequence.load(), syncs.front() + 6);
    EXPECT_EQ(rig.engine.content_errors, 0u);
    EXPECT_EQ(rig.engine.backwards, 0u);

    ASSERT_TRUE(wait_for([&] { return rig.engine.recorder.logged_prefix("[net] recvBlocksPerSec="); }));
    ASSERT_TRUE(wait_for([&] { return client.telemetry().probe_responses >= 2; }));
    // The telemetry and the clock offset of one and the same answered probe.
    VelmoraClient::Telemetry t;
    std::int64_t offset = 0;
    do {
        t = client.telemetry();
        offset = client.clock_offset_ns().value_or(INT64_MAX);
    } while (client.telemetry().probe_responses != t.probe_responses);
    EXPECT_GT(t.rtt_min_us, 0u);
    EXPECT_NE(t.rtt_p50_us, 0u);
    EXPECT_EQ(t.clock_offset_valid, 1u);
    // Both ends read one clock: the offset is the asymmetry of the two one-way delays, never more
    // than half the round trip of its probe.
    EXPECT_LE(std::llabs(offset), std::int64_t{t.clock_offset_rtt_us} * 500 + 1000);
    EXPECT_GE(t.sync_age_samples, 100u);
    EXPECT_GE(t.sync_age_max_us, t.sync_age_min_us);
    EXPECT_GT(t.received_blocks_per_second, 50u);
    EXPECT_EQ(t.duplicate_blocks_per_second, 0u);

    ASSERT_EQ(rig.server.server().active_client_count(), 1u);
    client.stop();
    client.stop();
    VelmoraClient().stop(); // never started
    // The server forgets the client at once, long before its 60 s time-out.
    EXPECT_TRUE(wait_for([&] { return rig.server.server().active_client_count() == 0; }));
    EXPECT_TRUE(rig.engine.recorder.logged("[net] Client stopped."));
}

TEST(ClientServer, DiscoveryFindsTheServerForAutoInAnyCase) {
    ServerSide server;
    ASSERT_TRUE(server.start());
    for (const char* word : {"auto", "AUTO"}) {
        SCOPED_TRACE(word);
        EngineSide engine;
        ASSERT_TRUE(engine.start(server.port(), word));
        EXPECT_EQ(engine.client.server_endpoint().address, VelmoraCore::kIpv4Loopback);
        EXPECT_EQ(engine.client.server_endpoint().port, server.port());
        EXPECT_TRUE(engine.recorder.logged(
            "[net] Auto discovery selected 127.0.0.1:" + std::to_string(server.port()) + "."));
        EXPECT_TRUE(wait_for([&] { return engine.real_blocks >= 10; }));
    }
}

TEST(ClientServer, ADroppedSequenceArrivesAsASilentBlockInOrder) {
    Rig rig;
    ASSERT_TRUE(rig.started);
    ASSERT_TRUE(wait_for([&] { return rig.engine.real_blocks >= 20; }));
    const std::uint32_t dropped = rig.server.runtime().expected_input_sequence() + 40;
    rig.server.device().drop_sequence(dropped);
    ASSERT_TRUE(
        wait_for([&] { return VelmoraProtocol::sequence_difference(rig.engine.last_block, dropped) > 5; }));
    // A loaded machine may lose more blocks around it (the server's output queue overflows); each
    // of those arrives as silence too, in its place.
    const auto silent = rig.engine.silent_sequences();
    EXPECT_NE(std::find(silent.begin(), silent.end(), dropped), silent.end());
    EXPECT_EQ(rig.engine.backwards, 0u);
    EXPECT_EQ(rig.engine.content_errors, 0u);
}

} // namespace
