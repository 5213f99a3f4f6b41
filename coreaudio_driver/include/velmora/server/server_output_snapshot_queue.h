// Output blocks on their way from the device's IO thread (the single producer) to the network
// thread (the single consumer): a fixed ring of whole-block snapshots with free-running indices.
//
//   write_index  advanced only by the producer, after it has filled the slot (release)
//   read_index   advanced only by the consumer, after it has copied the slot out (release)
//   depth        write_index - read_index, 0..SlotCount; slot = index mod SlotCount
//
// The producer stops at SlotCount waiting, so it never touches a slot the consumer has not
// finished with. All slots are allocated by the constructor; nothing else allocates.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>

namespace VelmoraCore {

template <std::size_t ChannelCapacity, std::size_t FrameCapacity, std::size_t SlotCount>
class ServerOutputSnapshotQueue {
    static_assert(SlotCount > 0 && (SlotCount & (SlotCount - 1)) == 0,
                  "the slot count must divide 2^32 so free-running indices wrap cleanly");
    static_assert(FrameCapacity <= 65535 && ChannelCapacity <= 65535);

public:
    static constexpr std::size_t channel_capacity = ChannelCapacity;
    static constexpr std::size_t frame_capacity = FrameCapacity;
    static constexpr std::size_t slot_count = SlotCount;

    struct Snapshot {
        std::uint32_t sequence = 0;
        std::uint32_t sample_rate = 0;
        std::uint16_t frames = 0;
        std::uint16_t channels = 0;
        std::uint64_t sample_position = 0;
        std::uint64_t host_time_ns = 0;
        std::uint64_t enqueue_host_time_ns = 0;
        // Device channel of each row of `samples`; -1 in a slot never written.
        std::array<std::int64_t, ChannelCapacity> channel_map{};
        // Planar, run length `frames`; only frames x channels samples are meaningful.
        std::array<float, ChannelCapacity * FrameCapacity> samples{};

        Snapshot() { channel_map.fill(-1); }

        // Copies the header, the map and the meaningful samples (not the unused tail).
        void copy_from(const Snapshot& other) {
            sequence = other.sequence;
            sample_rate = other.sample_rate;
            frames = other.frames;
            channels = other.channels;
            sample_position = other.sample_position;
            host_time_ns = other.host_time_ns;
            enqueue_host_time_ns = other.enqueue_host_time_ns;
            channel_map = other.channel_map;
            std::size_t count = static_cast<std::size_t>(other.frames) * other.channels;
            if (count > samples.size()) {
                count = samples.size();
            }
            std::memcpy(samples.data(), other.samples.data(), count * sizeof(float));
        }
    };

    ServerOutputSnapshotQueue() : slots_(new Snapshot[SlotCount]) {}

    ServerOutputSnapshotQueue(const ServerOutputSnapshotQueue&) = delete;
    ServerOutputSnapshotQueue& operator=(const ServerOutputSnapshotQueue&) = delete;

    // Producer: the slot to fill next, or null when SlotCount snapshots are waiting.
    // Lock-free, allocation-free.
    Snapshot* writable_slot() {
        const std::uint32_t write = write_index_.load(std::memory_order_relaxed);
        // Acquire pairs with the consumer's release of read_index: its copy out of the slot we
        // are about to reuse has finished.
        const std::uint32_t read = read_index_.load(std::memory_order_acquire);
        if (write - read >= SlotCount) {
            return nullptr;
        }
        return &slots_[write % SlotCount];
    }

    // Producer: publishes the slot returned by `writable_slot`; returns the depth after.
    std::uint32_t commit_write() {
        const std::uint32_t write = write_index_.load(std::memory_order_relaxed) + 1;
        // Release: the slot's contents become visible before the new index does.
        write_index_.store(write, std::memory_order_release);
        return write - read_index_.load(std::memory_order_acquire);
    }

    // Consumer: copies the oldest waiting snapshot into `out` and frees its slot. False when
    // nothing waits. `depth_after` is the number still waiting. Lock-free, allocation-free.
    bool read(Snapshot& out, std::uint32_t& depth_after) {
        const std::uint32_t read = read_index_.load(std::memory_order_relaxed);
        // Acquire pairs with the producer's release: the slot is completely written.
        const std::uint32_t write = write_index_.load(std::memory_order_acquire);
        if (read == write) {
            depth_after = 0;
            return false;
        }
        out.copy_from(slots_[read % SlotCount]);
        // Release: our copy is done before the producer may refill the slot.
        read_index_.store(read + 1, std::memory_order_release);
        depth_after = write - (read + 1);
        return true;
    }

    // Either side; a moment's view.
    std::uint32_t depth() const {
        return write_index_.load(std::memory_order_acquire) - read_index_.load(std::memory_order_acquire);
    }

    // Empties the queue; slots keep their contents. Only while neither side runs.
    void reset() {
        write_index_.store(0, std::memory_order_release);
        read_index_.store(0, std::memory_order_release);
    }

    // Test hook: starts both indices at `index`, so wrap-around can be exercised. Only while
    // neither side runs.
    void reset_to(std::uint32_t index) {
        write_index_.store(index, std::memory_order_release);
        read_index_.store(index, std::memory_order_release);
    }

private:
    std::unique_ptr<Snapshot[]> slots_;
    std::atomic<std::uint32_t> write_index_{0};
    std::atomic<std::uint32_t> read_index_{0};
};

} // namespace VelmoraCore
