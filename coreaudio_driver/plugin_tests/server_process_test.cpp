// velmora_server as a user runs it, with clients on loopback sockets and velmora_macos_debug
// watching. Every process a test starts is ended by it. The machine may be loaded (and a sanitizer
// build slow): tests wait for what they need within generous bounds instead of counting what
// arrives in a fixed time.
#include "malformed_datagrams.h"
#include "udp_test_client.h"

#include <velmora/test_support/child_process.h>
#include <velmora/test_support/machine_lock.h>

#include <gtest/gtest.h>

#include <csignal>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <regex>
#include <set>
#include <thread>

#include <unistd.h>

namespace {

using namespace std::chrono_literals;
using VelmoraTest::ChildProcess;
using VelmoraTest::UdpTestClient;
using Events = UdpTestClient::Events;

auto syncs_at_least(std::size_t count) {
    return [count](const Events& events) { return events.syncs.size() >= count; };
}

class ServerProcessTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(lock_.held()) << "another test run kept the statistics record's name";
        write_config("");
    }
    void TearDown() override { std::filesystem::remove(config_); }
    void write_config(const std::string& extra) {
        std::ofstream(config_) << "[network]\nlisten_port = " << port_ << "\n" << extra;
    }
    // Starts velmora_server and waits until its device runs.
    std::unique_ptr<ChildProcess> start_server(std::vector<std::string> arguments) {
        arguments.insert(arguments.begin(), {VELMORA_SERVER_PATH, "--config", config_.string()});
        auto server = ChildProcess::start(arguments);
        std::string line;
        if (server == nullptr || !server->wait_for_line("velmora_server: running at", line, 30s)) {
            ADD_FAILURE() << "velmora_server did not start:\n" << (server ? server->stderr_text() : "");
            return nullptr;
        }
        return server;
    }
    static void stop(std::unique_ptr<ChildProcess>& server) {
        ASSERT_TRUE(server->send_signal(SIGTERM));
        EXPECT_EQ(server->wait(30s), 0) << server->stderr_text();
        EXPECT_NE(server->stdout_text().find("velmora_server: stopped by SIGTERM"), std::string::npos);
    }

    // velmora_server publishes the plug-in's statistics record, which has one name on the machine.
    VelmoraTest::MachineLock lock_{"velmora-debug-stats-test"};
    std::uint16_t port_ = VelmoraTest::free_udp_port();
    std::filesystem::path config_ = std::filesystem::temp_directory_path() /
                                    ("velmora_server_test_" + std::to_string(::getpid()) + ".ini");
};

// Channel 0 of the block a client sends as its j-th carries j + frame/256, channel 1 the negative:
// exact in float, and the block it came from can be read off any copy of it.
std::vector<float> numbered_block(std::uint32_t j) {
    std::vector<float> block(2 * 128);
    for (std::uint32_t frame = 0; frame < 128; ++frame) {
        block[frame] = static_cast<float>(j) + static_cast<float>(frame) / 256.0f;
        block[128 + frame] = -block[frame];
    }
    return block;
}

TEST_F(ServerProcessTest, EchoReturnsTheClientsSignalAtAConstantSequenceOffset) {
    auto server = start_server({"--play", "echo"});
    ASSERT_NE(server, nullptr);
    auto debug = ChildProcess::start({VELMORA_DEBUG_TOOL_PATH});
    ASSERT_NE(debug, nullptr);
    constexpr std::uint32_t kLatency = 4;
    UdpTestClient client(port_);
    ASSERT_TRUE(client.announce(9101, 1, {0, 1}, {0, 1}, kLatency));
    std::map<std::uint32_t, std::uint32_t> trigger_of_block; // j -> the sync sequence that sent it
    Events events;
    // On every sync N, the client's next block goes out for sequence N + latency.
    client.receive_for(3000ms, events, [&](const VelmoraProtocol::SyncPacket& sync) {
        const auto j = static_cast<std::uint32_t>(trigger_of_block.size());
        trigger_of_block[j] = sync.sequence;
        client.send_input_block(9101, sync.sequence + kLatency, sync.sample_rate, sync.frame_count, 2,
                                numbered_block(j));
    });

    // Syncs at the device rate (375 a second), with the device's format: never faster, and
    // slower only by what a loaded machine skips.
    ASSERT_GT(events.syncs.size(), 100u);
    const double rate = static_cast<double>(events.syncs.size() - 1) * 1e9 /
                        static_cast<double>(events.sync_times_ns.back() - events.sync_times_ns.front());
    EXPECT_GT(rate, 375.0 * 0.25);
    EXPECT_LT(rate, 375.0 * 1.2);
    for (const auto& sync : events.syncs) {
        ASSERT_TRUE(sync.sample_rate == 48000u && sync.frame_count == 128);
    }
    // Every output block that carries one of the client's blocks carries it whole, and each block
    // first comes back at one and the same sequence offset from the sync that sent it. (A block
    // late on a loaded machine is replaced by one repeat of the block before: not a first return.)
    std::map<std::int64_t, std::size_t> offsets;
    std::set<std::uint32_t> returned;
    for (const auto& block : events.blocks) {
        ASSERT_TRUE(block.channel_count == 2 && block.frame_count == 128);
        if (block.samples[0] == 0.0f && block.samples[1] == 0.0f) {
            continue; // silence before the first input block arrived, or after a late one
        }
        const auto j = static_cast<std::uint32_t>(block.samples[0]);
        ASSERT_TRUE(trigger_of_block.count(j)) << block.samples[0];
        ASSERT_EQ(block.samples, numbered_block(j)) << "block " << j << " came back altered";
        if (returned.insert(j).second) {
            ++offsets[static_cast<std::int32_t>(block.sequence - trigger_of_block[j])];
        }
    }
    EXPECT_GT(returned.size(), 20u) << "of " << events.blocks.size();
    ASSERT_EQ(offsets.size(), 1u) << "blocks came back at several offsets";
    EXPECT_EQ(offsets.begin()->first, static_cast<std::int64_t>(kLatency));

    // The statistics tool watched all along; its counters moved.
    const std::regex calls(" calls=([0-9]+) ");
    long seen[2] = {0, 0};
    for (long& calls_seen : seen) {
        std::string line;
        std::smatch match;
        ASSERT_TRUE(debug->wait_for_line("server clients=1 ", line, 10s)) << debug->stdout_text();
        ASSERT_TRUE(std::regex_search(line, match, calls)) << line;
        calls_seen = std::stol(match[1]);
        std::this_thread::sleep_for(600ms);
    }
    EXPECT_GT(seen[1], seen[0]);
    debug->send_signal(SIGINT);
    debug->wait(10s);
    stop(server);
}

// The loop through the client is 512 frames of device time (4 blocks); cycles a loaded machine
// skipped in between add to it, and a click lost on the way is tried again a second later.
TEST_F(ServerProcessTest, AClickReturningThroughAClientIsTimedAndRecorded) {
    const std::filesystem::path recording =
        std::filesystem::temp_directory_path() / ("velmora_click_" + std::to_string(::getpid()) + ".wav");
    auto server = start_server({"--play", "click", "--record", recording.string()});
    ASSERT_NE(server, nullptr);
    UdpTestClient client(port_);
    ASSERT_TRUE(client.announce(9108, 1, {0, 1}, {0, 1}, 4));
    Events events;
    std::size_t looped = 0;
    std::string line;
    bool returned = false;
    for (const auto give_up = std::chrono::steady_clock::now() + 30s;
         !returned && std::chrono::steady_clock::now() < give_up;) {
        // On a sync, the blocks completed before it go back as input, 4 blocks later.
        client.receive_for(250ms, events, [&](const VelmoraProtocol::SyncPacket&) {
            for (; looped < events.blocks.size(); ++looped) {
                const auto& block = events.blocks[looped];
                client.send_input_block(9108, block.sequence + 4, block.sample_rate, block.frame_count, 2,
                                        block.samples);
            }
        });
        returned = server->wait_for_line("click returned on input 1 after", line, 1ms);
    }
    ASSERT_TRUE(returned) << server->stdout_text();
    stop(server);
    const std::string output = server->stdout_text();
    std::smatch match;
    ASSERT_TRUE(std::regex_search(output, match, std::regex("([0-9]+) overloads"))) << output;
    const bool overloaded = std::stol(match[1]) > 0;
    const std::regex round_trip("click returned on input 1 after ([0-9]+) frames \\(([0-9.]+) ms\\)");
    for (auto it = std::sregex_iterator(output.begin(), output.end(), round_trip);
         it != std::sregex_iterator(); ++it) {
        EXPECT_EQ(std::stol((*it)[1]) % 128, 0) << output;
        if (!overloaded) {
            EXPECT_EQ((*it)[0], "click returned on input 1 after 512 frames (10.667 ms)") << output;
        }
    }
    EXPECT_NE(output.find("click returned on input 2 after"), std::string::npos);
    EXPECT_EQ(output.find("click returned on input 3"), std::string::npos);
    EXPECT_NE(output.find("frames to " + recording.string() + " (0 dropped)"), std::string::npos) << output;
    // The recording holds the device input, 32 float channels a frame: the click back on the first two.
    std::ifstream file(recording, std::ios::binary);
    const std::vector<char> bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    std::filesystem::remove(recording);
    ASSERT_GT(bytes.size(), 44u + 32 * 4 * 1024);
    std::size_t clicks = 0;
    for (std::size_t at = 44 + 32 * 4; at + 32 * 4 <= bytes.size(); at += 32 * 4) {
        float frame[3], before = 0;
        std::memcpy(frame, bytes.data() + at, sizeof frame);
        std::memcpy(&before, bytes.data() + at - 32 * 4, sizeof before);
        if (frame[0] == 0.8f && before == 0.0f) {
            ++clicks;
            EXPECT_TRUE(frame[1] == 0.8f && frame[2] == 0.0f);
        }
    }
    EXPECT_GT(clicks, 0u);
}

// Rate and buffer size come from the command line; a client that stops announcing is served
// until the time-out, then forgotten.
TEST_F(ServerProcessTest, TheCommandLineFormatReachesClientsAndASilentClientExpires) {
    write_config("client_timeout_ms = 400\n");
    auto server = start_server({"--rate", "96000", "--frames", "256"});
    ASSERT_NE(server, nullptr);
    EXPECT_NE(server->stdout_text().find("running at 96000 Hz, 256 frames per cycle"), std::string::npos);
    UdpTestClient client(port_);
    const auto announced = std::chrono::steady_clock::now();
    ASSERT_TRUE(client.announce(9102, 1, {}, {0}));
    Events events;
    ASSERT_TRUE(client.receive_until(events, syncs_at_least(10)));
    for (const auto& sync : events.syncs) {
        ASSERT_TRUE(sync.sample_rate == 96000u && sync.frame_count == 256);
    }
    // Until a second passes without a sync.
    auto last_sync = std::chrono::steady_clock::now();
    for (const auto give_up = last_sync + 20s;
         std::chrono::steady_clock::now() - last_sync < 1s && std::chrono::steady_clock::now() < give_up;) {
        const std::size_t before = events.syncs.size();
        client.receive_for(20ms, events);
        last_sync = events.syncs.size() > before ? std::chrono::steady_clock::now() : last_sync;
    }
    EXPECT_GE(std::chrono::steady_clock::now() - last_sync, 1s) << "the server kept sending";
    EXPECT_GE(last_sync - announced, 350ms) << "the client went before its time-out";
    std::string line;
    EXPECT_TRUE(server->wait_for_line("clients 0", line, 10s)) << server->stdout_text();
    stop(server);
}

// A client restarting with a new session is served at its new address only; a flood of malformed
// datagrams of every kind is answered with nothing and disturbs no one.
TEST_F(ServerProcessTest, ARestartedClientAndAFloodOfMalformedDatagrams) {
    auto server = start_server({});
    ASSERT_NE(server, nullptr);
    UdpTestClient old_socket(port_);
    ASSERT_TRUE(old_socket.announce(9103, 6, {}, {0, 1}));
    Events events;
    ASSERT_TRUE(old_socket.receive_until(events, syncs_at_least(10)));
    UdpTestClient client(port_);
    ASSERT_TRUE(client.announce(9103, 7, {}, {0, 1}));
    events = {};
    ASSERT_TRUE(client.receive_until(events, syncs_at_least(10)));
    old_socket.drain(); // what was in flight
    EXPECT_FALSE(old_socket.receive(300ms));

    UdpTestClient attacker(port_);
    const auto datagrams = VelmoraTest::malformed_datagrams(1000, 9105);
    for (std::size_t i = 0; i < datagrams.size(); ++i) {
        ASSERT_TRUE(attacker.send_raw(datagrams[i]));
        if (i % 50 == 49) {
            client.receive_for(10ms, events);
        }
    }
    events = {};
    EXPECT_TRUE(client.receive_until(events, syncs_at_least(20))) << "the valid client is still served";
    EXPECT_FALSE(attacker.receive(100ms));
    std::string line;
    EXPECT_TRUE(server->wait_for_line("clients 1", line, 10s));
    stop(server);
    EXPECT_NE(server->stderr_text().find("rejected Announce"), std::string::npos);
}

TEST_F(ServerProcessTest, AnAnnouncingClientIsServedAgainAfterTheServerRestarts) {
    UdpTestClient client(port_);
    // Announces every 200 ms, as an engine does, while it listens.
    auto served = [&](std::size_t syncs, std::chrono::milliseconds limit) {
        Events events;
        for (const auto give_up = std::chrono::steady_clock::now() + limit;
             events.syncs.size() < syncs && std::chrono::steady_clock::now() < give_up;) {
            client.announce(9106, 1, {}, {0});
            client.receive_for(200ms, events);
        }
        return events.syncs.size() >= syncs;
    };
    auto server = start_server({});
    ASSERT_NE(server, nullptr);
    EXPECT_TRUE(served(20, 20s));
    stop(server);
    client.drain();
    EXPECT_FALSE(served(1, 400ms));
    server = start_server({});
    ASSERT_NE(server, nullptr);
    EXPECT_TRUE(served(20, 20s));
    stop(server);
}

// Exit status 0 for help, 2 for bad options, 3 when the device refuses its client.
TEST_F(ServerProcessTest, HelpBadOptionsAndAnAttachFailure) {
    auto help = ChildProcess::start({VELMORA_SERVER_PATH, "--help"});
    ASSERT_NE(help, nullptr);
    EXPECT_EQ(help->wait(30s), 0);
    EXPECT_EQ(help->stdout_text().rfind("Usage: velmora_server [options]\n", 0), 0u);
    const std::string config = config_.string();
    for (const std::vector<std::string>& arguments :
         {std::vector<std::string>{VELMORA_SERVER_PATH, "--bogus"},
          {VELMORA_SERVER_PATH, "--rate", "32000", "--config", config},
          {VELMORA_SERVER_PATH, "--frames", "9000", "--config", config},
          {VELMORA_SERVER_PATH, "--config", "/nonexistent/velmora.ini"}}) {
        auto bad = ChildProcess::start(arguments);
        ASSERT_NE(bad, nullptr);
        EXPECT_EQ(bad->wait(30s), 2) << arguments[1] << "\n" << bad->stderr_text();
    }
    write_config("bind_address = localhost\n");
    auto server = ChildProcess::start({VELMORA_SERVER_PATH, "--config", config});
    ASSERT_NE(server, nullptr);
    EXPECT_EQ(server->wait(30s), 3);
    EXPECT_NE(server->stderr_text().find("VelmoraCoreAudio invalid network bind address: localhost"),
              std::string::npos);
    EXPECT_NE(server->stderr_text().find("velmora_server: the device refused its client"), std::string::npos);
}

} // namespace
