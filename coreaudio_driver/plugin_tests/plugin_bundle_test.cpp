// The built bundle as the audio server meets it: found through its Info.plist, made by its
// factory, asked for the driver interface; then host clients starting and stopping the real
// network server, which publishes the fixed statistics record while it runs.
#include "plugin_test_host.h"
#include "udp_test_client.h"

#include <velmora/audio_server/plugin_bundle.h>
#include <velmora/server/debug_shared_stats.h>
#include <velmora/test_support/machine_lock.h>

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

bool debug_record_exists() {
    const int fd = ::shm_open(VelmoraDebug::kPosixSharedMappingName, O_RDONLY, 0);
    if (fd >= 0) {
        ::close(fd);
    }
    return fd >= 0;
}

// A discovery request answered within a short wait: the server's socket is open and its thread runs.
bool server_answers(std::uint16_t port) {
    VelmoraTest::UdpTestClient probe(port);
    probe.send_raw(VelmoraProtocol::build_discovery_request_packet(77, 1234));
    return probe.receive(300ms).has_value();
}

TEST(PlugInBundle, FactoryAndFirstAndLastClientOfTheRealNetworkServer) {
    // The plug-in's statistics record has one name on the machine.
    VelmoraTest::MachineLock lock("velmora-debug-stats-test");
    ASSERT_TRUE(lock.held()) << "another test run kept the statistics record's name";
    const std::uint16_t port = VelmoraTest::free_udp_port();
    const std::filesystem::path config =
        std::filesystem::temp_directory_path() / ("velmora_bundle_" + std::to_string(::getpid()) + ".ini");
    std::ofstream(config) << "[network]\nlisten_port = " << port << "\n";
    ::setenv("VELMORA_DRIVER_CONFIG", config.c_str(), 1);
    std::string error;
    auto bundle = VelmoraAudioServer::PlugInBundle::load(VELMORA_BUNDLE_PATH, error);
    ASSERT_NE(bundle, nullptr) << error;
    EXPECT_EQ(bundle->bundle_identifier(), "com.tarnwell.velmora.coreaudio");
    EXPECT_EQ(bundle->factory_name(), "AudioServerPlugInFactory");

    // The factory makes only the plug-in type; nothing else of the code is visible to its host.
    void* code = ::dlopen(bundle->executable_path().c_str(), RTLD_NOW | RTLD_NOLOAD);
    ASSERT_NE(code, nullptr);
    auto factory =
        reinterpret_cast<void* (*)(CFAllocatorRef, CFUUIDRef)>(::dlsym(code, "AudioServerPlugInFactory"));
    ASSERT_NE(factory, nullptr);
    EXPECT_EQ(factory(nullptr, kAudioServerPlugInTypeUUID), bundle->driver());
    for (CFUUIDRef other : {CFUUIDRef{nullptr}, kAudioServerPlugInDriverInterfaceUUID, IUnknownUUID}) {
        EXPECT_EQ(factory(nullptr, other), nullptr);
    }
    EXPECT_EQ(
        ::dlsym(code,
                "_ZN10VelmoraMac21CoreAudioPlugInDriver10initializeEPK30AudioServerPlugInHostInterface"),
        nullptr);
    ::dlclose(code);

    VelmoraTest::PlugInTestHost host(bundle->driver());
    ASSERT_EQ(host.table().Initialize(host.driver(), nullptr), kAudioHardwareNoError);
    // First and last client, as the host counts them, start and stop the real server and its
    // record (a second client and a stray detach are shown on the driver with a fake server).
    EXPECT_FALSE(debug_record_exists());
    EXPECT_FALSE(server_answers(port));
    ASSERT_EQ(host.add_client(), kAudioHardwareNoError);
    EXPECT_TRUE(debug_record_exists());
    EXPECT_TRUE(server_answers(port));
    ASSERT_EQ(host.remove_client(), kAudioHardwareNoError);
    EXPECT_FALSE(debug_record_exists());
    EXPECT_FALSE(server_answers(port));
    bundle.reset();
    std::filesystem::remove(config);
    ::unsetenv("VELMORA_DRIVER_CONFIG");
}

} // namespace
