// velmora_server as a user runs it, with clients on loopback sockets and velmora_macos_debug
// watching. Every process a test starts is ended by it.
#include "malformed_datagrams.h"
#include "udp_test_client.h"

#include <velmora/test_support/child_process.h>
#include <velmora/test_support/machine_lock.h>

#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <cstring>
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

class ServerProcessTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(lock_.held()) << "another test run kept the statistics record's name";
        port_ = VelmoraTest::free_udp_port();
        config_ = std::filesystem::temp_directory_path() / ("velmora_server_test_" + std::to_string(::getpid()) + ".ini");
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
        EXPECT_NE(server, nullptr);
        std::string line;
        if (server != nullptr && !server->wait_for_line("velmora_server: running at", line, 20s)) {
            ADD_FAILURE() << "velmora_server did not start:\n" << server->stdout_text() << server->stderr_text();
        }
        return server;
    }

    static void stop(std::unique_ptr<ChildProcess>& server) {
        ASSERT_TRUE(server->send_signal(SIGTERM));
        EXPECT_EQ(server->wait(20s), 0) << server->stderr_text();
        EXPECT_NE(server->stdout_text().find("velmora_server: stopped by SIGTERM"), std::string::npos)
            << server->stdout_text();
    }

    // velmora_server publishes the plug-in's statistics record, which has one name on the machine.
    VelmoraTest::MachineLock lock_{"velmora-debug-stats-test"};
    std::uint16_t port_ = 0;
    std::filesystem::path config_;
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
    UdpTestClient client;
    client.set_server_port(port_);
    ASSERT_TRUE(client.announce(9101, 1, {0, 1}, {0, 1}, kLatency));
    std::uint32_t sent = 0;
    std::map<std::uint32_t, std::uint32_t> trigger_of_block; // j -> the sync sequence that sent it
    UdpTestClient::Events events;
    // On every sync N, the client's next block goes out for sequence N + latency.
    client.receive_for(3000ms, events, [&](const VelmoraProtocol::SyncPacket& sync) {
        trigger_of_block[sent] = sync.sequence;
        client.send_input_block(9101, sync.sequence + kLatency, sync.sample_rate, sync.frame_count, 2,
                                numbered_block(sent));
        ++sent;
    });

    // Syncs at the device rate, with the device's format.
    ASSERT_GT(events.syncs.size(), 100u);
    const double seconds = static_cast<double>(events.sync_times_ns.back() - events.sync_times_ns.front()) / 1e9;
    const double rate = static_cast<double>(events.syncs.size() - 1) / seconds;
    EXPECT_GT(rate, 375.0 * 0.8);
    EXPECT_LT(rate, 375.0 * 1.2);
    for (const auto& sync : events.syncs) {
        ASSERT_EQ(sync.sample_rate, 48000u);
        ASSERT_EQ(sync.frame_count, 128);
    }

    // Every output block that carries one of the client's blocks carries it whole, and each block
    // first comes back at one and the same sequence offset from the sync that sent it. (A block
    // late on a loaded machine is replaced by one repeat of the block before: not a first return.)
    std::size_t matched = 0;
    std::map<std::int64_t, std::size_t> offsets;
    std::set<std::uint32_t> returned;
    for (const auto& block : events.blocks) {
        ASSERT_EQ(block.channel_count, 2);
        ASSERT_EQ(block.frame_count, 128);
        const float first = block.samples[0];
        if (first == 0.0f && block.samples[1] == 0.0f) {
            continue; // silence before the first input block arrived, or after a late one
        }
        const auto j = static_cast<std::uint32_t>(first);
        ASSERT_TRUE(trigger_of_block.count(j)) << first;
        ASSERT_EQ(block.samples, numbered_block(j)) << "block " << j << " came back altered";
        if (returned.insert(j).second) {
            ++offsets[static_cast<std::int32_t>(block.sequence - trigger_of_block[j])];
            ++matched;
        }
    }
    EXPECT_GT(matched, events.blocks.size() / 2) << matched << " of " << events.blocks.size();
    ASSERT_EQ(offsets.size(), 1u) << "blocks came back at several offsets";
    EXPECT_EQ(offsets.begin()->first, static_cast<std::int64_t>(kLatency));

    // The statistics tool watched all along; its counters moved.
    std::string line;
    ASSERT_TRUE(debug->wait_for_line("server clients=1 ", line, 5s)) << debug->stdout_text() << debug->stderr_text();
    const std::regex calls_pattern(" calls=([0-9]+) .* outSeq=([0-9]+) ");
    std::smatch first_match;
    ASSERT_TRUE(std::regex_search(line, first_match, calls_pattern)) << line;
    const long first_calls = std::stol(first_match[1]);
    std::this_thread::sleep_for(600ms);
    ASSERT_TRUE(debug->wait_for_line("server clients=1 ", line, 5s));
    std::smatch second_match;
    ASSERT_TRUE(std::regex_search(line, second_match, calls_pattern)) << line;
    EXPECT_GT(std::stol(second_match[1]), first_calls);
    debug->send_signal(SIGINT);
    debug->wait(10s);
    stop(server);
}

TEST_F(ServerProcessTest, RateAndBufferSizeFromTheCommandLineReachTheClients) {
    auto server = start_server({"--rate", "96000", "--frames", "256"});
    ASSERT_NE(server, nullptr);
    EXPECT_NE(server->stdout_text().find("running at 96000 Hz, 256 frames per cycle"), std::string::npos);
    UdpTestClient client;
    client.set_server_port(port_);
    ASSERT_TRUE(client.announce(9107, 1, {}, {0}, 4));
    UdpTestClient::Events events;
    client.receive_for(500ms, events);
    ASSERT_GT(events.syncs.size(), 50u);
    for (const auto& sync : events.syncs) {
        ASSERT_EQ(sync.sample_rate, 96000u);
        ASSERT_EQ(sync.frame_count, 256);
    }
    stop(server);
}

TEST_F(ServerProcessTest, AClickReturningThroughAClientIsTimedAndRecorded) {
    const std::filesystem::path recording =
        std::filesystem::temp_directory_path() / ("velmora_click_" + std::to_string(::getpid()) + ".wav");
    auto server = start_server({"--play", "click", "--record", recording.string()});
    ASSERT_NE(server, nullptr);
    // The client plays back what it receives as its input, 4 blocks later: a loop of 512 frames.
    constexpr std::uint32_t kLatency = 4;
    UdpTestClient client;
    client.set_server_port(port_);
    ASSERT_TRUE(client.announce(9108, 1, {0, 1}, {0, 1}, kLatency));
    UdpTestClient::Events events;
    std::size_t looped = 0;
    // Each sync is followed by its block's fragments: on a sync, the blocks completed before it go
    // back, one block later than a client engine would send them, well inside the latency.
    client.receive_for(3000ms, events, [&](const VelmoraProtocol::SyncPacket&) {
        for (; looped < events.blocks.size(); ++looped) {
            const auto& block = events.blocks[looped];
            client.send_input_block(9108, block.sequence + kLatency, block.sample_rate, block.frame_count, 2,
                                    block.samples);
        }
    });
    std::string line;
    ASSERT_TRUE(server->wait_for_line("click returned on input 1 after", line, 10s)) << server->stdout_text();
    // The loop is 512 frames of device time; cycles a loaded machine skipped in between add to it.
    const std::string output = server->stdout_text();
    const std::regex returned("click returned on input 1 after ([0-9]+) frames \\(([0-9.]+) ms\\)");
    bool exact = false;
    for (auto match = std::sregex_iterator(output.begin(), output.end(), returned); match != std::sregex_iterator();
         ++match) {
        const long frames = std::stol((*match)[1]);
        EXPECT_GE(frames, 512) << output;
        EXPECT_EQ(frames % 128, 0) << output;
        exact = exact || (*match)[0] == "click returned on input 1 after 512 frames (10.667 ms)";
    }
    EXPECT_TRUE(exact || std::regex_search(output, std::regex("overloads [1-9]"))) << output;
    EXPECT_NE(server->stdout_text().find("click returned on input 2 after"), std::string::npos);
    EXPECT_EQ(server->stdout_text().find("click returned on input 3"), std::string::npos);
    stop(server);
    EXPECT_NE(server->stdout_text().find("frames to " + recording.string() + " (0 dropped)"), std::string::npos)
        << server->stdout_text();
    // The recording holds the device input: 32 channels, the click back on the first two. (Where
    // in the file depends on the cycles a loaded machine skipped; the round trip is timed above.)
    std::ifstream file(recording, std::ios::binary);
    std::vector<char> bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    std::filesystem::remove(recording);
    ASSERT_GT(bytes.size(), 44u + 48000u * 32 * 4);
    const std::size_t frames = (bytes.size() - 44) / (32 * 4);
    auto sample = [&](std::size_t frame, std::size_t channel) {
        float value;
        std::memcpy(&value, bytes.data() + 44 + (frame * 32 + channel) * 4, 4);
        return value;
    };
    std::size_t clicks = 0;
    for (std::size_t frame = 1; frame < frames; ++frame) {
        if (sample(frame, 0) == 0.8f && sample(frame - 1, 0) == 0.0f) {
            ++clicks;
            EXPECT_EQ(sample(frame, 1), 0.8f);
            EXPECT_EQ(sample(frame, 2), 0.0f);
            EXPECT_EQ(sample(frame + 7, 0), 0.8f);
            EXPECT_EQ(sample(frame + 8, 0), 0.0f);
        }
    }
    EXPECT_GT(clicks, 0u) << "no click in " << frames << " recorded frames";
}

TEST_F(ServerProcessTest, ASilentClientExpires) {
    write_config("client_timeout_ms = 400\n");
    auto server = start_server({});
    ASSERT_NE(server, nullptr);
    UdpTestClient client;
    client.set_server_port(port_);
    ASSERT_TRUE(client.announce(9102, 1, {}, {0}, 4));
    UdpTestClient::Events events;
    client.receive_for(300ms, events);
    EXPECT_GT(events.syncs.size(), 30u);
    // No more announces: after the time-out the server forgets the client and stops sending.
    events = {};
    client.receive_for(1500ms, events);
    UdpTestClient::Events late;
    client.receive_for(500ms, late);
    EXPECT_EQ(late.syncs.size(), 0u);
    std::string line;
    EXPECT_TRUE(server->wait_for_line("clients 0", line, 5s)) << server->stdout_text();
    stop(server);
}

TEST_F(ServerProcessTest, AClientRestartingWithANewSessionIsServedAtItsNewAddress) {
    auto server = start_server({});
    ASSERT_NE(server, nullptr);
    auto old_socket = std::make_unique<UdpTestClient>();
    old_socket->set_server_port(port_);
    ASSERT_TRUE(old_socket->announce(9103, 6, {}, {0, 1}, 4));
    UdpTestClient::Events events;
    old_socket->receive_for(300ms, events);
    ASSERT_GT(events.syncs.size(), 30u);

    UdpTestClient restarted;
    restarted.set_server_port(port_);
    ASSERT_TRUE(restarted.announce(9103, 7, {}, {0, 1}, 4));
    UdpTestClient::Events new_events;
    restarted.receive_for(500ms, new_events);
    EXPECT_GT(new_events.syncs.size(), 50u);
    UdpTestClient::Events old_events;
    old_socket->receive_for(50ms, old_events); // what was in flight
    old_events = {};
    old_socket->receive_for(300ms, old_events);
    EXPECT_EQ(old_events.syncs.size(), 0u);
    std::string line;
    EXPECT_TRUE(server->wait_for_line("clients 1", line, 5s)) << server->stdout_text();
    stop(server);
}

TEST_F(ServerProcessTest, AFloodOfMalformedDatagramsIsIgnored) {
    auto server = start_server({});
    ASSERT_NE(server, nullptr);
    UdpTestClient client;
    client.set_server_port(port_);
    ASSERT_TRUE(client.announce(9104, 1, {}, {0}, 4));
    UdpTestClient attacker;
    attacker.set_server_port(port_);
    UdpTestClient::Events events;
    client.receive_for(200ms, events);
    const auto datagrams = VelmoraTest::malformed_datagrams(1000, 9105);
    for (std::size_t i = 0; i < datagrams.size(); ++i) {
        ASSERT_TRUE(attacker.send_raw(datagrams[i]));
        if (i % 50 == 49) {
            client.receive_for(10ms, events);
        }
    }
    events = {};
    client.receive_for(500ms, events);
    EXPECT_GT(events.syncs.size(), 60u) << "the valid client is still served";
    UdpTestClient::Events answers;
    attacker.receive_for(100ms, answers);
    EXPECT_EQ(answers.syncs.size() + answers.blocks.size(), 0u);
    EXPECT_EQ(answers.other_datagrams, 0);
    std::string line;
    EXPECT_TRUE(server->wait_for_line("clients 1", line, 5s));
    stop(server);
    // Every malformed announce was turned away with a log line.
    std::size_t rejected = 0;
    for (std::size_t at = 0; (at = server->stderr_text().find("rejected Announce", at)) != std::string::npos; ++at) {
        ++rejected;
    }
    EXPECT_GT(rejected, 100u);
}

TEST_F(ServerProcessTest, AnAnnouncingClientIsServedAgainAfterTheServerRestarts) {
    UdpTestClient client;
    client.set_server_port(port_);
    auto announce_and_listen = [&](std::chrono::milliseconds duration) {
        UdpTestClient::Events events;
        for (auto waited = 0ms; waited < duration; waited += 200ms) {
            client.announce(9106, 1, {}, {0}, 4);
            client.receive_for(200ms, events);
        }
        return events;
    };
    auto server = start_server({});
    ASSERT_NE(server, nullptr);
    UdpTestClient::Events before = announce_and_listen(600ms);
    EXPECT_GT(before.syncs.size(), 60u);
    stop(server);
    UdpTestClient::Events in_flight;
    client.receive_for(100ms, in_flight);
    UdpTestClient::Events stopped = announce_and_listen(400ms);
    EXPECT_EQ(stopped.syncs.size(), 0u);
    server = start_server({});
    ASSERT_NE(server, nullptr);
    UdpTestClient::Events after = announce_and_listen(1000ms);
    ASSERT_GT(after.syncs.size(), 60u);
    // A fresh device: its block count started again.
    EXPECT_LT(after.syncs.front().sequence, 400u);
    stop(server);
}

TEST_F(ServerProcessTest, AnAttachFailureIsReportedWithItsOwnExitStatus) {
    write_config("bind_address = localhost\n");
    auto server = ChildProcess::start({VELMORA_SERVER_PATH, "--config", config_.string()});
    ASSERT_NE(server, nullptr);
    EXPECT_EQ(server->wait(20s), 3);
    EXPECT_NE(server->stderr_text().find("VelmoraCoreAudio invalid network bind address: localhost"), std::string::npos)
        << server->stderr_text();
    EXPECT_NE(server->stderr_text().find("velmora_server: the device refused its client"), std::string::npos);
}

TEST_F(ServerProcessTest, HelpAndBadOptions) {
    auto help = ChildProcess::start({VELMORA_SERVER_PATH, "--help"});
    ASSERT_NE(help, nullptr);
    EXPECT_EQ(help->wait(10s), 0);
    EXPECT_EQ(help->stdout_text().rfind("Usage: velmora_server [options]\n", 0), 0u);
    for (const std::vector<std::string>& arguments :
         {std::vector<std::string>{"--bogus"}, {"--rate", "32000", "--config", config_.string()},
          {"--frames", "9000", "--config", config_.string()}, {"--config", "/nonexistent/velmora.ini"}}) {
        std::vector<std::string> command = {VELMORA_SERVER_PATH};
        command.insert(command.end(), arguments.begin(), arguments.end());
        auto bad = ChildProcess::start(command);
        ASSERT_NE(bad, nullptr);
        EXPECT_EQ(bad->wait(20s), 2) << arguments.front() << "\n" << bad->stderr_text();
    }
}

} // namespace
