#include <velmora/server/core_audio_hal_runtime.h>

#include <velmora/server/debug_shared_state.h>
#include <velmora/server/debug_shared_stats.h>

#include <algorithm>
#include <cstring>
#include <utility>

namespace VelmoraMac {

// One block of the input ring. The writer (network thread) makes `version` odd, writes, and makes
// it even again; the header and samples are atomics so that a reader racing the writer reads
// stale or mixed values, never undefined ones, and then rejects them by the version.
struct CoreAudioHalRuntime::InputBlock {
    std::atomic<std::uint64_t> version{0};
    std::atomic<std::uint32_t> sequence{0};
    std::atomic<std::uint32_t> sample_rate{0};
    std::atomic<std::uint16_t> frames{0};
    std::atomic<std::uint64_t> sample_position{0};
    std::atomic<std::uint64_t> host_time_ns{0};
    // Accessed only through std::atomic_ref while the threads run.
    float samples[kChannels * kMaxFrames];
};

namespace {

// The sequence lock without fences (which ThreadSanitizer cannot follow): the writer's stores are
// releases, so a reader that sees any of them also sees the odd version made before them; the
// reader's loads are acquires, so its final version check cannot move ahead of them. On x86_64
// these are plain moves; on arm64 stlr/ldar.
float read_shared(float& sample) { return std::atomic_ref<float>(sample).load(std::memory_order_acquire); }

void write_shared(float& sample, float value) {
    std::atomic_ref<float>(sample).store(value, std::memory_order_release);
}

} // namespace

CoreAudioHalRuntime::CoreAudioHalRuntime()
    : input_blocks_(new InputBlock[kInputRingBlocks]()),
      scratch_(new float[kChannels * kMaxFrames]()),
      last_block_(new float[kChannels * kMaxFrames]()) {}

CoreAudioHalRuntime::~CoreAudioHalRuntime() = default;

void CoreAudioHalRuntime::set_debug_state(CoreAudioDebugSharedState* debug_state) {
    debug_state_.store(debug_state, std::memory_order_release);
}

void CoreAudioHalRuntime::reset() { reset_to_sequence(0); }

void CoreAudioHalRuntime::reset_to_sequence(std::uint32_t sequence) {
    block_counter_.store(sequence, std::memory_order_release);
    sample_counter_.store(0, std::memory_order_release);
    output_queue_.reset_to(sequence);
    if (CoreAudioDebugSharedState* state = debug()) {
        state->set_last_queue_depth(0);
        state->set_last_sequence_delta(VelmoraDebug::kNoSequenceDelta);
    }
    // Nothing else runs during a reset, so the ring is cleared with plain writes.
    for (std::size_t i = 0; i < kInputRingBlocks; ++i) {
        InputBlock& block = input_blocks_[i];
        block.version.store(0, std::memory_order_relaxed);
        block.sequence.store(0, std::memory_order_relaxed);
        block.sample_rate.store(0, std::memory_order_relaxed);
        block.frames.store(0, std::memory_order_relaxed);
        block.sample_position.store(0, std::memory_order_relaxed);
        block.host_time_ns.store(0, std::memory_order_relaxed);
        std::memset(block.samples, 0, sizeof block.samples);
    }
    last_block_info_ = LastBlockInfo{};
}

void CoreAudioHalRuntime::restart_sample_position() { sample_counter_.store(0, std::memory_order_release); }

std::uint32_t CoreAudioHalRuntime::bounded_frame_count(std::uint32_t frames) {
    return std::min<std::uint32_t>(frames, static_cast<std::uint32_t>(kMaxFrames));
}

std::size_t CoreAudioHalRuntime::sample_count(std::uint32_t frames) {
    return static_cast<std::size_t>(frames) * kChannels;
}

std::size_t CoreAudioHalRuntime::byte_count(std::uint32_t frames) { return sample_count(frames) * sizeof(float); }

void CoreAudioHalRuntime::clear_samples(float* buffer, std::uint32_t frames) {
    if (buffer != nullptr) {
        std::memset(buffer, 0, byte_count(frames));
    }
}

CoreAudioHalBlockTimeline CoreAudioHalRuntime::next_timeline(std::uint32_t frames, std::uint32_t sample_rate,
                                                             std::uint64_t host_time_ns) {
    const std::uint32_t bounded = bounded_frame_count(frames);
    CoreAudioHalBlockTimeline timeline;
    timeline.sequence = block_counter_.fetch_add(1, std::memory_order_acq_rel);
    timeline.sample_rate = sample_rate;
    timeline.frames = bounded;
    timeline.sample_position = sample_counter_.fetch_add(bounded, std::memory_order_acq_rel);
    timeline.host_time_ns = host_time_ns;
    return timeline;
}

CoreAudioHalBlockTimeline CoreAudioHalRuntime::publish_output_block(const float* samples, std::uint32_t frames,
                                                                    std::uint32_t sample_rate,
                                                                    std::uint64_t host_time_ns) {
    if (frames == 0 || frames > kMaxFrames || sample_rate == 0) {
        return {};
    }
    const CoreAudioHalBlockTimeline timeline = next_timeline(frames, sample_rate, host_time_ns);
    CoreAudioDebugSharedState* state = debug();
    // The queue has one producer; a second publisher arriving meanwhile loses its block.
    if (output_publish_busy_.exchange(true, std::memory_order_acquire)) {
        if (state != nullptr) {
            state->increment_output_snapshot_drop_count();
        }
        return timeline;
    }
    if (Snapshot* slot = output_queue_.writable_slot()) {
        slot->sequence = timeline.sequence;
        slot->sample_rate = sample_rate;
        slot->frames = static_cast<std::uint16_t>(frames);
        slot->channels = static_cast<std::uint16_t>(kChannels);
        slot->sample_position = timeline.sample_position;
        slot->host_time_ns = host_time_ns;
        slot->enqueue_host_time_ns = host_time_ns;
        for (std::size_t channel = 0; channel < kChannels; ++channel) {
            slot->channel_map[channel] = static_cast<std::int64_t>(channel);
        }
        if (samples != nullptr) {
            std::memcpy(slot->samples.data(), samples, byte_count(frames));
        } else {
            std::memset(slot->samples.data(), 0, byte_count(frames));
        }
        const std::uint32_t depth = output_queue_.commit_write();
        if (state != nullptr) {
            state->set_last_queue_depth(static_cast<std::int32_t>(depth));
        }
    } else if (state != nullptr) {
        state->increment_output_snapshot_drop_count();
        state->set_last_queue_depth(static_cast<std::int32_t>(OutputQueue::slot_count));
    }
    if (state != nullptr) {
        state->set_last_output_sequence(timeline.sequence);
    }
    output_publish_busy_.store(false, std::memory_order_release);
    return timeline;
}

bool CoreAudioHalRuntime::copy_exact_block(std::uint32_t sequence, std::uint32_t frames, std::uint32_t sample_rate) {
    InputBlock& block = input_blocks_[sequence % kInputRingBlocks];
    // Acquire pairs with the writer's final release increment: an even version means the block
    // written before it is visible.
    const std::uint64_t before = block.version.load(std::memory_order_acquire);
    if ((before & 1U) != 0 || block.sequence.load(std::memory_order_acquire) != sequence ||
        block.sample_rate.load(std::memory_order_acquire) != sample_rate ||
        block.frames.load(std::memory_order_acquire) != frames) {
        return false;
    }
    const std::uint64_t sample_position = block.sample_position.load(std::memory_order_acquire);
    const std::uint64_t host_time_ns = block.host_time_ns.load(std::memory_order_acquire);
    const std::size_t count = sample_count(frames);
    float* scratch = scratch_.get();
    for (std::size_t i = 0; i < count; ++i) {
        scratch[i] = read_shared(block.samples[i]);
    }
    // If any value copied above came from a writer that has since entered the block, this load
    // sees that writer's odd increment (or a later value).
    if (block.version.load(std::memory_order_acquire) != before) {
        return false;
    }
    std::swap(scratch_, last_block_);
    last_block_info_ = LastBlockInfo{sequence, sample_rate, static_cast<std::uint16_t>(frames), sample_position,
                                     host_time_ns, true};
    return true;
}

CoreAudioHalBlockTimeline CoreAudioHalRuntime::read_prepared_input_block(float* destination, std::uint32_t frames,
                                                                         std::uint32_t sample_rate) {
    CoreAudioDebugSharedState* state = debug();
    if (state != nullptr) {
        state->increment_process_input_call_count();
    }
    CoreAudioHalBlockTimeline timeline;
    if (frames == 0 || frames > kMaxFrames || sample_rate == 0) {
        // Never more than the runtime's own block size: the caller's buffer need not be larger.
        clear_samples(destination, bounded_frame_count(frames));
        return timeline;
    }
    const std::uint32_t expected = block_counter_.load(std::memory_order_acquire);
    if (copy_exact_block(expected, frames, sample_rate)) {
        if (state != nullptr) {
            state->increment_exact_match_count();
        }
    } else if (last_block_info_.valid && last_block_info_.sample_rate == sample_rate &&
               last_block_info_.frames == frames) {
        // The last intact block stands in for one missing block, never more.
        last_block_info_.valid = false;
        if (state != nullptr) {
            state->increment_fallback_last_block_count();
        }
    } else {
        last_block_info_.valid = false;
        clear_samples(destination, frames);
        if (state != nullptr) {
            state->increment_zero_fill_count();
            state->set_last_sequence_delta(VelmoraDebug::kNoSequenceDelta);
        }
        return timeline;
    }
    if (destination != nullptr) {
        std::memcpy(destination, last_block_.get(), byte_count(frames));
    }
    timeline.sequence = last_block_info_.sequence;
    timeline.sample_rate = last_block_info_.sample_rate;
    timeline.frames = last_block_info_.frames;
    timeline.sample_position = last_block_info_.sample_position;
    timeline.host_time_ns = last_block_info_.host_time_ns;
    if (state != nullptr) {
        state->set_last_applied_sequence(timeline.sequence);
        state->set_last_sequence_delta(static_cast<std::int32_t>(timeline.sequence - expected));
    }
    return timeline;
}

bool CoreAudioHalRuntime::publish_client_input_block(const float* samples, const std::vector<std::int64_t>& channel_map,
                                                     const CoreAudioHalBlockTimeline& timeline) {
    if (timeline.frames == 0 || timeline.frames > kMaxFrames || timeline.sample_rate == 0 || samples == nullptr) {
        return false;
    }
    // Slot s mod 64 also serves s - 64 and s + 64. Writing only from the device's next sequence
    // up to 63 ahead keeps every write away from blocks the device has yet to read for another
    // sequence, whatever latency a client chose.
    const auto ahead =
        static_cast<std::int32_t>(timeline.sequence - block_counter_.load(std::memory_order_acquire));
    if (ahead < 0 || ahead >= static_cast<std::int32_t>(kInputRingBlocks)) {
        return false;
    }
    InputBlock& block = input_blocks_[timeline.sequence % kInputRingBlocks];
    const std::uint32_t frames = timeline.frames;
    block.version.fetch_add(1, std::memory_order_seq_cst);
    const std::size_t count = sample_count(frames);
    if (block.sequence.load(std::memory_order_relaxed) != timeline.sequence ||
        block.sample_rate.load(std::memory_order_relaxed) != timeline.sample_rate ||
        block.frames.load(std::memory_order_relaxed) != frames) {
        for (std::size_t i = 0; i < count; ++i) {
            write_shared(block.samples[i], 0.0F);
        }
        block.sequence.store(timeline.sequence, std::memory_order_release);
        block.sample_rate.store(timeline.sample_rate, std::memory_order_release);
        block.frames.store(static_cast<std::uint16_t>(frames), std::memory_order_release);
        block.sample_position.store(timeline.sample_position, std::memory_order_release);
        block.host_time_ns.store(timeline.host_time_ns, std::memory_order_release);
    }
    for (std::size_t row = 0; row < channel_map.size(); ++row) {
        const std::int64_t device_channel = channel_map[row];
        if (device_channel < 0 || device_channel >= static_cast<std::int64_t>(kChannels)) {
            continue;
        }
        const float* source = samples + row * frames;
        float* target = block.samples + static_cast<std::size_t>(device_channel) * frames;
        for (std::size_t frame = 0; frame < frames; ++frame) {
            write_shared(target[frame], read_shared(target[frame]) + source[frame]);
        }
    }
    // Everything above is visible to a reader that sees the even version.
    block.version.fetch_add(1, std::memory_order_seq_cst);
    return true;
}

void CoreAudioHalRuntime::publish_prepared_input_block(const float* samples, const CoreAudioHalBlockTimeline& timeline) {
    static const std::vector<std::int64_t> identity = [] {
        std::vector<std::int64_t> map(kChannels);
        for (std::size_t i = 0; i < kChannels; ++i) {
            map[i] = static_cast<std::int64_t>(i);
        }
        return map;
    }();
    publish_client_input_block(samples, identity, timeline);
}

bool CoreAudioHalRuntime::read_next_output_snapshot(Snapshot& snapshot) {
    std::uint32_t depth = 0;
    const bool taken = output_queue_.read(snapshot, depth);
    if (taken) {
        if (CoreAudioDebugSharedState* state = debug()) {
            state->set_last_queue_depth(static_cast<std::int32_t>(depth));
        }
    }
    return taken;
}

std::uint32_t CoreAudioHalRuntime::expected_input_sequence() const {
    return block_counter_.load(std::memory_order_acquire);
}

bool CoreAudioHalRuntime::atomics_are_lock_free() {
    return std::atomic<bool>::is_always_lock_free && std::atomic<std::uint16_t>::is_always_lock_free &&
           std::atomic<std::uint32_t>::is_always_lock_free && std::atomic<std::uint64_t>::is_always_lock_free &&
           std::atomic<CoreAudioDebugSharedState*>::is_always_lock_free &&
           std::atomic_ref<float>::is_always_lock_free && std::atomic_ref<std::int32_t>::is_always_lock_free &&
           std::atomic_ref<std::uint32_t>::is_always_lock_free && std::atomic_ref<std::uint64_t>::is_always_lock_free;
}

} // namespace VelmoraMac
