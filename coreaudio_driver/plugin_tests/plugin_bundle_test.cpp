// The built bundle as the audio server meets it: found through its Info.plist, made by its
// factory, asked for the driver interface; then host clients starting and stopping the real
// network server, which publishes the fixed statistics record while it runs.
#include "plugin_test_host.h"
#include "udp_test_client.h"

#include <velmora/audio_server/plugin_bundle.h>
#include <velmora/server/debug_shared_stats.h>
#include <velmora/test_support/machine_lock.h>
#include <velmora_compat/os_log_capture.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include <arpa/inet.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

using namespace std::chrono_literals;
using VelmoraAudioServer::PlugInBundle;
using VelmoraTest::address_of;

bool debug_record_exists() {
    const int fd = ::shm_open(VelmoraDebug::kPosixSharedMappingName, O_RDONLY, 0);
    if (fd < 0) {
        return false;
    }
    ::close(fd);
    return true;
}

// A discovery request answered within a short wait: the server's socket is open and its thread runs.
bool server_answers(std::uint16_t port) {
    VelmoraTest::UdpTestClient probe;
    probe.set_server_port(port);
    probe.send_raw(VelmoraProtocol::build_discovery_request_packet(77, 1234));
    VelmoraTest::UdpTestClient::Events events;
    probe.receive_for(300ms, events);
    return events.other_datagrams > 0;
}

class BundleTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(lock_.held()) << "another test run kept the statistics record's name";
        port_ = VelmoraTest::free_udp_port();
        config_path_ = std::filesystem::temp_directory_path() / ("velmora_bundle_" + std::to_string(::getpid()) + ".ini");
        write_config("[network]\nlisten_port = " + std::to_string(port_) + "\n");
        ::setenv("VELMORA_DRIVER_CONFIG", config_path_.c_str(), 1);
        std::string error;
        bundle_ = PlugInBundle::load(VELMORA_BUNDLE_PATH, error);
        ASSERT_NE(bundle_, nullptr) << error;
        host_ = std::make_unique<VelmoraTest::PlugInTestHost>(bundle_->driver());
        ASSERT_EQ(bundle_->table().Initialize(bundle_->driver(), nullptr), kAudioHardwareNoError);
    }
    void TearDown() override {
        host_.reset();
        bundle_.reset();
        std::filesystem::remove(config_path_);
        ::unsetenv("VELMORA_DRIVER_CONFIG");
    }
    void write_config(const std::string& text) { std::ofstream(config_path_) << text; }

    // The plug-in's statistics record has one name on the machine.
    VelmoraTest::MachineLock lock_{"velmora-debug-stats-test"};
    std::uint16_t port_ = 0;
    std::filesystem::path config_path_;
    std::unique_ptr<PlugInBundle> bundle_;
    std::unique_ptr<VelmoraTest::PlugInTestHost> host_;
};

TEST_F(BundleTest, TheFactoryMakesOnlyTheAudioServerPlugInType) {
    EXPECT_EQ(bundle_->bundle_identifier(), "com.tarnwell.velmora.coreaudio");
    EXPECT_EQ(bundle_->factory_name(), "AudioServerPlugInFactory");
    void* code = ::dlopen(bundle_->executable_path().c_str(), RTLD_NOW | RTLD_NOLOAD);
    ASSERT_NE(code, nullptr);
    auto factory = reinterpret_cast<void* (*)(CFAllocatorRef, CFUUIDRef)>(::dlsym(code, "AudioServerPlugInFactory"));
    ASSERT_NE(factory, nullptr);
    EXPECT_EQ(factory(nullptr, kAudioServerPlugInTypeUUID), bundle_->driver());
    EXPECT_EQ(factory(nullptr, nullptr), nullptr);
    EXPECT_EQ(factory(nullptr, kAudioServerPlugInDriverInterfaceUUID), nullptr);
    EXPECT_EQ(factory(nullptr, IUnknownUUID), nullptr);
    // Nothing else of the plug-in's code is visible to its host.
    EXPECT_EQ(::dlsym(code, "_ZN10VelmoraMac21CoreAudioPlugInDriver10initializeEPK30AudioServerPlugInHostInterface"),
              nullptr);
    ::dlclose(code);
    EXPECT_EQ(host_->text(2, address_of(kAudioDevicePropertyDeviceUID)), "com.tarnwell.velmora.coreaudio.device");
}

TEST_F(BundleTest, FirstClientStartsTheNetworkServerAndLastStopsIt) {
    VelmoraCompat::OsLogCapture capture;
    EXPECT_FALSE(debug_record_exists());
    EXPECT_FALSE(server_answers(port_));
    ASSERT_EQ(host_->add_client(), kAudioHardwareNoError);
    EXPECT_TRUE(debug_record_exists());
    EXPECT_TRUE(server_answers(port_));
    const std::vector<std::string> messages = capture.messages();
    EXPECT_NE(std::find(messages.begin(), messages.end(),
                        "VelmoraCoreAudio UDP network server started on 127.0.0.1:" + std::to_string(port_)),
              messages.end());
    ASSERT_EQ(host_->add_client(), kAudioHardwareNoError);
    ASSERT_EQ(host_->remove_client(), kAudioHardwareNoError);
    EXPECT_TRUE(debug_record_exists());
    EXPECT_TRUE(server_answers(port_));
    ASSERT_EQ(host_->remove_client(), kAudioHardwareNoError);
    EXPECT_FALSE(debug_record_exists());
    EXPECT_FALSE(server_answers(port_));
    // A refused extra detach does not disturb the next attach.
    ASSERT_EQ(host_->remove_client(), kAudioHardwareNoError);
    ASSERT_EQ(host_->add_client(), kAudioHardwareNoError);
    EXPECT_TRUE(server_answers(port_));
    ASSERT_EQ(host_->remove_client(), kAudioHardwareNoError);
}

TEST_F(BundleTest, APortInUseFailsTheAttachUntilItIsFree) {
    const int blocker = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port_);
    ASSERT_EQ(::bind(blocker, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    VelmoraCompat::OsLogCapture capture;
    EXPECT_EQ(host_->add_client(), kAudioHardwareIllegalOperationError);
    EXPECT_FALSE(debug_record_exists());
    const std::vector<std::string> messages = capture.messages();
    EXPECT_NE(std::find(messages.begin(), messages.end(),
                        "VelmoraCoreAudio failed to start UDP network server on 127.0.0.1:" + std::to_string(port_)),
              messages.end());
    ::close(blocker);
    ASSERT_EQ(host_->add_client(), kAudioHardwareNoError);
    EXPECT_TRUE(server_answers(port_));
    // One attach counted: one detach stops the server.
    ASSERT_EQ(host_->remove_client(), kAudioHardwareNoError);
    EXPECT_FALSE(server_answers(port_));
}

TEST_F(BundleTest, CyclesWithoutOutputKeepClientsInSync) {
    ASSERT_EQ(host_->add_client(), kAudioHardwareNoError);
    ASSERT_EQ(bundle_->table().StartIO(bundle_->driver(), 2, 1), kAudioHardwareNoError);
    VelmoraTest::UdpTestClient client;
    client.set_server_port(port_);
    ASSERT_TRUE(client.announce(4711, 1, {0, 1}, {0, 1}, 4));
    VelmoraTest::UdpTestClient::Events events;
    client.receive_for(200ms, events); // the announce is taken on the server's next tick
    std::vector<float> input(32 * 128);
    for (int cycle = 0; cycle < 20; ++cycle) {
        auto& table = bundle_->table();
        ASSERT_EQ(table.BeginIOOperation(bundle_->driver(), 2, 1, kAudioServerPlugInIOOperationCycle, 128, nullptr), 0);
        ASSERT_EQ(table.DoIOOperation(bundle_->driver(), 2, 3, 1, kAudioServerPlugInIOOperationReadInput, 128, nullptr,
                                      input.data(), nullptr),
                  0);
        ASSERT_EQ(table.EndIOOperation(bundle_->driver(), 2, 1, kAudioServerPlugInIOOperationCycle, 128, nullptr), 0);
        client.receive_for(5ms, events);
    }
    client.receive_for(300ms, events);
    ASSERT_EQ(events.syncs.size(), 20u);
    ASSERT_EQ(events.blocks.size(), 20u);
    for (std::uint32_t i = 0; i < 20; ++i) {
        EXPECT_EQ(events.syncs[i].sequence, i);
        EXPECT_EQ(events.syncs[i].sample_rate, 48000u);
        EXPECT_EQ(events.syncs[i].frame_count, 128);
        EXPECT_EQ(events.blocks[i].sequence, i);
        EXPECT_EQ(events.blocks[i].channel_count, 2);
        for (float sample : events.blocks[i].samples) {
            ASSERT_EQ(sample, 0.0f);
        }
    }
    ASSERT_EQ(bundle_->table().StopIO(bundle_->driver(), 2, 1), kAudioHardwareNoError);
    ASSERT_EQ(host_->remove_client(), kAudioHardwareNoError);
}

} // namespace
