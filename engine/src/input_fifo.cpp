#include <velmora/engine/input_fifo.h>

#include <algorithm>
#include <cmath>

namespace {

constexpr double steering_gain = 0.00035;
constexpr double min_step = 0.9955;
constexpr double max_step = 1.0045;

bool is_plausible_clock_ratio(double ratio) {
    return ratio > 0.95 && ratio < 1.05;
}

// (base + offset) mod capacity for base < capacity and offset <= capacity, without a division.
std::uint64_t wrap(std::uint64_t base, std::uint64_t offset, std::uint64_t capacity) {
    const std::uint64_t index = base + offset;
    return index >= capacity ? index - capacity : index;
}

} // namespace

double input_fifo_read_step(double base_ratio, std::uint64_t available, std::uint64_t target) {
    const double base = is_plausible_clock_ratio(base_ratio) ? base_ratio : 1.0;
    if (target == 0) {
        return std::clamp(base, min_step, max_step);
    }
    // Signed: an emptier FIFO must give a step below the base.
    const double error = static_cast<double>(static_cast<std::int64_t>(available - target));
    return std::clamp(base + steering_gain * error / static_cast<double>(target), min_step, max_step);
}

void InputFifo::configure(std::size_t channels, std::uint32_t sample_rate, std::uint32_t frame_count,
                          std::size_t target_blocks, std::size_t max_blocks) {
    target_frames_ = static_cast<std::uint64_t>(target_blocks) * frame_count;
    max_frames_ = static_cast<std::uint64_t>(max_blocks) * frame_count;
    capacity_ = std::max<std::uint64_t>(static_cast<std::uint64_t>(frame_count) + 2, max_frames_);
    rings_.assign(channels, std::vector<float>(static_cast<std::size_t>(capacity_), 0.0f));
    head_ = 0;
    fill_ = 0;
    sample_rate_ = sample_rate;
    frame_count_ = frame_count;
    read_position_ = 0.0;
    clock_ratio_ = 1.0;
}

void InputFifo::clear() {
    rings_.clear();
    head_ = 0;
    fill_ = 0;
    capacity_ = 0;
    sample_rate_ = 0;
    frame_count_ = 0;
    read_position_ = 0.0;
    clock_ratio_ = 1.0;
    target_frames_ = 0;
    max_frames_ = 0;
}

bool InputFifo::accepts(std::uint32_t sample_rate, std::uint32_t frame_count) const {
    return !rings_.empty() && capacity_ != 0 && frame_count != 0 && sample_rate == sample_rate_ &&
           frame_count == frame_count_;
}

bool InputFifo::push(std::uint32_t sample_rate, std::uint32_t frame_count, const float* samples, double clock_ratio) {
    if (!accepts(sample_rate, frame_count) || samples == nullptr) {
        return false;
    }
    if (is_plausible_clock_ratio(clock_ratio)) {
        clock_ratio_ = clock_ratio;
    }
    const std::size_t channels = rings_.size();
    for (std::uint32_t frame = 0; frame < frame_count; ++frame) {
        const auto index = static_cast<std::size_t>(wrap(head_, fill_, capacity_));
        for (std::size_t c = 0; c < channels; ++c) {
            rings_[c][index] = samples[c * frame_count + frame];
        }
        if (fill_ < capacity_) {
            ++fill_;
        } else {
            head_ = wrap(head_, 1, capacity_);
        }
    }
    if (fill_ > max_frames_) {
        head_ = (head_ + (fill_ - max_frames_)) % capacity_;
        fill_ = max_frames_;
    }
    read_position_ = std::min(read_position_, static_cast<double>(fill_));
    return true;
}

bool InputFifo::read_block(std::uint32_t sample_rate, std::uint32_t frame_count, float* out) {
    if (!accepts(sample_rate, frame_count) || out == nullptr) {
        return false;
    }
    const std::uint64_t available = fill_;
    if (available < static_cast<std::uint64_t>(frame_count) + 2) {
        return false;
    }
    const double step = input_fifo_read_step(clock_ratio_, available, target_frames_);
    const std::size_t channels = rings_.size();
    for (std::uint32_t i = 0; i < frame_count; ++i) {
        const double position = read_position_ + static_cast<double>(i) * step;
        const double floor_position = std::floor(position);
        const auto k = static_cast<std::uint64_t>(floor_position);
        // Past the stored frames the last one is held.
        const std::uint64_t i0 = k < available ? k : available - 1;
        const std::uint64_t i1 = std::min(i0 + 1, available - 1);
        const auto index0 = static_cast<std::size_t>(wrap(head_, i0, capacity_));
        const auto index1 = static_cast<std::size_t>(wrap(head_, i1, capacity_));
        const double fraction = position - floor_position;
        for (std::size_t c = 0; c < channels; ++c) {
            // In double, rounded once: a loud or slowly varying signal keeps its precision.
            const double s0 = rings_[c][index0];
            const double s1 = rings_[c][index1];
            out[c * frame_count + i] = static_cast<float>(s0 + (s1 - s0) * fraction);
        }
    }
    const double end = read_position_ + static_cast<double>(frame_count) * step;
    const double whole = std::floor(end);
    if (whole > 0.0) {
        const std::uint64_t consumed = std::min(fill_, static_cast<std::uint64_t>(whole));
        head_ = (head_ + consumed) % capacity_;
        fill_ -= consumed;
        read_position_ = end - static_cast<double>(consumed);
    } else {
        read_position_ = end;
    }
    return true;
}

std::size_t InputFifo::queue_index(std::size_t offset) const {
    if (capacity_ == 0) {
        return 0;
    }
    return static_cast<std::size_t>((head_ + offset) % capacity_);
}
