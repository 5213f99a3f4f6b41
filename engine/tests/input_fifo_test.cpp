// The input FIFO: its steering step, what it takes, overflow, and a capture clock drifting against
// the server's blocks.
#include <velmora/engine/input_fifo.h>

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <vector>

namespace {

constexpr std::uint32_t rate = 48000;
constexpr std::uint32_t frames = 128;

// Channel c of the block carries the stream's frame numbers plus c / 2.
std::vector<float> ramp_block(std::size_t channels, std::uint64_t first) {
    std::vector<float> block(channels * frames);
    for (std::size_t i = 0; i < block.size(); ++i) {
        block[i] = static_cast<float>(first + i % frames) + static_cast<float>(i / frames) * 0.5f;
    }
    return block;
}

TEST(InputFifo, TheReadStepIsSignedAndClamped) {
    const struct {
        double base;
        std::uint64_t available, target;
        double step;
    } rows[] = {
        {1.0, 640, 768, 0.9999416667}, // an emptier FIFO reads slower than real time
        {1.0, 256, 256, 1.0},
        {1.0, 0, 256, 1.0 - 0.00035},
        {1.0, 256 * 100, 256, 1.0045},
        {0.96, 0, 256, 0.9955},
        {1.0005, 256, 256, 1.0005},
        {0.95, 256, 256, 1.0}, // ratios at or beyond the limits are not trusted
        {1.05, 256, 256, 1.0},
        {std::nan(""), 256, 256, 1.0},
    };
    for (const auto& r : rows) {
        EXPECT_NEAR(input_fifo_read_step(r.base, r.available, r.target), r.step, 1e-10)
            << r.base << " " << r.available;
    }
}

TEST(InputFifo, TakesPlausibleRatiosOnlyAndDropsTheOldestFramesOnOverflow) {
    InputFifo fifo;
    fifo.configure(1, rate, 4096, 0, 0);
    EXPECT_EQ(fifo.capacity(), 4098u) << "room for one block and the interpolation margin";
    fifo.configure(2, rate, frames, 2, 12);
    for (const auto& [ratio, kept] : std::initializer_list<std::pair<double, double>>{
             {1.01, 1.01}, {0.95, 1.01}, {1.05, 1.01}, {0.99, 0.99}}) {
        EXPECT_TRUE(fifo.push(rate, frames, ramp_block(2, fifo.fill()).data(), ratio));
        EXPECT_DOUBLE_EQ(fifo.clock_ratio(), kept) << ratio;
    }
    for (std::uint64_t block = 4; block < 14; ++block) {
        ASSERT_TRUE(fifo.push(rate, frames, ramp_block(2, block * frames).data(), 1.0));
    }
    // 12 blocks at most: two were pushed out, the oldest stored frame is frame 256 of the stream.
    EXPECT_EQ(fifo.fill(), 1536u);
    std::vector<float> out(2 * frames);
    ASSERT_TRUE(fifo.read_block(rate, frames, out.data()));
    EXPECT_FLOAT_EQ(out[0], 256.0f);
    EXPECT_FLOAT_EQ(out[frames], 256.5f);
    EXPECT_EQ(fifo.queue_index(fifo.capacity() + 3), (fifo.head() + 3) % fifo.capacity());
}

// A capture clock `ppm` fast (positive) or slow against the server's blocks, a ramp as the
// captured signal, one read per server block. The output must be the ramp resampled: consecutive
// outputs differ by the read step, never by ~0 or ~2 samples (a repeated or lost sample). Outputs
// lie below 2^21, where a float resolves 1/8 of a sample.
TEST(InputFifoDrift, FiveHundredPpmEitherWayHoldsTheTargetWithoutLosingSamples) {
    for (const bool ratio_known : {true, false}) {
        for (const double ppm : {500.0, -500.0}) {
            SCOPED_TRACE(std::to_string(ppm) +
                         (ratio_known ? " ppm, ratio known" : " ppm, no ratio estimate"));
            InputFifo fifo;
            fifo.configure(1, rate, frames, 2, 12);
            const double sync_period = static_cast<double>(frames) / rate;
            const double capture_period = sync_period / (1.0 + ppm * 1e-6);
            const double transient = ratio_known ? 20.0 : 25.0;
            std::uint64_t captured = 0, blocks_read = 0, discontinuities = 0;
            std::int64_t worst_error = 0; // fill against the target after the transient, in frames
            double previous = -1.0;
            double next_capture = 0.37 * sync_period;
            std::vector<float> out(frames);
            for (double next_sync = 0.0; next_sync < 38.0; next_sync += sync_period) {
                for (; next_capture <= next_sync; next_capture += capture_period, captured += frames) {
                    fifo.push(rate, frames, ramp_block(1, captured).data(),
                              ratio_known ? 1.0 + ppm * 1e-6 : 1.0);
                }
                const std::int64_t error = static_cast<std::int64_t>(fifo.fill()) - 256;
                if (!fifo.read_block(rate, frames, out.data())) {
                    continue;
                }
                ++blocks_read;
                if (next_sync > transient) {
                    worst_error = std::max<std::int64_t>(worst_error, std::llabs(error));
                }
                for (const float sample : out) {
                    const double step = sample - previous;
                    discontinuities += previous >= 0.0 && (step < 0.9955 - 0.13 || step > 1.0045 + 0.13);
                    previous = sample;
                }
            }
            EXPECT_GT(blocks_read, 14000u);
            EXPECT_EQ(discontinuities, 0u);
            if (!ratio_known) {
                // The proportional pull alone leaves a standing error of about 1.4 blocks at 500 ppm,
                // plus the block-sized sawtooth of the capture arriving in whole blocks.
                EXPECT_LE(worst_error, 4 * frames);
                continue;
            }
            EXPECT_LE(worst_error, frames) << "fill within one block of the target";
            // Every captured frame is either read or still waiting: the last output sits just
            // before the frames left in the FIFO.
            const double unread = static_cast<double>(captured) - previous;
            EXPECT_GE(unread, static_cast<double>(fifo.fill()) - 1.0);
            EXPECT_LE(unread, static_cast<double>(fifo.fill()) + 2.0);
        }
    }
}

} // namespace
