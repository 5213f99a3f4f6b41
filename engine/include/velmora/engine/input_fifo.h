// The network client's input FIFO: captured audio waits here, one ring per sent channel, until a
// sync from the server asks for the block of a later sequence.
//
// The capture clock and the server's clock drift apart, so each block is read with a slight
// resampling. The read step is the player's estimate of the capture/server clock ratio plus a
// proportional pull toward the target fill:
//
//     step = base + 0.00035 x (available - target) / target,  clamped to 0.9955 .. 1.0045
//
// A fuller FIFO reads slightly faster than real time and an emptier one slightly slower. Samples
// are linearly interpolated at the fractional read position; the fraction is carried from one
// block to the next, so the output is one continuous resampling of the captured stream.
//
// Not thread-safe: the owner (the network client) guards it with its mutex. `configure` and
// `clear` allocate; `push` and `read_block` never do.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

// The read step for a FIFO holding `available` frames against a `target` (both in frames): a
// pure function, so the steering can be tested on its own. `base_ratio` outside 0.95 .. 1.05
// (exclusive) counts as 1.0.
double input_fifo_read_step(double base_ratio, std::uint64_t available, std::uint64_t target);

class InputFifo {
public:
    // Allocates `channels` rings for blocks of `frame_count` frames at `sample_rate`, with a fill
    // target and a maximum of the given numbers of blocks; starts empty.
    void configure(std::size_t channels, std::uint32_t sample_rate, std::uint32_t frame_count,
                   std::size_t target_blocks, std::size_t max_blocks);
    // Drops the rings and forgets the format.
    void clear();

    // Whether blocks of this format are stored (configured for it, with at least one ring).
    bool accepts(std::uint32_t sample_rate, std::uint32_t frame_count) const;

    // Appends one planar block (`channel_count()` x `frame_count` samples). A valid
    // `clock_ratio` (strictly between 0.95 and 1.05) becomes the base of later reads. When the
    // fill passes the maximum the oldest frames are dropped. False when the format does not match.
    bool push(std::uint32_t sample_rate, std::uint32_t frame_count, const float* samples, double clock_ratio);

    // Reads one planar block of `frame_count` frames into `out` (`channel_count()` x
    // `frame_count` floats) and consumes the frames it passed. False, with nothing consumed,
    // when the format does not match or fewer than frame_count + 2 frames are stored.
    bool read_block(std::uint32_t sample_rate, std::uint32_t frame_count, float* out);

    // Ring index of the frame `offset` after the oldest one; 0 when there are no rings.
    std::size_t queue_index(std::size_t offset) const;

    std::size_t channel_count() const { return rings_.size(); }
    std::uint64_t head() const { return head_; }
    std::uint64_t fill() const { return fill_; }
    std::uint64_t capacity() const { return capacity_; }
    std::uint64_t target_frames() const { return target_frames_; }
    std::uint64_t max_frames() const { return max_frames_; }
    double read_position() const { return read_position_; }
    double clock_ratio() const { return clock_ratio_; }

private:
    std::vector<std::vector<float>> rings_;
    std::uint64_t head_ = 0;
    std::uint64_t fill_ = 0;
    std::uint64_t capacity_ = 0;
    std::uint32_t sample_rate_ = 0;
    std::uint32_t frame_count_ = 0;
    double read_position_ = 0.0;
    double clock_ratio_ = 1.0;
    std::uint64_t target_frames_ = 0;
    std::uint64_t max_frames_ = 0;
};
