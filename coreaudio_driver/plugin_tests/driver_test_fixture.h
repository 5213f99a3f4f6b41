// An in-process driver over its own runtime, a debug record of a unique name, a fake network
// server and a host clock the test sets, reached through its function table.
#pragma once

#include "plugin_test_host.h"

#include <velmora/driver/core_audio_plugin_driver.h>
#include <velmora/driver/plugin_network_server.h>
#include <velmora/server/core_audio_hal_runtime.h>
#include <velmora/server/debug_shared_state.h>
#include <velmora/server/server_network_config.h>
#include <velmora/test_support/unique_names.h>

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <deque>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <string>

namespace VelmoraTest {

inline std::atomic<UInt64> g_test_host_time{0};
inline UInt64 test_host_clock() {
    return g_test_host_time.load();
}

// A network server stand-in: records each start's settings, answers from `results` (then true),
// and holds starts while `hold` is set. Tests read the fields while no other thread calls it.
struct FakeNetworkServer : VelmoraMac::PlugInNetworkServer {
    bool start(VelmoraMac::CoreAudioHalRuntime&, const VelmoraMac::PlugInNetworkSettings& settings,
               VelmoraMac::CoreAudioDebugSharedState*) override {
        std::unique_lock<std::mutex> lock(mutex);
        starts.push_back(settings);
        ++inside_start;
        changed.notify_all();
        changed.wait(lock, [&] { return !hold; });
        --inside_start;
        running = results.empty() || results.front();
        if (!results.empty()) {
            results.pop_front();
        }
        return running;
    }
    void stop() override {
        std::lock_guard<std::mutex> lock(mutex);
        stops += running ? 1 : 0;
        running = false;
    }
    bool is_running() const override {
        std::lock_guard<std::mutex> lock(mutex);
        return running;
    }
    std::uint64_t latency_summary() override {
        std::lock_guard<std::mutex> lock(mutex);
        return running ? latency : 0;
    }
    void hold_starts(bool value) {
        std::lock_guard<std::mutex> lock(mutex);
        hold = value;
        changed.notify_all();
    }
    void wait_until_inside_start() {
        std::unique_lock<std::mutex> lock(mutex);
        changed.wait(lock, [&] { return inside_start > 0; });
    }

    mutable std::mutex mutex;
    std::condition_variable changed;
    std::deque<bool> results;
    std::vector<VelmoraMac::PlugInNetworkSettings> starts;
    bool running = false, hold = false;
    int inside_start = 0, stops = 0;
    std::uint64_t latency = 0; // output blocks << 32 | input blocks
};

// A configuration file in a fresh folder, named by VELMORA_DRIVER_CONFIG while it exists.
class TemporaryDriverConfig {
public:
    explicit TemporaryDriverConfig(const std::string& text)
        : folder_(std::filesystem::temp_directory_path() /
                  ("velmora_driver_test" + unique_shared_name("cfg").substr(1))) {
        std::filesystem::create_directories(folder_);
        write(text);
        ::setenv(VelmoraCore::kServerConfigEnvironmentVariable, (folder_ / "Velmora.ini").c_str(), 1);
    }
    ~TemporaryDriverConfig() {
        ::unsetenv(VelmoraCore::kServerConfigEnvironmentVariable);
        std::error_code ignored;
        std::filesystem::remove_all(folder_, ignored);
    }
    void write(const std::string& text) const { std::ofstream(folder_ / "Velmora.ini") << text; }

private:
    std::filesystem::path folder_;
};

class DriverTest : public ::testing::Test {
protected:
    DriverTest() { g_test_host_time.store(1000000000ull); }

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
    // A whole cycle: begin, read the input, write the mix (when given), end.
    void run_cycle(UInt32 frames, float* input, float* mix,
                   const AudioServerPlugInIOCycleInfo* cycle = nullptr) {
        table().BeginIOOperation(ref(), 2, 0, kAudioServerPlugInIOOperationCycle, frames, cycle);
        io(kAudioServerPlugInIOOperationReadInput, frames, input, cycle);
        if (mix != nullptr) {
            io(kAudioServerPlugInIOOperationWriteMix, frames, mix, cycle);
        }
        table().EndIOOperation(ref(), 2, 0, kAudioServerPlugInIOOperationCycle, frames, cycle);
    }
    OSStatus zero_time_stamp(Float64* sample_time, UInt64* host_time = nullptr, UInt64* seed = nullptr) {
        return table().GetZeroTimeStamp(ref(), 2, 0, sample_time, host_time, seed);
    }

    FakeNetworkServer server_;
    VelmoraMac::CoreAudioDebugSharedState debug_{unique_shared_name("VelmoraDebugStats_drivertest")};
    std::unique_ptr<VelmoraMac::CoreAudioHalRuntime> runtime_ =
        std::make_unique<VelmoraMac::CoreAudioHalRuntime>();
    std::unique_ptr<VelmoraMac::CoreAudioPlugInDriver> driver_ =
        std::make_unique<VelmoraMac::CoreAudioPlugInDriver>(*runtime_, debug_, server_, &test_host_clock);
    PlugInTestHost host_{driver_->driver_ref()};
};

} // namespace VelmoraTest
