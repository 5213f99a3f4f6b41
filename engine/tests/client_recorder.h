// Collects what a VelmoraClient hands to its callbacks, for tests.
#pragma once

#include <velmora/engine/velmora_client.h>

#include <algorithm>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace velmora_test {

struct DeliveredBlock {
    std::uint32_t sequence = 0;
    bool silent = false; // all samples 0 and no receive time: a filled gap
    float first_sample = 0.0f;
    std::uint16_t channel_count = 0;
    std::uint64_t server_host_time_ns = 0;
    std::uint64_t server_time_local_ns = 0;
};

class ClientRecorder {
    template <typename F>
    auto locked(F&& f) const {
        std::lock_guard<std::mutex> lock(mutex_);
        return f();
    }

public:
    bool start(VelmoraClient& client, const VelmoraProtocol::ClientSettings& settings) {
        return client.start(settings, log(), output(), sync(), telemetry());
    }
    VelmoraClient::LogCallback log() {
        return [this](const std::string& line) { locked([&] { logs_.push_back(line); }); };
    }
    VelmoraClient::OutputCallback output() {
        return [this](const VelmoraProtocol::CompletedOutputBlock& b) {
            const bool silent = b.receive_time_ns == 0 && std::all_of(b.samples.begin(), b.samples.end(),
                                                                      [](float s) { return s == 0.0f; });
            const DeliveredBlock record{b.sequence,
                                        silent,
                                        b.samples.empty() ? 0.0f : b.samples.front(),
                                        b.channel_count,
                                        b.server_host_time_ns,
                                        b.server_time_local_ns};
            locked([&] { blocks_.push_back(record); });
        };
    }
    VelmoraClient::SyncCallback sync() {
        return [this](const VelmoraProtocol::SyncInfo& info) { locked([&] { syncs_.push_back(info); }); };
    }
    VelmoraClient::TelemetryCallback telemetry() {
        return [this](const VelmoraClient::Telemetry& t) { locked([&] { telemetry_.push_back(t); }); };
    }

    bool logged(const std::string& line) const {
        return locked([&] { return std::find(logs_.begin(), logs_.end(), line) != logs_.end(); });
    }
    bool logged_prefix(const std::string& prefix) const {
        return locked([&] {
            return std::any_of(logs_.begin(), logs_.end(),
                               [&](const std::string& l) { return l.rfind(prefix, 0) == 0; });
        });
    }
    std::vector<DeliveredBlock> blocks() const {
        return locked([&] { return blocks_; });
    }
    std::vector<VelmoraProtocol::SyncInfo> syncs() const {
        return locked([&] { return syncs_; });
    }
    std::vector<VelmoraClient::Telemetry> telemetry_snapshots() const {
        return locked([&] { return telemetry_; });
    }
    std::vector<std::uint32_t> block_sequences() const { return sequences_of(blocks()); }
    std::vector<std::uint32_t> sync_sequences() const { return sequences_of(syncs()); }

private:
    template <typename T>
    static std::vector<std::uint32_t> sequences_of(const std::vector<T>& records) {
        std::vector<std::uint32_t> sequences;
        for (const T& record : records) {
            sequences.push_back(record.sequence);
        }
        return sequences;
    }

    mutable std::mutex mutex_;
    std::vector<std::string> logs_;
    std::vector<DeliveredBlock> blocks_;
    std::vector<VelmoraProtocol::SyncInfo> syncs_;
    std::vector<VelmoraClient::Telemetry> telemetry_;
};

// The telemetry and the clock offset of one and the same answered probe.
inline std::pair<VelmoraClient::Telemetry, std::int64_t> probe_reading(const VelmoraClient& client) {
    VelmoraClient::Telemetry t;
    std::optional<std::int64_t> offset;
    do {
        t = client.telemetry();
        offset = client.clock_offset_ns();
    } while (client.telemetry().probe_responses != t.probe_responses);
    return {t, offset.value_or(INT64_MAX)};
}

} // namespace velmora_test
