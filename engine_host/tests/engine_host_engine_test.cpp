// The engine host with the real engine library beside it, against a scripted server on 127.0.0.1:
// the JSON state and the statistics block tell the same story, a crashed host leaves nothing that
// blocks the next start, and every way of ending the host stops the engine and removes its socket
// and its block.
#include "host_test_support.h"
#include "runtime_test_support.h"

#include <gtest/gtest.h>

namespace {

using namespace VelmoraHostTest;
using namespace VelmoraRuntimeTest;

bool running(const Host& host, std::string& reply) {
    reply = host.state();
    return json_number(reply, "status") == velmora_engine_status_running;
}

TEST(EngineHostWithEngine, StateStatisticsCrashAndEveryWayOfEnding) {
    const std::uint32_t id = unique_client_id();
    StreamingServer server(id);
    ConfigFile config(ConfigSpec{id, server.port()});
    server.start_streaming();
    std::string reply;
    Host crashed(kHost, id, config.path());
    {
        Host& host = crashed;
        ASSERT_TRUE(host.started()) << host.errors();
        ASSERT_TRUE(wait_for([&] {
            return running(host, reply) &&
                   running_and_settled(velmora_engine_status_running,
                                       static_cast<unsigned>(json_number(reply, "health")),
                                       static_cast<unsigned>(json_number(reply, "healthReason")));
        })) << reply;
        EXPECT_EQ(json_number(reply, "abiVersion"), 5);
        EXPECT_EQ(json_number(reply, "clientId"), id);
        EXPECT_EQ(json_text(reply, "healthMessageKey").rfind("engine_message.", 0), 0u) << reply;
        EXPECT_NE(reply.find("\"inputLevels\":[{\"driverChannel\":2,"), std::string::npos) << reply;
        BlockReader block(id);
        ASSERT_NE(block.bytes(), nullptr);
        EXPECT_EQ(block.stats().status, static_cast<std::uint32_t>(json_number(reply, "status")));
        EXPECT_EQ(block.stats().client_id, id);
        EXPECT_EQ(block.stats().sample_rate, 48000u);
        EXPECT_EQ(block.stats().block_frames, 128u);
        EXPECT_TRUE(wait_for([&] { return block.stats().net_recv_blocks_per_sec > 300; }));

        // Killed: the block stays behind, as a crashed engine leaves it.
        host.process().send_signal(SIGKILL);
        EXPECT_EQ(host.wait(), 128 + SIGKILL);
        EXPECT_TRUE(block_exists(id));
    }
    // The same client id starts again (the old block is replaced), and ends with its parent.
    const auto parent = ChildProcess::start({"/bin/sleep", "60"});
    ASSERT_TRUE(parent);
    Host second(kHost, id, config.path(), {"--parent-pid", std::to_string(parent->pid())});
    {
        Host& host = second;
        ASSERT_TRUE(host.started()) << host.errors();
        ASSERT_TRUE(wait_for([&] { return running(host, reply); })) << reply;
        EXPECT_EQ(json_number(reply, "lastErrorCode"), 0);
        parent->send_signal(SIGKILL);
        ASSERT_EQ(parent->wait(10s), 128 + SIGKILL); // reaped: a zombie still counts as alive
        EXPECT_EQ(host.wait(), 0);
        EXPECT_FALSE(path_exists(host.socket()));
        EXPECT_FALSE(block_exists(id));
    }
    // And it stops on SIGTERM as on STOP (the end-to-end test sends STOP).
    Host third(kHost, id, config.path());
    ASSERT_TRUE(third.started()) << third.errors();
    ASSERT_TRUE(wait_for([&] { return running(third, reply); })) << reply;
    third.process().send_signal(SIGTERM);
    EXPECT_EQ(third.wait(), 0);
    EXPECT_FALSE(path_exists(third.socket()));
    EXPECT_FALSE(block_exists(id));
}

} // namespace
