// A network server stand-in for driver tests: records what the driver asks, answers as told, and
// can hold a start until the test releases it. Thread-safe.
#pragma once

#include <velmora/driver/plugin_network_server.h>

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <vector>

namespace VelmoraTest {

class FakeNetworkServer : public VelmoraMac::PlugInNetworkServer {
public:
    bool start(VelmoraMac::CoreAudioHalRuntime&, const VelmoraMac::PlugInNetworkSettings& settings,
               VelmoraMac::CoreAudioDebugSharedState* debug_state) override {
        std::unique_lock<std::mutex> lock(mutex_);
        starts_.push_back(settings);
        debug_states_.push_back(debug_state);
        ++inside_start_;
        changed_.notify_all();
        changed_.wait(lock, [&] { return !hold_starts_; });
        --inside_start_;
        bool result = default_result_;
        if (!results_.empty()) {
            result = results_.front();
            results_.pop_front();
        }
        running_ = result;
        return result;
    }
    void stop() override {
        std::lock_guard<std::mutex> lock(mutex_);
        if (running_) {
            ++stops_;
        }
        running_ = false;
    }
    bool is_running() const override {
        std::lock_guard<std::mutex> lock(mutex_);
        return running_;
    }
    std::uint64_t latency_summary() override {
        std::lock_guard<std::mutex> lock(mutex_);
        return running_ ? latency_summary_ : 0;
    }

    // Test side.
    void queue_start_results(std::initializer_list<bool> results) {
        std::lock_guard<std::mutex> lock(mutex_);
        results_.insert(results_.end(), results);
    }
    void set_latency_summary(std::uint32_t input_blocks, std::uint32_t output_blocks) {
        std::lock_guard<std::mutex> lock(mutex_);
        latency_summary_ = static_cast<std::uint64_t>(output_blocks) << 32 | input_blocks;
    }
    void hold_starts(bool hold) {
        std::lock_guard<std::mutex> lock(mutex_);
        hold_starts_ = hold;
        changed_.notify_all();
    }
    void wait_until_inside_start() {
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait(lock, [&] { return inside_start_ > 0; });
    }
    std::vector<VelmoraMac::PlugInNetworkSettings> starts() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return starts_;
    }
    std::vector<VelmoraMac::CoreAudioDebugSharedState*> debug_states() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return debug_states_;
    }
    int stops() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return stops_;
    }

private:
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    bool default_result_ = true;
    std::deque<bool> results_;
    bool running_ = false;
    bool hold_starts_ = false;
    int inside_start_ = 0;
    int stops_ = 0;
    std::uint64_t latency_summary_ = 0;
    std::vector<VelmoraMac::PlugInNetworkSettings> starts_;
    std::vector<VelmoraMac::CoreAudioDebugSharedState*> debug_states_;
};

} // namespace VelmoraTest
