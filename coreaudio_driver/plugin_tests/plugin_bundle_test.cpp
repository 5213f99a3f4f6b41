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

#include <dlfcn.h>
#include <fcntl.h>
#include <sys/mman.h>
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
        config_path_ = std::filesystem::temp_directory_path() /
                       ("velmora_bundle_" + std::to_string(::getpid()) + ".ini");
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
    auto factory =
        reinterpret_cast<void* (*)(CFAllocatorRef, CFUUIDRef)>(::dlsym(code, "AudioServerPlugInFactory"));
    ASSERT_NE(factory, nullptr);
    EXPECT_EQ(factory(nullptr, kAudioServerPlugInTypeUUID), bundle_->driver());
    EXPECT_EQ(factory(nullptr, nullptr), nullptr);
    EXPECT_EQ(factory(nullptr, kAudioServerPlugInDriverInterfaceUUID), nullptr);
    EXPECT_EQ(factory(nullptr, IUnknownUUID), nullptr);
    // Nothing else of the plug-in's code is visible to its host.
    EXPECT_EQ(
        ::dlsym(code,
                "_ZN10VelmoraMac21CoreAudioPlugInDriver10initializeEPK30AudioServerPlugInHostInterface"),
        nullptr);
    ::dlclose(code);
    EXPECT_EQ(host_->text(2, address_of(kAudioDevicePropertyDeviceUID)),
              "com.tarnwell.velmora.coreaudio.device");
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

} // namespace
