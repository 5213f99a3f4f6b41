// Helpers shared by the runtime tests: engine configuration files, a scripted server that streams
// syncs and output blocks like a running device, and a reader of the statistics block as the
// control app maps it.
#pragma once

#include "fake_velmora_server.h"

#include <velmora/engine/engine_shared_stats.h>
#include <velmora/engine/velmora_engine.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <fstream>
#include <string>
#include <thread>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace VelmoraRuntimeTest {

using velmora_test::unique_client_id;
using velmora_test::wait_for;

// Running, with the health the player's telemetry gives: healthy, or degraded by a glitch (which a
// loaded machine may cause in any second), but neither waiting for syncs nor without a device.
inline bool running_and_settled(unsigned status, unsigned health, unsigned reason) {
    return status == velmora_engine_status_running &&
           (health == velmora_engine_health_healthy ||
            (health == velmora_engine_health_degraded && reason != velmora_engine_reason_device_lost));
}

// An engine configuration; the fields cover what the tests vary.
struct ConfigSpec {
    std::uint32_t client_id;
    std::uint16_t server_port;
    std::string driver_outputs = "0, 1";
    std::string driver_inputs = "2, 3";
    std::string input_map = "0, 1";
    std::string device_uid{}; // empty: the virtual loopback device
    std::uint32_t discovery_timeout_ms = 500;
    std::string extra_test_lines{}; // more [test] keys, one per line
};

// Writes the configuration to a fresh file under /tmp and removes it with the object.
class ConfigFile {
public:
    explicit ConfigFile(const ConfigSpec& spec) {
        static std::atomic<int> counter{0};
        path_ = "/tmp/velmora-runtime-test-" + std::to_string(::getpid()) + "-" + std::to_string(counter++) +
                ".ini";
        std::ofstream(path_) << "[network]\nserver_ip = 127.0.0.1\nserver_port = " << spec.server_port
                             << "\nclient_id = " << spec.client_id
                             << "\ndiscovery_timeout_ms = " << spec.discovery_timeout_ms
                             << "\n[velmora]\ndriver_inputs = " << spec.driver_inputs
                             << "\ndriver_outputs = " << spec.driver_outputs
                             << "\n[asio]\ndriver_name = " << spec.device_uid
                             << "\ninput_map = " << spec.input_map
                             << "\noutput_map = 0, 1\n[test]\nloopback_device = "
                             << (spec.device_uid.empty() ? 1 : 0) << "\n"
                             << spec.extra_test_lines;
    }
    ~ConfigFile() { ::unlink(path_.c_str()); }
    ConfigFile(const ConfigFile&) = delete;
    ConfigFile& operator=(const ConfigFile&) = delete;
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

// A scripted server that, once started, sends a sync and a constant-valued output block for every
// block period of its current format, like a server device running, until paused or destroyed.
class StreamingServer : public velmora_test::FakeVelmoraServer {
public:
    explicit StreamingServer(std::uint32_t client_id, velmora_test::FakeServerOptions options = {})
        : FakeVelmoraServer(std::move(options)), client_id_(client_id) {}
    ~StreamingServer() { stop_streaming(); }

    void start_streaming(float value = 0.25f) {
        thread_ = std::thread([this, value] {
            auto next = std::chrono::steady_clock::now();
            while (streaming_) {
                const std::uint32_t rate = rate_.load();
                if (has_client()) {
                    const std::uint32_t sequence = sequence_++;
                    send_sync(client_id_, sequence, rate, 128);
                    send_block(client_id_, sequence, 2, value, rate, 128);
                }
                next += std::chrono::nanoseconds(128 * 1000000000ll / rate);
                // Behind by more than 50 ms (a loaded machine): start again from now instead of bursting.
                next = std::max(next, std::chrono::steady_clock::now() - std::chrono::milliseconds(50));
                std::this_thread::sleep_until(next);
            }
        });
    }
    void stop_streaming() {
        streaming_ = false;
        if (thread_.joinable()) {
            thread_.join();
        }
    }
    void set_rate(std::uint32_t rate) { rate_ = rate; }

private:
    std::uint32_t client_id_;
    std::thread thread_;
    std::atomic<bool> streaming_{true};
    std::atomic<std::uint32_t> rate_{48000};
    std::atomic<std::uint32_t> sequence_{1000};
};

// A read-only view of a statistics block, as the control app maps it.
class BlockReader {
public:
    explicit BlockReader(std::uint32_t id)
        : fd_(::shm_open(engine_shared_stats_name(id).c_str(), O_RDONLY, 0)) {
        struct stat info {};
        if (fd_ < 0 || ::fstat(fd_, &info) != 0) {
            return;
        }
        size_ = static_cast<std::size_t>(info.st_size);
        mode_ = info.st_mode & 0777;
        void* mapped = size_ >= kEngineSharedStatsSize ? ::mmap(nullptr, size_, PROT_READ, MAP_SHARED, fd_, 0)
                                                       : MAP_FAILED;
        data_ = mapped != MAP_FAILED ? static_cast<const unsigned char*>(mapped) : nullptr;
    }
    ~BlockReader() {
        if (data_ != nullptr) {
            ::munmap(const_cast<unsigned char*>(data_), size_);
        }
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }
    BlockReader(const BlockReader&) = delete;
    BlockReader& operator=(const BlockReader&) = delete;
    bool exists() const { return fd_ >= 0; }
    std::size_t size() const { return size_; }
    unsigned mode() const { return mode_; }
    const unsigned char* bytes() const { return data_; }
    const EngineSharedStats& stats() const { return *reinterpret_cast<const EngineSharedStats*>(data_); }

private:
    int fd_;
    std::size_t size_ = 0;
    unsigned mode_ = 0;
    const unsigned char* data_ = nullptr;
};

inline bool block_exists(std::uint32_t client_id) {
    return BlockReader(client_id).exists();
}

} // namespace VelmoraRuntimeTest
