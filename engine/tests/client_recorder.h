// Collects what a VelmoraClient hands to its callbacks, for tests.
#pragma once

#include <velmora/engine/velmora_client.h>

#include <algorithm>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

namespace velmora_test {

struct DeliveredBlock {
    std::uint32_t sequence = 0;
    bool silent = false; // all samples 0 and no receive time: a filled gap
    float first_sample = 0.0f;
    std::uint16_t channel_count = 0;
};

class ClientRecorder {
public:
    bool start(VelmoraClient& client, const VelmoraProtocol::ClientSettings& settings) {
        return client.start(settings, log(), output(), sync(),
                            [this](const VelmoraClient::Telemetry& t) { add(telemetry_, t); });
    }
    VelmoraClient::LogCallback log() {
        return [this](const std::string& line) { add(logs_, line); };
    }
    VelmoraClient::SyncCallback sync() {
        return [this](const VelmoraProtocol::SyncInfo& info) { add(syncs_, info); };
    }
    VelmoraClient::OutputCallback output() {
        return [this](const VelmoraProtocol::CompletedOutputBlock& b) {
            const bool silent = b.receive_time_ns == 0 && std::all_of(b.samples.begin(), b.samples.end(),
                                                                      [](float s) { return s == 0.0f; });
            add(blocks_, DeliveredBlock{b.sequence, silent, b.samples.empty() ? 0.0f : b.samples.front(),
                                        b.channel_count});
        };
    }

    bool logged(const std::string& line) const {
        return any_log([&](const std::string& l) { return l == line; });
    }
    bool logged_prefix(const std::string& prefix) const {
        return any_log([&](const std::string& l) { return l.rfind(prefix, 0) == 0; });
    }
    std::vector<DeliveredBlock> blocks() const { return get(blocks_); }
    std::vector<VelmoraProtocol::SyncInfo> syncs() const { return get(syncs_); }
    std::vector<VelmoraClient::Telemetry> telemetry_snapshots() const { return get(telemetry_); }
    std::vector<std::uint32_t> block_sequences() const { return sequences_of(blocks()); }
    std::vector<std::uint32_t> sync_sequences() const { return sequences_of(syncs()); }

private:
    template <typename T>
    void add(std::vector<T>& list, const T& item) {
        std::lock_guard<std::mutex> lock(mutex_);
        list.push_back(item);
    }
    template <typename T>
    std::vector<T> get(const std::vector<T>& list) const {
        std::lock_guard<std::mutex> lock(mutex_);
        return list;
    }
    template <typename Match>
    bool any_log(Match match) const {
        const auto lines = get(logs_);
        return std::any_of(lines.begin(), lines.end(), match);
    }
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

} // namespace velmora_test
