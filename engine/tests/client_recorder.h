// Collects what a VelmoraClient hands to its callbacks, for tests.
#pragma once

#include <velmora/engine/velmora_client.h>

#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

namespace velmora_test {

struct DeliveredBlock {
    std::uint32_t sequence = 0;
    bool silent = false;  // all samples 0 and all four times 0: a filled gap
    float first_sample = 0.0f;
    std::uint16_t channel_count = 0;
    std::uint64_t server_host_time_ns = 0;
    std::uint64_t server_time_local_ns = 0;
};

class ClientRecorder {
public:
    VelmoraClient::LogCallback log() {
        return [this](const std::string& line) {
            std::lock_guard<std::mutex> lock(mutex_);
            logs_.push_back(line);
        };
    }
    VelmoraClient::OutputCallback output() {
        return [this](const VelmoraProtocol::CompletedOutputBlock& block) {
            DeliveredBlock record;
            record.sequence = block.sequence;
            record.channel_count = block.channel_count;
            record.first_sample = block.samples.empty() ? 0.0f : block.samples.front();
            record.silent = block.receive_time_ns == 0 && block.append_time_ns == 0 &&
                            std::all_of(block.samples.begin(), block.samples.end(), [](float s) { return s == 0.0f; });
            record.server_host_time_ns = block.server_host_time_ns;
            record.server_time_local_ns = block.server_time_local_ns;
            std::lock_guard<std::mutex> lock(mutex_);
            blocks_.push_back(record);
        };
    }
    VelmoraClient::SyncCallback sync() {
        return [this](const VelmoraProtocol::SyncInfo& info) {
            std::lock_guard<std::mutex> lock(mutex_);
            syncs_.push_back(info);
        };
    }
    VelmoraClient::TelemetryCallback telemetry() {
        return [this](const VelmoraClient::Telemetry& snapshot) {
            std::lock_guard<std::mutex> lock(mutex_);
            last_telemetry_ = snapshot;
            ++telemetry_count_;
        };
    }

    std::vector<std::string> logs() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return logs_;
    }
    bool logged(const std::string& line) const {
        std::lock_guard<std::mutex> lock(mutex_);
        return std::find(logs_.begin(), logs_.end(), line) != logs_.end();
    }
    bool logged_prefix(const std::string& prefix) const {
        std::lock_guard<std::mutex> lock(mutex_);
        return std::any_of(logs_.begin(), logs_.end(), [&](const std::string& l) { return l.rfind(prefix, 0) == 0; });
    }
    std::vector<DeliveredBlock> blocks() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return blocks_;
    }
    std::vector<std::uint32_t> block_sequences() const {
        std::lock_guard<std::mutex> lock(mutex_);
        std::vector<std::uint32_t> sequences;
        for (const auto& block : blocks_) {
            sequences.push_back(block.sequence);
        }
        return sequences;
    }
    std::vector<std::uint32_t> sync_sequences() const {
        std::lock_guard<std::mutex> lock(mutex_);
        std::vector<std::uint32_t> sequences;
        for (const auto& sync : syncs_) {
            sequences.push_back(sync.sequence);
        }
        return sequences;
    }
    std::vector<VelmoraProtocol::SyncInfo> syncs() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return syncs_;
    }
    VelmoraClient::Telemetry last_telemetry() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return last_telemetry_;
    }
    std::size_t telemetry_count() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return telemetry_count_;
    }
    void clear_blocks() {
        std::lock_guard<std::mutex> lock(mutex_);
        blocks_.clear();
    }

private:
    mutable std::mutex mutex_;
    std::vector<std::string> logs_;
    std::vector<DeliveredBlock> blocks_;
    std::vector<VelmoraProtocol::SyncInfo> syncs_;
    VelmoraClient::Telemetry last_telemetry_;
    std::size_t telemetry_count_ = 0;
};

// A client id no other test process running at the same time uses.
inline std::uint32_t unique_client_id(std::uint32_t n) {
    return static_cast<std::uint32_t>(::getpid() % 100000) * 100 + n + 1;
}

// Settings for loopback tests: never broadcast, short periods.
inline VelmoraProtocol::ClientSettings loopback_settings(std::uint16_t port, std::uint32_t client_id,
                                                         const std::string& server_ip = "127.0.0.1") {
    VelmoraProtocol::ClientSettings settings;
    settings.server_ip = server_ip;
    settings.server_port = port;
    settings.client_id = client_id;
    settings.discovery_broadcast = false;
    settings.discovery_timeout_ms = 1000;
    settings.announce_period_ms = 200;
    settings.client_latency_blocks = 6;
    settings.input_queue_max_blocks = 12;
    return settings;
}

} // namespace velmora_test
