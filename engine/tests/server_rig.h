// The real server core on 127.0.0.1 with a test thread playing its device's IO thread, and engines'
// network sides that check what they receive and answer it with captured input, as a player would.
#pragma once

#include "client_recorder.h"
#include "fake_velmora_server.h"

#include <velmora/engine/velmora_client.h>
#include <velmora/platform/clocks.h>
#include <velmora/server/core_audio_hal_runtime.h>
#include <velmora/server/core_audio_network_server.h>
#include <velmora/server/ipv4_endpoint.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace velmora_test {

constexpr std::uint32_t kRate = 48000;
constexpr std::uint16_t kFrames = 128;

// The sample every frame of device output channel `channel` carries in block `sequence`.
inline float device_output_value(std::uint32_t sequence, std::size_t channel) {
    return static_cast<float>(sequence % 65536) + static_cast<float>(channel) / 64.0f;
}

// Once per block period: reads the device input for the current sequence, hands it to the
// observer, and publishes an output block whose samples tell their sequence and channel.
class DeviceLoop {
public:
    // Called on the loop thread with the cycle's sequence, whether the runtime had exactly that
    // block, and the 32 x frames planar input.
    using InputObserver = std::function<void(std::uint32_t sequence, bool exact, const float* input)>;

    explicit DeviceLoop(VelmoraMac::CoreAudioHalRuntime& runtime) : runtime_(runtime) {}
    ~DeviceLoop() { stop(); }

    void set_input_observer(InputObserver observer) { observer_ = std::move(observer); }
    void start() {
        running_ = true;
        thread_ = std::thread([this] { run(); });
    }
    void stop() {
        running_ = false;
        if (thread_.joinable()) {
            thread_.join();
        }
    }
    // The cycle with this sequence publishes no output: the number is consumed and never sent.
    void drop_sequence(std::uint32_t sequence) {
        dropped_sequence_ = sequence;
        drop_armed_ = true;
    }
    std::uint64_t cycles() const { return cycles_.load(); }

private:
    void run() {
        using Runtime = VelmoraMac::CoreAudioHalRuntime;
        std::vector<float> input(Runtime::sample_count(kFrames));
        std::vector<float> output(Runtime::sample_count(kFrames));
        const auto period = std::chrono::nanoseconds(1000000000ll * kFrames / kRate);
        auto next = std::chrono::steady_clock::now();
        while (running_) {
            const std::uint32_t sequence = runtime_.expected_input_sequence();
            const auto in = runtime_.read_prepared_input_block(input.data(), kFrames, kRate);
            if (observer_) {
                observer_(sequence, in.sample_rate != 0 && in.sequence == sequence, input.data());
            }
            const std::uint64_t now = VelmoraPlatform::host_time_nanoseconds();
            if (drop_armed_ && dropped_sequence_ == sequence) {
                drop_armed_ = false;
                runtime_.next_timeline(kFrames, kRate, now);
            } else {
                for (std::size_t c = 0; c < Runtime::kChannels; ++c) {
                    std::fill_n(output.begin() + static_cast<std::ptrdiff_t>(c * kFrames), kFrames,
                                device_output_value(sequence, c));
                }
                runtime_.publish_output_block(output.data(), kFrames, kRate, now);
            }
            ++cycles_;
            // Deadlines advance from the start; after a long stall the loop resumes from now.
            next += period;
            const auto now_point = std::chrono::steady_clock::now();
            if (next < now_point - 20 * period) {
                next = now_point;
            }
            std::this_thread::sleep_until(next);
        }
    }

    VelmoraMac::CoreAudioHalRuntime& runtime_;
    InputObserver observer_;
    std::atomic<bool> running_{false};
    std::atomic<bool> drop_armed_{false};
    std::atomic<std::uint32_t> dropped_sequence_{0};
    std::atomic<std::uint64_t> cycles_{0};
    std::thread thread_;
};

class ServerSide {
public:
    ~ServerSide() {
        device_.stop();
        server_.stop();
    }
    bool start() {
        runtime_->reset();
        VelmoraMac::CoreAudioNetworkServer::Config config;
        config.endpoint = VelmoraCore::Ipv4Endpoint{VelmoraCore::kIpv4Loopback, port_};
        // Long enough that only a disconnect, never the time-out, removes a client in these tests.
        config.client_timeout_ms = 60000;
        if (!server_.start(runtime_.get(), config, nullptr)) {
            return false;
        }
        port_ = server_.input_endpoint().port;
        device_.start();
        return port_ != 0;
    }
    std::uint16_t port() const { return port_; }
    DeviceLoop& device() { return device_; }
    VelmoraMac::CoreAudioHalRuntime& runtime() { return *runtime_; }
    VelmoraMac::CoreAudioNetworkServer& server() { return server_; }

private:

    std::unique_ptr<VelmoraMac::CoreAudioHalRuntime> runtime_ =
        std::make_unique<VelmoraMac::CoreAudioHalRuntime>();
    VelmoraMac::CoreAudioNetworkServer server_;
    DeviceLoop device_{*runtime_};
    std::uint16_t port_ = 0;
};

// One engine's network side: checks every output block against the device's pattern and answers
// each delivered block with one captured block of two constants, as a player on the server's
// clock would. Counts what arrives out of order and which device cycles carried its input.
class EngineSide {
public:
    EngineSide(std::vector<std::int64_t> outputs = {0, 1}, std::vector<std::int64_t> inputs = {2, 3},
               float left = 0.25f, float right = 0.5f)
        : outputs_(std::move(outputs)), inputs_(std::move(inputs)), left_(left), right_(right) {
        std::fill(captured_.begin() + kFrames, captured_.end(), right);
    }
    // The callbacks use the members below: the client stops before any of them goes.
    ~EngineSide() { client.stop(); }

    bool start(std::uint16_t port, const std::string& server_ip = "127.0.0.1",
               std::uint32_t announce_ms = 200) {
        auto settings = loopback_settings(port, unique_client_id(), server_ip);
        settings.announce_period_ms = announce_ms;
        settings.driver_outputs = outputs_;
        settings.driver_inputs = inputs_;
        auto sync = recorder.sync();
        return client.start(
                   settings, recorder.log(),
                   [this](const VelmoraProtocol::CompletedOutputBlock& b) { on_block(b); },
                   [this, sync](const VelmoraProtocol::SyncInfo& info) {
                       if (record_syncs) {
                           sync(info);
                       }
                   },
                   nullptr) &&
               client.configure_server_format(kRate, kFrames);
    }
    // The device input observer's part for this engine.
    void observe(std::uint32_t sequence, bool exact, const float* input) {
        if (exact && input[inputs_[0] * kFrames] == left_ &&
            input[inputs_[1] * kFrames + kFrames - 1] == right_) {
            if (input_cycles++ == 0) {
                first_input_sequence = sequence;
            }
        }
    }
    std::vector<std::uint32_t> silent_sequences() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return silent_;
    }

    VelmoraClient client;
    ClientRecorder recorder;
    bool record_syncs = true;
    std::atomic<std::uint32_t> last_block{0};
    std::atomic<std::uint64_t> real_blocks{0}, silent_blocks{0}, content_errors{0};
    std::atomic<std::uint64_t> backwards{0};        // a block not newer than the one before
    std::atomic<std::uint64_t> unfilled_missing{0}; // blocks skipped by gaps too wide to fill
    std::atomic<std::uint64_t> input_cycles{0};
    std::atomic<std::uint32_t> first_input_sequence{0};

private:
    void on_block(const VelmoraProtocol::CompletedOutputBlock& block) {
        if (real_blocks + silent_blocks > 0 && block.sequence != last_block + 1) {
            const std::int32_t step = VelmoraProtocol::sequence_difference(block.sequence, last_block);
            if (step <= 0) {
                ++backwards;
            } else {
                unfilled_missing += static_cast<std::uint64_t>(step - 1);
            }
        }
        last_block = block.sequence;
        if (block.receive_time_ns == 0) {
            ++silent_blocks;
            std::lock_guard<std::mutex> lock(mutex_);
            silent_.push_back(block.sequence);
        } else {
            ++real_blocks;
            for (std::size_t c = 0; c < block.channel_count; ++c) {
                const float expected =
                    device_output_value(block.sequence, static_cast<std::size_t>(outputs_[c]));
                content_errors += block.samples[c * kFrames] != expected ||
                                  block.samples[c * kFrames + kFrames - 1] != expected;
            }
        }
        client.submit_input_block(kRate, kFrames, 2, captured_, 1.0);
    }

    const std::vector<std::int64_t> outputs_;
    const std::vector<std::int64_t> inputs_;
    const float left_;
    const float right_;
    std::vector<float> captured_ = std::vector<float>(2 * kFrames, left_);
    mutable std::mutex mutex_;
    std::vector<std::uint32_t> silent_;
};

} // namespace velmora_test
