// Where the device's real-time IO thread and the server's network thread meet.
//
// Output: the IO thread publishes each block the device plays into a queue of 8 snapshots that
// the network thread drains (ServerOutputSnapshotQueue, IO thread -> network thread).
// Input: the network thread sums each client's input block into a ring of 64 blocks indexed by
// sequence mod 64; the IO thread copies out the block whose sequence is the device's next one.
// Each ring block carries a version counter, odd while the writer is inside (a sequence lock):
// the reader keeps a copy only when the version was even and unchanged across it, and otherwise
// reuses the last intact block once, then gives silence. It never waits.
//
// `block_counter` numbers device blocks: it is the sequence of the next output block and also
// the input sequence the device reads next. The network thread only writes blocks from that
// sequence up to 63 ahead, so a slot never holds a block the device still needs for another.
//
// Samples are 32-bit float, planar (all frames of channel 0, then channel 1, ...), run length =
// the block's frame count, 32 channels, at most 4096 frames. Every buffer is allocated by the
// constructor; the IO thread's operations never lock, allocate, log or make a system call.
// Ring samples are copied through atomics (release stores, acquire loads) so the sequence lock is
// well defined and ThreadSanitizer-clean; on x86_64 these are ordinary loads and stores.
#pragma once

#include <velmora/server/server_limits.h>
#include <velmora/server/server_output_snapshot_queue.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace VelmoraMac {

class CoreAudioDebugSharedState;

struct CoreAudioHalBlockTimeline {
    std::uint32_t sequence = 0;
    std::uint32_t sample_rate = 0;
    std::uint32_t frames = 0;
    std::uint64_t sample_position = 0;
    std::uint64_t host_time_ns = 0;
};

class CoreAudioHalRuntime {
public:
    static constexpr std::size_t kChannels = VelmoraCore::kServerDeviceChannels;
    static constexpr std::size_t kMaxFrames = VelmoraCore::kServerMaxBlockFrames;
    static constexpr std::size_t kInputRingBlocks = VelmoraCore::kServerInputRingBlocks;
    using OutputQueue =
        VelmoraCore::ServerOutputSnapshotQueue<kChannels, kMaxFrames, VelmoraCore::kServerOutputSnapshotSlots>;
    using Snapshot = OutputQueue::Snapshot;

    // Allocates and zeroes every buffer (about 40 MB). Control thread.
    CoreAudioHalRuntime();
    ~CoreAudioHalRuntime();
    CoreAudioHalRuntime(const CoreAudioHalRuntime&) = delete;
    CoreAudioHalRuntime& operator=(const CoreAudioHalRuntime&) = delete;

    // Control thread, while neither the IO thread nor the network thread uses the runtime.
    void set_debug_state(CoreAudioDebugSharedState* debug_state);
    // Counters and queue to 0, every input block zeroed, the last block forgotten; the debug
    // record's queue depth to 0 and its sequence delta to "none". Snapshot slots keep their data.
    void reset();
    // The sample position starts again from 0; sequences keep counting.
    void restart_sample_position();

    static std::uint32_t bounded_frame_count(std::uint32_t frames);
    static std::size_t sample_count(std::uint32_t frames);
    static std::size_t byte_count(std::uint32_t frames);
    // Zeroes frames x 32 samples of a non-null buffer.
    static void clear_samples(float* buffer, std::uint32_t frames);

    // Takes the next sequence and advances the sample position by min(frames, 4096).
    // Any thread; lock-free.
    CoreAudioHalBlockTimeline next_timeline(std::uint32_t frames, std::uint32_t sample_rate, std::uint64_t host_time_ns);

    // IO thread; lock-free, allocation-free. Queues `frames` x 32 planar samples (silence for a
    // null buffer) as the next output block. 0 or more than 4096 frames, or rate 0: an all-zero
    // timeline and nothing consumed. A full queue (or a second publisher inside) drops the
    // block and counts it, but its sequence and position are consumed.
    CoreAudioHalBlockTimeline publish_output_block(const float* samples, std::uint32_t frames,
                                                   std::uint32_t sample_rate, std::uint64_t host_time_ns);

    // IO thread; lock-free, allocation-free. Fills `destination` (frames x 32 planar samples)
    // with the input block for the current sequence if it is intact and of this rate and size
    // (exact); else with the last intact block, once (fallback); else with silence (zero fill,
    // an all-zero timeline). Returns the timeline of the block used.
    CoreAudioHalBlockTimeline read_prepared_input_block(float* destination, std::uint32_t frames,
                                                        std::uint32_t sample_rate);

    // Network thread; allocation-free. Adds client channel i (samples i x frames ...) into device
    // channel channel_map[i] of the ring block for timeline.sequence; entries outside 0..31 are
    // skipped. A slot holding another block is cleared first. False, with nothing written, for
    // 0 or more than 4096 frames, rate 0, null samples, or a sequence outside the window the
    // ring can hold: behind the device's next input sequence, or 64 or more ahead of it.
    bool publish_client_input_block(const float* samples, const std::vector<std::int64_t>& channel_map,
                                    const CoreAudioHalBlockTimeline& timeline);
    // The same with the identity map 0..31.
    void publish_prepared_input_block(const float* samples, const CoreAudioHalBlockTimeline& timeline);

    // Network thread; allocation-free. Copies the oldest queued output block into `snapshot`.
    bool read_next_output_snapshot(Snapshot& snapshot);

    // Any thread: the sequence the next output block will carry, which is the input sequence
    // the device reads next.
    std::uint32_t expected_input_sequence() const;

    // True when every atomic used here is lock-free on this platform; without that the IO
    // thread could block, and the network server refuses to start.
    static bool atomics_are_lock_free();

    // Test hook: starts the block counter (and the output queue indices) at `sequence`, so that
    // wrap-around can be exercised. Control thread, while nothing else runs.
    void reset_to_sequence(std::uint32_t sequence);

private:
    struct InputBlock;
    struct LastBlockInfo {
        std::uint32_t sequence = 0;
        std::uint32_t sample_rate = 0;
        std::uint16_t frames = 0;
        std::uint64_t sample_position = 0;
        std::uint64_t host_time_ns = 0;
        bool valid = false;
    };

    CoreAudioDebugSharedState* debug() const { return debug_state_.load(std::memory_order_acquire); }
    bool copy_exact_block(std::uint32_t sequence, std::uint32_t frames, std::uint32_t sample_rate);

    OutputQueue output_queue_;
    std::atomic<CoreAudioDebugSharedState*> debug_state_{nullptr};
    std::unique_ptr<InputBlock[]> input_blocks_;
    // IO thread only. The reader copies into `scratch_`, and keeps it by swapping it with
    // `last_block_` once the copy is known to be intact.
    std::unique_ptr<float[]> scratch_;
    std::unique_ptr<float[]> last_block_;
    LastBlockInfo last_block_info_;
    std::atomic<std::uint32_t> block_counter_{0};
    std::atomic<std::uint64_t> sample_counter_{0};
    std::atomic<bool> output_publish_busy_{false};
};

} // namespace VelmoraMac
