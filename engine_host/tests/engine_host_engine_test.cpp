// The engine host with the real engine library beside it, against a scripted server on 127.0.0.1:
// the JSON state and the statistics block tell the same story, and every way of ending the host
// stops the engine and removes its socket and its block.
#include "child_process.h"
#include "runtime_test_support.h"

#include <gtest/gtest.h>

#include <chrono>
#include <regex>
#include <string>

#include <sys/stat.h>

namespace {

using namespace std::chrono_literals;
using VelmoraHostTest::ChildProcess;
using namespace VelmoraRuntimeTest;

const std::string kHost = VELMORA_ENGINE_HOST_PROGRAM;

std::string socket_for(std::uint32_t id) { return "/tmp/velmora-engine-host_" + std::to_string(id) + ".sock"; }

bool path_exists(const std::string& path) {
    struct stat info {};
    return ::lstat(path.c_str(), &info) == 0;
}

std::string send(const std::string& socket, const std::string& command) {
    ChildProcess client;
    if (!client.start({kHost, "--send-command", socket, command}) || client.run() != 0) {
        return {};
    }
    return client.stdout_text();
}

// A top-level unsigned number of the reply, or -1.
long long json_number(const std::string& reply, const std::string& name) {
    std::smatch match;
    if (std::regex_search(reply, match, std::regex("\"" + name + "\":([0-9]+)"))) {
        return std::stoll(match[1]);
    }
    return -1;
}

std::string json_text(const std::string& reply, const std::string& name) {
    std::smatch match;
    if (std::regex_search(reply, match, std::regex("\"" + name + "\":\"([^\"]*)\""))) {
        return match[1];
    }
    return "<missing>";
}

class HostWithEngine {
public:
    HostWithEngine(std::uint32_t id, const std::string& config, std::vector<std::string> extra = {}) : id_(id) {
        std::vector<std::string> arguments{kHost, "--config", config, "--client-id", std::to_string(id)};
        arguments.insert(arguments.end(), extra.begin(), extra.end());
        started_ = process_.start(arguments) && process_.wait_for_stdout("VelmoraEngineHost started.", 10s) &&
                   eventually([&] { return path_exists(socket_for(id)); });
    }
    ~HostWithEngine() {
        // A host killed here (a failed test) leaves its socket and statistics block: removed too.
        process_.send_signal(SIGKILL);
        process_.wait_for_exit(5s);
        ::unlink(("/tmp/velmora-engine-host_" + std::to_string(id_) + ".lock").c_str());
        ::unlink(("/tmp/velmora-engine-host_" + std::to_string(id_) + ".sock").c_str());
        ::shm_unlink(engine_shared_stats_name(id_).c_str());
    }
    bool started() const { return started_; }
    std::string socket() const { return socket_for(id_); }
    ChildProcess& process() { return process_; }

private:
    std::uint32_t id_;
    ChildProcess process_;
    bool started_ = false;
};

TEST(EngineHostWithEngine, StateAndStatisticsAgreeUntilStop) {
    const std::uint32_t id = unique_client_id();
    StreamingServer server(id);
    ConfigFile config(spec_for(id, server.port()));
    server.start_streaming();
    HostWithEngine host(id, config.path());
    ASSERT_TRUE(host.started()) << host.process().stderr_text();

    std::string reply;
    ASSERT_TRUE(eventually([&] {
        reply = send(host.socket(), "GET_STATE");
        return json_number(reply, "status") == velmora_engine_status_running &&
               json_number(reply, "health") == velmora_engine_health_healthy;
    })) << reply;
    EXPECT_EQ(json_number(reply, "abiVersion"), 5);
    EXPECT_EQ(json_number(reply, "clientId"), id);
    EXPECT_EQ(json_number(reply, "sampleRate"), 48000);
    EXPECT_EQ(json_number(reply, "blockFrames"), 128);
    EXPECT_EQ(json_text(reply, "healthMessageKey"), "engine_message.running");
    EXPECT_NE(reply.find("\"inputLevels\":[{\"driverChannel\":2,"), std::string::npos) << reply;

    BlockReader block(engine_shared_stats_name(id));
    ASSERT_NE(block.bytes(), nullptr);
    EXPECT_EQ(block.stats().status, static_cast<std::uint32_t>(json_number(reply, "status")));
    EXPECT_EQ(block.stats().client_id, id);
    EXPECT_EQ(block.stats().sample_rate, 48000u);
    EXPECT_EQ(block.stats().block_frames, 128u);
    EXPECT_TRUE(eventually([&] { return block.stats().net_recv_blocks_per_sec > 300; }));

    EXPECT_EQ(send(host.socket(), "STOP"), "{\"ok\":true}\n");
    EXPECT_EQ(host.process().wait_for_exit(10s), 0);
    EXPECT_FALSE(path_exists(host.socket()));
    EXPECT_FALSE(block_exists(id));
    EXPECT_EQ(block.stats().status, velmora_engine_status_stopped) << "a reader keeps the last contents";
}

TEST(EngineHostWithEngine, ParentDeathAndSignalsStopTheEngine) {
    const std::uint32_t id = unique_client_id();
    StreamingServer server(id);
    ConfigFile config(spec_for(id, server.port()));
    server.start_streaming();
    {
        ChildProcess parent;
        ASSERT_TRUE(parent.start({"/bin/sleep", "60"}));
        HostWithEngine host(id, config.path(), {"--parent-pid", std::to_string(parent.pid())});
        ASSERT_TRUE(host.started());
        ASSERT_TRUE(eventually([&] { return block_exists(id); }));
        parent.send_signal(SIGKILL);
        ASSERT_TRUE(parent.wait_for_exit(5s));
        const auto died = std::chrono::steady_clock::now();
        EXPECT_EQ(host.process().wait_for_exit(10s), 0);
        const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - died);
        std::printf("host with engine ended %lld ms after its parent died\n", static_cast<long long>(took.count()));
        EXPECT_LT(took.count(), 3000);
        EXPECT_FALSE(path_exists(host.socket()));
        EXPECT_FALSE(block_exists(id));
    }
    {
        HostWithEngine host(id, config.path());
        ASSERT_TRUE(host.started()) << "the same client id starts again: " << host.process().stderr_text();
        ASSERT_TRUE(eventually([&] { return json_number(send(host.socket(), "GET_STATE"), "status") == 3; }));
        host.process().send_signal(SIGTERM);
        EXPECT_EQ(host.process().wait_for_exit(10s), 0);
        EXPECT_FALSE(path_exists(host.socket()));
        EXPECT_FALSE(block_exists(id));
    }
}

TEST(EngineHostWithEngine, CrashedEngineLeavesNothingThatBlocksTheNextStart) {
    const std::uint32_t id = unique_client_id();
    StreamingServer server(id);
    ConfigFile config(spec_for(id, server.port()));
    server.start_streaming();
    HostWithEngine crashed(id, config.path());
    ASSERT_TRUE(crashed.started());
    ASSERT_TRUE(eventually([&] { return json_number(send(crashed.socket(), "GET_STATE"), "status") == 3; }));
    crashed.process().send_signal(SIGKILL);
    crashed.process().wait_for_exit(5s);
    EXPECT_TRUE(block_exists(id)) << "a killed engine leaves its block behind";
    HostWithEngine again(id, config.path());
    ASSERT_TRUE(again.started()) << again.process().stderr_text();
    std::string reply;
    ASSERT_TRUE(eventually([&] {
        reply = send(again.socket(), "GET_STATE");
        return json_number(reply, "status") == velmora_engine_status_running;
    })) << reply;
    EXPECT_EQ(json_number(reply, "lastErrorCode"), 0);
    EXPECT_EQ(send(again.socket(), "STOP"), "{\"ok\":true}\n");
    EXPECT_EQ(again.process().wait_for_exit(10s), 0);
    EXPECT_FALSE(block_exists(id));
}

} // namespace
