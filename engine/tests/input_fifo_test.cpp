#include <velmora/engine/input_fifo.h>

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <vector>

namespace {

constexpr std::uint32_t rate = 48000;
constexpr std::uint32_t frames = 128;

std::vector<float> ramp_block(std::size_t channels, std::uint64_t first) {
    std::vector<float> block(channels * frames);
    for (std::size_t c = 0; c < channels; ++c) {
        for (std::uint32_t f = 0; f < frames; ++f) {
            block[c * frames + f] = static_cast<float>(first + f) + static_cast<float>(c) * 0.5f;
        }
    }
    return block;
}

InputFifo default_fifo(std::size_t channels = 2) {
    InputFifo fifo;
    fifo.configure(channels, rate, frames, 2, 12);
    return fifo;
}

TEST(InputFifoStep, SteeringIsSignedAndClamped) {
    // 640 frames against a 768-frame target must read slower than real time.
    EXPECT_NEAR(input_fifo_read_step(1.0, 640, 768), 0.9999416667, 1e-9);
    EXPECT_NEAR(input_fifo_read_step(1.0, 256, 256), 1.0, 1e-12);
    EXPECT_NEAR(input_fifo_read_step(1.0, 0, 256), 1.0 - 0.00035, 1e-12);
    EXPECT_DOUBLE_EQ(input_fifo_read_step(1.0, 256 * 100, 256), 1.0045);
    EXPECT_DOUBLE_EQ(input_fifo_read_step(0.96, 0, 256), 0.9955);
    EXPECT_NEAR(input_fifo_read_step(1.0005, 256, 256), 1.0005, 1e-12);
    // Ratios at or beyond the limits are not trusted.
    EXPECT_NEAR(input_fifo_read_step(0.95, 256, 256), 1.0, 1e-12);
    EXPECT_NEAR(input_fifo_read_step(1.05, 256, 256), 1.0, 1e-12);
    EXPECT_NEAR(input_fifo_read_step(std::nan(""), 256, 256), 1.0, 1e-12);
}

TEST(InputFifoShape, SizesFollowTheFormat) {
    InputFifo fifo = default_fifo();
    EXPECT_EQ(std::vector<std::uint64_t>(
                  {fifo.target_frames(), fifo.max_frames(), fifo.capacity(), fifo.channel_count()}),
              std::vector<std::uint64_t>({256, 1536, 1536, 2}));
    // A tiny maximum still leaves room for one block and the interpolation margin.
    fifo.configure(1, rate, 4096, 0, 0);
    EXPECT_EQ(fifo.capacity(), 4098u);
    EXPECT_EQ(InputFifo().queue_index(5), 0u);
}

TEST(InputFifoPush, OnlyTheConfiguredFormatAndPlausibleRatiosAreTaken) {
    InputFifo fifo = default_fifo();
    const auto block = ramp_block(2, 0);
    EXPECT_FALSE(fifo.push(rate, 127, std::vector<float>(2 * 127, 1.0f).data(), 1.0));
    EXPECT_FALSE(fifo.push(44100, frames, block.data(), 1.0));
    EXPECT_EQ(fifo.fill(), 0u);
    EXPECT_TRUE(fifo.push(rate, frames, block.data(), 1.0));
    EXPECT_EQ(fifo.fill(), frames);
    // A clock ratio at or beyond the limits is ignored.
    for (const auto& [ratio, kept] : std::initializer_list<std::pair<double, double>>{
             {1.01, 1.01}, {0.95, 1.01}, {1.05, 1.01}, {0.99, 0.99}}) {
        fifo.push(rate, frames, block.data(), ratio);
        EXPECT_DOUBLE_EQ(fifo.clock_ratio(), kept) << ratio;
    }
}

TEST(InputFifoPush, OverflowDropsTheOldestFrames) {
    InputFifo fifo = default_fifo(1);
    for (std::uint64_t block = 0; block < 14; ++block) {
        ASSERT_TRUE(fifo.push(rate, frames, ramp_block(1, block * frames).data(), 1.0));
    }
    EXPECT_EQ(fifo.fill(), 1536u);
    // Two blocks were pushed out: the oldest stored frame is frame 256 of the stream.
    std::vector<float> out(frames);
    ASSERT_TRUE(fifo.read_block(rate, frames, out.data()));
    EXPECT_FLOAT_EQ(out[0], 256.0f);
    EXPECT_EQ(fifo.queue_index(0), fifo.head());
    EXPECT_EQ(fifo.queue_index(fifo.capacity() + 3), (fifo.head() + 3) % fifo.capacity());
}

TEST(InputFifoRead, ABlockNeedsABlockAndTwoFramesAndAtTargetIsTheCapturedAudio) {
    InputFifo fifo = default_fifo();
    fifo.push(rate, frames, ramp_block(2, 0).data(), 1.0);
    std::vector<float> out(2 * frames, -1.0f);
    EXPECT_FALSE(fifo.read_block(rate, frames, out.data()));
    EXPECT_EQ(fifo.fill(), frames);
    EXPECT_EQ(fifo.head(), 0u);
    fifo.push(rate, frames, ramp_block(2, frames).data(), 1.0);
    ASSERT_EQ(fifo.fill(), fifo.target_frames());
    EXPECT_FALSE(fifo.read_block(rate, 64, out.data())) << "another block size is not this FIFO's format";
    ASSERT_TRUE(fifo.read_block(rate, frames, out.data()));
    EXPECT_EQ(fifo.fill(), 256u - frames);
    EXPECT_DOUBLE_EQ(fifo.read_position(), 0.0);
    EXPECT_EQ(out, ramp_block(2, 0));
}

struct DriftResult {
    std::uint64_t blocks_read = 0;
    std::uint64_t worst_fill_error_after_transient = 0;
    double smallest_step = 10.0;
    double largest_step = 0.0;
    std::uint64_t discontinuities = 0;
    double last_output = -1.0;
    std::uint64_t captured_frames = 0;
    std::uint64_t final_fill = 0;
};

// A capture clock `ppm` fast (positive) or slow against the server's block clock, a ramp as the
// captured signal, one read per server block. The reader's output must be the ramp resampled:
// consecutive outputs differ by the read step (never by ~0 or ~2 samples).
DriftResult run_drift(double ppm, bool ratio_known, double seconds, double transient_seconds) {
    InputFifo fifo;
    fifo.configure(1, rate, frames, 2, 12);
    const double sync_period = static_cast<double>(frames) / rate;
    const double capture_period = sync_period / (1.0 + ppm * 1e-6);
    const double ratio = ratio_known ? 1.0 + ppm * 1e-6 : 1.0;
    double next_capture = 0.37 * sync_period;
    double next_sync = 0.0;
    DriftResult result;
    std::vector<float> out(frames);
    double previous = -1.0;
    // Outputs lie below 2^21, where a float resolves 1/8 of a sample; one rounding per output.
    const double tolerance = 0.13;
    while (next_sync < seconds) {
        if (next_capture <= next_sync) {
            fifo.push(rate, frames, ramp_block(1, result.captured_frames).data(), ratio);
            result.captured_frames += frames;
            next_capture += capture_period;
            continue;
        }
        const std::uint64_t available = fifo.fill();
        if (fifo.read_block(rate, frames, out.data())) {
            ++result.blocks_read;
            if (next_sync > transient_seconds) {
                const auto error =
                    static_cast<std::int64_t>(available) - static_cast<std::int64_t>(fifo.target_frames());
                result.worst_fill_error_after_transient = std::max<std::uint64_t>(
                    result.worst_fill_error_after_transient, static_cast<std::uint64_t>(std::llabs(error)));
            }
            for (const float sample : out) {
                if (previous >= 0.0) {
                    const double step = sample - previous;
                    result.smallest_step = std::min(result.smallest_step, step);
                    result.largest_step = std::max(result.largest_step, step);
                    if (step < 0.9955 - tolerance || step > 1.0045 + tolerance) {
                        ++result.discontinuities;
                    }
                }
                previous = sample;
            }
        }
        next_sync += sync_period;
    }
    result.last_output = previous;
    result.final_fill = fifo.fill();
    return result;
}

TEST(InputFifoDrift, FiveHundredPpmEitherWayHoldsTheTargetWithoutLosingSamples) {
    for (const bool ratio_known : {true, false}) {
        for (const double ppm : {500.0, -500.0}) {
            SCOPED_TRACE(std::to_string(ppm) +
                         (ratio_known ? " ppm, ratio known" : " ppm, no ratio estimate"));
            const DriftResult r = run_drift(ppm, ratio_known, 38.0, ratio_known ? 20.0 : 25.0);
            EXPECT_GT(r.blocks_read, 14000u);
            EXPECT_EQ(r.discontinuities, 0u) << "steps seen " << r.smallest_step << " .. " << r.largest_step;
            std::printf("ppm %+.0f%s: worst fill error after the transient %llu frames\n", ppm,
                        ratio_known ? "" : " (no ratio estimate)",
                        static_cast<unsigned long long>(r.worst_fill_error_after_transient));
            if (!ratio_known) {
                // The proportional pull alone leaves a standing error of about 1.4 blocks at 500 ppm,
                // plus the block-sized sawtooth of the capture arriving in whole blocks.
                EXPECT_LE(r.worst_fill_error_after_transient, 4 * frames);
                continue;
            }
            EXPECT_LE(r.worst_fill_error_after_transient, frames) << "fill within one block of the target";
            // Every captured frame is either read or still waiting: the last output sits just
            // before the frames left in the FIFO.
            const double unread = static_cast<double>(r.captured_frames) - r.last_output;
            EXPECT_GE(unread, static_cast<double>(r.final_fill) - 1.0);
            EXPECT_LE(unread, static_cast<double>(r.final_fill) + 2.0);
        }
    }
}

} // namespace
