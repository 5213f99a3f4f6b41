// An in-process driver over its own runtime, a debug record of a unique name, a fake network
// server and a host clock the test sets, reached through its function table.
#pragma once

#include "fake_network_server.h"
#include "plugin_test_host.h"

#include <velmora/driver/core_audio_plugin_driver.h>
#include <velmora/server/core_audio_hal_runtime.h>
#include <velmora/server/debug_shared_state.h>
#include <velmora/server/server_network_config.h>
#include <velmora/test_support/unique_names.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

namespace VelmoraTest {

inline std::atomic<UInt64> g_test_host_time{0};
inline UInt64 test_host_clock() {
    return g_test_host_time.load();
}

// A configuration file in a fresh folder, named by VELMORA_DRIVER_CONFIG while it exists.
class TemporaryDriverConfig {
public:
    explicit TemporaryDriverConfig(const std::string& text) {
        folder_ = std::filesystem::temp_directory_path() /
                  ("velmora_driver_test" + unique_shared_name("cfg").substr(1));
        std::filesystem::create_directories(folder_);
        path_ = folder_ / "Velmora.ini";
        write(text);
        ::setenv(VelmoraCore::kServerConfigEnvironmentVariable, path_.c_str(), 1);
    }
    ~TemporaryDriverConfig() {
        ::unsetenv(VelmoraCore::kServerConfigEnvironmentVariable);
        std::error_code ignored;
        std::filesystem::remove_all(folder_, ignored);
    }
    void write(const std::string& text) const { std::ofstream(path_) << text; }
    std::string path() const { return path_.string(); }

private:
    std::filesystem::path folder_;
    std::filesystem::path path_;
};

class DriverTest : public ::testing::Test {
protected:
    DriverTest()
        : debug_(unique_shared_name("VelmoraDebugStats_drivertest")),
          runtime_(std::make_unique<VelmoraMac::CoreAudioHalRuntime>()),
          driver_(std::make_unique<VelmoraMac::CoreAudioPlugInDriver>(*runtime_, debug_, server_,
                                                                      &test_host_clock)),
          host_(driver_->driver_ref()) {
        g_test_host_time.store(1000000000ull);
    }

    AudioServerPlugInDriverInterface& table() { return host_.table(); }
    AudioServerPlugInDriverRef ref() { return host_.driver(); }
    // Configuration change `action` (1: buffer size, 2: rate) of `device` with `value`.
    OSStatus perform(UInt64 action, std::uintptr_t value, AudioObjectID device = 2) {
        return table().PerformDeviceConfigurationChange(ref(), device, action,
                                                        reinterpret_cast<void*>(value));
    }
    // One IO operation of client 0 on device 2: input read from stream 3, the mix written to 4.
    OSStatus io(UInt32 operation, UInt32 frames, void* buffer,
                const AudioServerPlugInIOCycleInfo* cycle = nullptr) {
        const AudioObjectID stream = operation == kAudioServerPlugInIOOperationWriteMix ? 4 : 3;
        return table().DoIOOperation(ref(), 2, stream, 0, operation, frames, cycle, buffer, nullptr);
    }
    OSStatus begin_cycle(UInt32 frames, const AudioServerPlugInIOCycleInfo* cycle = nullptr) {
        return table().BeginIOOperation(ref(), 2, 0, kAudioServerPlugInIOOperationCycle, frames, cycle);
    }
    OSStatus end_cycle(UInt32 frames, const AudioServerPlugInIOCycleInfo* cycle = nullptr) {
        return table().EndIOOperation(ref(), 2, 0, kAudioServerPlugInIOOperationCycle, frames, cycle);
    }
    OSStatus zero_time_stamp(Float64* sample_time, UInt64* host_time = nullptr, UInt64* seed = nullptr) {
        return table().GetZeroTimeStamp(ref(), 2, 0, sample_time, host_time, seed);
    }

    FakeNetworkServer server_;
    VelmoraMac::CoreAudioDebugSharedState debug_;
    std::unique_ptr<VelmoraMac::CoreAudioHalRuntime> runtime_;
    std::unique_ptr<VelmoraMac::CoreAudioPlugInDriver> driver_;
    PlugInTestHost host_;
};

} // namespace VelmoraTest
