// Helpers shared by the runtime tests: client ids unique per process and call (so statistics
// blocks, sockets and lock files of parallel runs never meet), engine configuration files, a
// scripted server that streams syncs and output blocks like a running device, and a reader of the
// statistics block as the control app maps it.
#pragma once

#include "fake_velmora_server.h"

#include <velmora/engine/engine_shared_stats.h>
#include <velmora/engine/velmora_engine.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <fstream>
#include <functional>
#include <string>
#include <thread>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace VelmoraRuntimeTest {

inline std::uint32_t unique_client_id() {
    static std::atomic<std::uint32_t> counter{0};
    const auto pid = static_cast<std::uint32_t>(::getpid()) % 4000000u;
    return pid * 1000u + counter.fetch_add(1) % 500u + 1u;
}

// An engine configuration; the fields cover what the tests vary.
struct ConfigSpec {
    std::uint32_t client_id = 1;
    std::uint16_t server_port = 28010;
    bool loopback = true;
    std::string device_uid;
    std::string driver_inputs = "2, 3";
    std::string driver_outputs = "0, 1";
    std::string input_map = "0, 1";
    std::string output_map = "0, 1";
    std::uint32_t latency_blocks = 6;
    std::uint32_t discovery_timeout_ms = 500;
    std::string extra_test_lines;  // more [test] keys, one per line
};

inline ConfigSpec spec_for(std::uint32_t client_id, std::uint16_t server_port) {
    ConfigSpec spec;
    spec.client_id = client_id;
    spec.server_port = server_port;
    return spec;
}

// Writes the configuration to a fresh file under /tmp and removes it with the object.
class ConfigFile {
public:
    explicit ConfigFile(const ConfigSpec& spec) {
        static std::atomic<int> counter{0};
        path_ = "/tmp/velmora-runtime-test-" + std::to_string(::getpid()) + "-" + std::to_string(counter++) + ".ini";
        std::ofstream file(path_);
        file << "[network]\nserver_ip = 127.0.0.1\nserver_port = " << spec.server_port
             << "\nclient_id = " << spec.client_id << "\ndiscovery_timeout_ms = " << spec.discovery_timeout_ms
             << "\n[latency]\nclient_latency_blocks = " << spec.latency_blocks
             << "\n[velmora]\ndriver_inputs = " << spec.driver_inputs << "\ndriver_outputs = " << spec.driver_outputs
             << "\n[asio]\ndriver_name = " << spec.device_uid << "\ninput_map = " << spec.input_map
             << "\noutput_map = " << spec.output_map << "\n[test]\nloopback_device = " << (spec.loopback ? 1 : 0)
             << "\n"
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
class StreamingServer {
public:
    explicit StreamingServer(std::uint32_t client_id, velmora_test::FakeServerOptions options = {})
        : client_id_(client_id), server_(std::move(options)) {}
    ~StreamingServer() { stop_streaming(); }

    std::uint16_t port() const { return server_.port(); }
    velmora_test::FakeVelmoraServer& server() { return server_; }

    void start_streaming(std::uint16_t channels = 2, float value = 0.25f) {
        channels_ = channels;
        value_ = value;
        running_ = true;
        thread_ = std::thread([this] { run(); });
    }
    void stop_streaming() {
        running_ = false;
        if (thread_.joinable()) {
            thread_.join();
        }
    }
    void set_format(std::uint32_t rate, std::uint16_t frames) {
        frames_ = frames;
        rate_ = rate;
    }
    void pause(bool paused) { paused_ = paused; }
    std::uint32_t blocks_sent() const { return sequence_.load(); }

private:
    void run() {
        auto next = std::chrono::steady_clock::now();
        while (running_) {
            const std::uint32_t rate = rate_.load();
            const std::uint16_t frames = frames_.load();
            if (!paused_ && server_.has_client()) {
                const std::uint32_t sequence = sequence_++;
                server_.send_sync(client_id_, sequence, rate, frames);
                server_.send_block(client_id_, sequence, channels_, value_, rate, frames);
            }
            next += std::chrono::nanoseconds(static_cast<std::int64_t>(frames) * 1000000000ll / rate);
            const auto now = std::chrono::steady_clock::now();
            // Behind by more than 50 ms (a loaded machine): start again from now instead of bursting.
            if (now - next > std::chrono::milliseconds(50)) {
                next = now;
            }
            std::this_thread::sleep_until(next);
        }
    }

    std::uint32_t client_id_;
    velmora_test::FakeVelmoraServer server_;
    std::thread thread_;
    std::atomic<bool> running_{false};
    std::atomic<bool> paused_{false};
    std::atomic<std::uint32_t> rate_{48000};
    std::atomic<std::uint16_t> frames_{128};
    std::atomic<std::uint32_t> sequence_{1000};
    std::uint16_t channels_ = 2;
    float value_ = 0.25f;
};

// A read-only view of a statistics block, as the control app maps it.
class BlockReader {
public:
    explicit BlockReader(const std::string& name) {
        fd_ = ::shm_open(name.c_str(), O_RDONLY, 0);
        if (fd_ < 0) {
            return;
        }
        struct stat info {};
        if (::fstat(fd_, &info) == 0) {
            size_ = static_cast<std::size_t>(info.st_size);
            mode_ = info.st_mode & 0777;
        }
        if (size_ >= kEngineSharedStatsSize) {
            void* mapped = ::mmap(nullptr, size_, PROT_READ, MAP_SHARED, fd_, 0);
            if (mapped != MAP_FAILED) {
                data_ = static_cast<const unsigned char*>(mapped);
            }
        }
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
    int fd_ = -1;
    std::size_t size_ = 0;
    unsigned mode_ = 0;
    const unsigned char* data_ = nullptr;
};

inline bool block_exists(std::uint32_t client_id) {
    const int fd = ::shm_open(engine_shared_stats_name(client_id).c_str(), O_RDONLY, 0);
    if (fd >= 0) {
        ::close(fd);
    }
    return fd >= 0;
}

// Polls until `condition` holds; generous bounds for a small, shared machine.
inline bool eventually(const std::function<bool()>& condition,
                       std::chrono::milliseconds timeout = std::chrono::milliseconds(10000)) {
    return velmora_test::wait_for(condition, timeout);
}

} // namespace VelmoraRuntimeTest
