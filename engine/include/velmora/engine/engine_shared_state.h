// The writer of the engine's statistics block (layout in engine_shared_stats.h).
//
// Life: Closed -> initialize -> Mapped -> shutdown -> Closed. The block exists in the system only
// between a successful `initialize` and `shutdown`; readers that still have it mapped keep its
// last contents. Every setter and publisher does nothing while the block is closed.
//
// A block left behind by an engine that crashed is removed before a new one is created: the
// engine host's per-client instance lock means no live engine owns that name. The new object is
// created exclusively with mode 0600 and must belong to this user, so an object planted by
// someone else makes `initialize` fail instead of being written to or trusted.
//
// Threads: `initialize`, `shutdown`, `reset_stats`, `set_status`, `set_last_error` and
// `set_format` run on the runtime's worker thread; the network telemetry publisher on the network
// thread; the player telemetry publisher on the thread that publishes player telemetry. They write
// disjoint fields with atomic stores, so no lock is taken. `shutdown` must not run while a
// publisher may still be writing (the runtime stops the client and the player first).
#pragma once

#include <velmora/engine/asio_player.h>
#include <velmora/engine/engine_shared_stats.h>
#include <velmora/engine/velmora_client.h>

#include <atomic>
#include <cstdint>
#include <string>

#include <sys/types.h>

class EngineSharedState {
public:
    EngineSharedState() = default;
    ~EngineSharedState();
    EngineSharedState(const EngineSharedState&) = delete;
    EngineSharedState& operator=(const EngineSharedState&) = delete;

    // Worker thread; system calls. Creates, sizes, maps and initialises the block of `client_id`
    // (magic, version 6, client id, everything else 0). True when mapped, also when it already was.
    bool initialize(unsigned client_id);
    // Worker thread; system calls. Unmaps, closes and removes the block (only when the name still
    // refers to the object this writer created). Idempotent.
    void shutdown();

    // Worker thread. Zeroes everything but magic and version, then sets `client_id`.
    void reset_stats(unsigned client_id);
    void set_status(unsigned status);
    void set_last_error(unsigned error_code);
    void set_format(unsigned sample_rate, unsigned short block_frames);
    // Network thread(s): the network fields and the receive-to-append latency.
    void publish_net_stats(const VelmoraClient::Telemetry& telemetry);
    // The thread that publishes player telemetry: the player fields.
    void publish_asio_stats(const AsioPlayer::Telemetry& telemetry);

    // Any thread; lock-free.
    bool is_mapped() const { return mapping_.load(std::memory_order_acquire) != nullptr; }
    // Worker thread. The object name while one is kept, else empty.
    const std::string& name() const { return name_; }

    // Pure. Unsigned fields hold at most 2147483647; `clamp_size` is the same bound for 64-bit
    // counters, applied before they are narrowed.
    static unsigned clamp_u32(unsigned value);
    static unsigned long long clamp_u64(unsigned long long value);
    static unsigned long clamp_size(unsigned long value);
    // -2147483648..2147483647, truncated toward zero; NaN gives 0.
    static long clamp_double_to_long(double value);

private:
    EngineSharedStats* record() const { return mapping_.load(std::memory_order_acquire); }

    int fd_ = -1;
    std::atomic<EngineSharedStats*> mapping_{nullptr};
    std::string name_;
    // Identity of the object created by `initialize`, so `shutdown` never removes another one.
    dev_t device_ = 0;
    ino_t inode_ = 0;
};
