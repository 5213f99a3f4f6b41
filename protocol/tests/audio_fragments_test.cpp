#include <velmora/protocol/audio_fragments.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <map>
#include <random>
#include <set>
#include <tuple>
#include <vector>

using namespace VelmoraProtocol;

namespace {

// A planar block whose every sample is a bit pattern derived from the sequence and position, NaNs
// included, so that only a bit-exact copy compares equal.
std::vector<float> make_block(std::uint32_t sequence, std::size_t frames, std::size_t channels) {
    std::vector<float> block(frames * channels);
    for (std::size_t i = 0; i < block.size(); ++i) {
        std::uint32_t bits = static_cast<std::uint32_t>(i) * 2654435761u ^ (sequence * 40503u + 0x9E3779B9u);
        bits ^= bits >> 15;
        std::memcpy(&block[i], &bits, sizeof bits);
    }
    return block;
}

bool same_bits(const std::vector<float>& a, const std::vector<float>& b) {
    return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(float)) == 0;
}

struct ParsedFragment {
    AudioFragmentPacket packet;
    const float* samples = nullptr;
    std::size_t count = 0;
};

ParsedFragment parse(const PacketBytes& datagram) {
    ParsedFragment parsed;
    EXPECT_EQ(parse_audio_fragment_packet(datagram.data(), static_cast<int>(datagram.size()), parsed.packet,
                                          parsed.samples, parsed.count),
              PacketParseResult::ok);
    return parsed;
}

std::vector<PacketBytes> cut(std::uint32_t sequence, std::uint16_t frames, std::size_t channels,
                             std::size_t limit) {
    std::vector<PacketBytes> datagrams;
    EXPECT_TRUE(build_audio_fragment_packets(9, sequence, 48000, frames, channels,
                                             make_block(sequence, frames, channels), datagrams, limit));
    return datagrams;
}

AudioFragmentAssemblyResult offer(std::vector<AudioFragmentAssemblySlot>& slots, const PacketBytes& datagram,
                                  std::size_t channels, bool move = false, std::size_t slot_count = 8) {
    const ParsedFragment fragment = parse(datagram);
    AudioFragmentAssemblyResult result;
    EXPECT_TRUE(assemble_audio_fragment(slots, fragment.packet, fragment.samples, fragment.count, channels,
                                        65535, slot_count, move, result));
    return result;
}

} // namespace

TEST(AudioFragmentPlan, CutsByLimitAndShape) {
    struct Case {
        std::uint16_t frames;
        std::size_t channels;
        std::size_t limit;
        bool ok;
        std::uint64_t max_samples;
        std::uint16_t fragments;
        std::uint16_t channels_per_fragment;
        std::uint16_t frames_per_fragment;
        bool whole_channels;
    };
    const Case cases[] = {
        {128, 2, 1200, true, 288, 1, 2, 128, true},
        {128, 2, 560, true, 128, 2, 1, 128, true},
        {512, 8, 1200, true, 288, 16, 1, 288, false},
        {128, 32, 1200, true, 288, 16, 2, 128, true},
        {128, 1, 1200, true, 288, 1, 2, 128, true}, // rows per fragment may exceed the channels
        {1, 1, 52, true, 1, 1, 1, 1, true},
        {2, 1, 52, true, 1, 2, 1, 1, false},
        {4096, 64, 65507, true, 16364, 22, 3, 4096, true},
        {1, 65535, 52, true, 1, 65535, 1, 1, true},
        {65535, 1, 65507, true, 16364, 5, 1, 16364, false},
        {65535, 2, 52, false, 0, 0, 0, 0, false}, // 131070 fragments
        {128, 2, 51, false, 0, 0, 0, 0, false},
        {128, 2, 65508, false, 0, 0, 0, 0, false},
        {0, 2, 1200, false, 0, 0, 0, 0, false},
        {128, 0, 1200, false, 0, 0, 0, 0, false},
        {1, 65536, 65507, false, 0, 0, 0, 0, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message()
                     << c.frames << " frames x " << c.channels << " channels at " << c.limit);
        AudioFragmentPlan plan;
        plan.fragment_count = 77;
        ASSERT_EQ(build_audio_fragment_plan(c.frames, c.channels, c.limit, plan), c.ok);
        // A refused shape leaves an empty plan.
        EXPECT_EQ(std::tuple(std::size_t{plan.frame_count}, std::size_t{plan.channel_count},
                             std::uint64_t{plan.max_samples_per_fragment}, plan.fragment_count,
                             plan.channels_per_fragment, plan.frames_per_fragment, plan.whole_channels),
                  std::tuple(c.ok ? c.frames : std::size_t{0}, c.ok ? c.channels : 0, c.max_samples, c.fragments,
                             c.channels_per_fragment, c.frames_per_fragment, c.whole_channels));
    }
}

TEST(AudioFragmentDescriptor, InconsistentPlansFail) {
    AudioFragmentPlan good;
    ASSERT_TRUE(build_audio_fragment_plan(128, 3, 1200, good));
    AudioFragmentDescriptor d;
    // More fragments than the rows fill: the offset must not wrap into range.
    AudioFragmentPlan plan = good;
    plan.fragment_count = 40000;
    plan.channels_per_fragment = 2;
    EXPECT_FALSE(get_audio_fragment_descriptor(plan, 32768, d));
    EXPECT_FALSE(get_audio_fragment_descriptor(plan, 2, d));
}

TEST(AudioFragmentBuild, WholeBlockGivesTheBytesOfSingleFragmentsInReusedStorage) {
    struct Shape {
        std::uint16_t frames;
        std::size_t channels;
        std::size_t limit;
    };
    for (const Shape shape :
         {Shape{128, 32, 1200}, Shape{512, 3, 1200}, Shape{7, 5, 60}, Shape{4096, 2, 65507}}) {
        const std::vector<float> block = make_block(3, shape.frames, shape.channels);
        std::vector<PacketBytes> datagrams;
        ASSERT_TRUE(build_audio_fragment_packets(9, 3, 44100, shape.frames, shape.channels, block, datagrams,
                                                 shape.limit));
        AudioFragmentPlan plan;
        ASSERT_TRUE(build_audio_fragment_plan(shape.frames, shape.channels, shape.limit, plan));
        ASSERT_EQ(datagrams.size(), plan.fragment_count);
        for (std::uint16_t index = 0; index < plan.fragment_count; ++index) {
            AudioFragmentDescriptor d;
            ASSERT_TRUE(get_audio_fragment_descriptor(plan, index, d));
            const float* first = block.data() + std::size_t{d.channel_offset} * shape.frames + d.frame_offset;
            PacketBytes single;
            ASSERT_TRUE(build_audio_fragment_packet(
                9, 3, 44100, shape.frames, plan.channel_count, d.channel_offset, d.fragment_channel_count,
                d.frame_offset, d.fragment_frame_count, index, plan.fragment_count, 0, first, d.sample_count,
                single, shape.limit));
            EXPECT_EQ(datagrams[index], single) << shape.frames << "x" << shape.channels << " #" << index;
        }
        // The next block goes into the same datagrams' storage.
        std::vector<const char*> storage;
        for (const PacketBytes& datagram : datagrams) {
            storage.push_back(datagram.data());
        }
        ASSERT_TRUE(build_audio_fragment_packets(9, 4, 44100, shape.frames, shape.channels,
                                                 make_block(4, shape.frames, shape.channels), datagrams,
                                                 shape.limit));
        ASSERT_EQ(datagrams.size(), storage.size());
        for (std::size_t i = 0; i < datagrams.size(); ++i) {
            EXPECT_EQ(datagrams[i].data(), storage[i]) << i;
            EXPECT_EQ(parse(datagrams[i]).packet.sequence, 4u);
        }
    }
}

TEST(AudioFragmentBuild, RefusesBadBlocksAndEmptiesTheOutput) {
    const std::vector<float> block = make_block(1, 128, 2);
    std::vector<PacketBytes> datagrams(3, PacketBytes(10));
    EXPECT_FALSE(build_audio_fragment_packets(0, 1, 48000, 128, 2, block, datagrams, 1200));
    EXPECT_TRUE(datagrams.empty());
    datagrams.resize(2);
    EXPECT_FALSE(build_audio_fragment_packets(9, 1, 48000, 128, 3, block, datagrams, 1200));
    EXPECT_TRUE(datagrams.empty());
    // A channel count so large that frames x channels wraps to the block's size.
    EXPECT_FALSE(build_audio_fragment_packets(9, 1, 48000, 2, std::size_t{1} << 63, {}, datagrams, 1200));
    // One fragment needs exactly its samples; a null pointer fails instead of being read.
    PacketBytes out;
    EXPECT_FALSE(
        build_audio_fragment_packet(5, 1, 44100, 4, 3, 1, 2, 1, 2, 1, 3, 0, {1.0f, 2.0f, 3.0f}, out, 1200));
    EXPECT_TRUE(out.empty());
    EXPECT_FALSE(build_audio_fragment_packet(5, 1, 44100, 4, 3, 1, 2, 1, 2, 1, 3, 0, nullptr, 4, out, 1200));
}

TEST(AudioFragmentBuild, PrepareChecksTheRectangleAndTheLimit) {
    struct Case {
        const char* what;
        std::uint32_t client;
        std::uint16_t frames, channels, channel_offset, rows, frame_offset, row_frames, index, count;
        std::size_t limit;
        bool ok;
    };
    const Case cases[] = {
        {"client 0", 0, 4, 3, 1, 2, 1, 3, 2, 3, 100, false},
        {"rows past the block", 1, 4, 3, 2, 2, 0, 1, 0, 1, 100, false},
        {"frames past the block", 1, 4, 3, 0, 1, 2, 3, 0, 1, 100, false},
        {"index == count", 1, 4, 3, 0, 1, 0, 1, 1, 1, 100, false},
        {"above the limit", 1, 4, 3, 1, 2, 1, 3, 2, 3, 71, false},
        {"exactly the limit", 1, 4, 3, 1, 2, 1, 3, 2, 3, 72, true},
        {"16-bit sums do not wrap", 1, 65535, 65535, 65535 - 1, 0xFFFF, 0, 1, 0, 1, 65507, false},
    };
    for (const Case& c : cases) {
        PacketBytes out(7, 'x');
        float* payload = reinterpret_cast<float*>(&out);
        std::size_t count = 99;
        EXPECT_EQ(prepare_audio_fragment_packet(c.client, 5, 48000, c.frames, c.channels, c.channel_offset,
                                                c.rows, c.frame_offset, c.row_frames, c.index, c.count, 7,
                                                out, payload, count, c.limit),
                  c.ok)
            << c.what;
        // Accepted: sized for the rectangle, the payload right after the fixed part; refused: emptied.
        const std::size_t samples = c.ok ? std::size_t{c.rows} * c.row_frames : 0;
        EXPECT_EQ(std::tuple(out.size(), reinterpret_cast<char*>(payload), count),
                  std::tuple(c.ok ? 48 + 4 * samples : 0, c.ok ? out.data() + 48 : nullptr, samples))
            << c.what;
    }
}

TEST(AudioFragmentAssembly, ForeignChannelCountIsIgnoredAndSlotCountZeroFails) {
    const std::vector<PacketBytes> datagrams = cut(3, 128, 2, 1200);
    const ParsedFragment fragment = parse(datagrams[0]);
    std::vector<AudioFragmentAssemblySlot> slots;
    AudioFragmentAssemblyResult result;
    result.accepted = true;
    EXPECT_TRUE(assemble_audio_fragment(slots, fragment.packet, fragment.samples, fragment.count, 3, 65535, 8,
                                        false, result));
    EXPECT_FALSE(result.accepted || result.completed || result.dropped);
    EXPECT_TRUE(slots.empty());
    // Frames above the caller's limit, a null pointer, a wrong count: ignored the same way.
    const float* none = nullptr;
    for (const auto& [samples, count, max_frames] :
         {std::tuple{fragment.samples, fragment.count, 127}, std::tuple{none, fragment.count, 65535},
          std::tuple{fragment.samples, fragment.count - 1, 65535}}) {
        EXPECT_TRUE(
            assemble_audio_fragment(slots, fragment.packet, samples, count, 2, max_frames, 8, false, result));
        EXPECT_FALSE(result.accepted);
    }

    EXPECT_FALSE(assemble_audio_fragment(slots, fragment.packet, fragment.samples, fragment.count, 2, 65535,
                                         0, false, result));
    EXPECT_TRUE(assemble_audio_fragment(slots, fragment.packet, fragment.samples, fragment.count, 2, 65535, 3,
                                        false, result));
    EXPECT_TRUE(result.completed);
    EXPECT_EQ(slots.size(), 3u);
}

TEST(AudioFragmentAssembly, FormatChangeWithinASequenceRestartsTheSlotSilently) {
    const std::vector<PacketBytes> at_512 = cut(5, 512, 2, 1200);
    const std::vector<PacketBytes> at_256 = cut(5, 256, 2, 1200);
    std::vector<AudioFragmentAssemblySlot> slots;
    EXPECT_TRUE(offer(slots, at_512[0], 2).accepted);
    const AudioFragmentAssemblyResult result = offer(slots, at_256[1], 2);
    EXPECT_TRUE(result.accepted);
    EXPECT_FALSE(result.dropped);
    EXPECT_EQ(slots[5].frame_count, 256);
    EXPECT_EQ(slots[5].received_count, 1);
    // The restarted slot holds no samples of the abandoned format: row 0 is zero until it arrives.
    EXPECT_TRUE(std::all_of(slots[5].samples.begin(), slots[5].samples.begin() + 256,
                            [](float v) { return v == 0.0f; }));
    EXPECT_TRUE(offer(slots, at_256[0], 2).completed);
}

TEST(AudioFragmentAssembly, MovingHandsOverStorageAndCopyingKeepsIt) {
    std::vector<AudioFragmentAssemblySlot> slots;
    AudioFragmentAssemblyResult result;
    // Blocks of 128 x 2 fit one datagram: each offer completes its block.
    const auto complete = [&](std::uint32_t sequence, bool move) {
        const std::vector<PacketBytes> datagrams = cut(sequence, 128, 2, 1200);
        const ParsedFragment f = parse(datagrams[0]);
        return assemble_audio_fragment(slots, f.packet, f.samples, f.count, 2, 65535, 8, move, result) &&
               result.completed && same_bits(result.block.samples, make_block(sequence, 128, 2));
    };
    ASSERT_TRUE(complete(2, true));
    const float* first_storage = result.block.samples.data();
    EXPECT_EQ(slots[2].samples.capacity(), 0u) << "the slot took the empty result's storage";
    // Moving again: the slot's new storage goes out, the previous result's storage comes back.
    ASSERT_TRUE(complete(3, true));
    EXPECT_EQ(slots[3].samples.data(), first_storage);
    EXPECT_GE(slots[3].samples.capacity(), 256u);
    const float* second_storage = result.block.samples.data();
    // Copying keeps the result's storage and leaves the slot its own.
    ASSERT_TRUE(complete(1, false));
    EXPECT_EQ(result.block.samples.data(), second_storage);
    EXPECT_GE(slots[1].samples.capacity(), 256u);
}

TEST(AudioFragmentSlotDecision, FollowsTheSequenceDistance) {
    AudioFragmentAssemblySlot slot;
    slot.active = true;
    slot.sequence = 4294967290u;
    struct Case {
        std::uint32_t sequence;
        std::size_t slot_count;
        bool accept, drop, reset;
    };
    // Slot count 0, and half the sequence space away: the edges the randomized test cannot reach.
    const Case cases[] = {
        {4294967290u, 0, false, false, false},
        {4294967289u, 8, false, true, false},
        {2, 8, true, true, true},
        {2147483642u, 8, false, true, false},
    };
    for (const Case& c : cases) {
        const AudioFragmentSlotDecision d =
            decide_audio_fragment_assembly_slot(slot, c.sequence, c.slot_count);
        EXPECT_EQ(d.accept, c.accept) << c.sequence;
        EXPECT_EQ(d.drop, c.drop) << c.sequence;
        EXPECT_EQ(d.reset, c.reset) << c.sequence;
    }
}

TEST(SequenceDecisions, EngineOutputReceiveReportsGapsAndStaleBlocks) {
    // Each step from the state the previous one left (or a fresh one): a gap, a stale block, the wrap.
    const struct {
        bool fresh;
        std::uint32_t sequence;
        bool accept, stale;
        std::uint32_t missing_first, missing_count;
    } steps[] = {{true, 10, true, false, 0, 0},          {false, 13, true, false, 11, 2},
                 {false, 12, false, true, 0, 0},         {true, 4294967295u, true, false, 0, 0},
                 {false, 0, true, false, 0, 0},          {false, 3, true, false, 1, 2}};
    EngineOutputReceiveState state;
    for (const auto& s : steps) {
        state = s.fresh ? EngineOutputReceiveState{} : state;
        const EngineOutputReceiveDecision d = decide_engine_output_receive(state, s.sequence);
        EXPECT_EQ(std::tuple(d.accept, d.stale, d.missing_first_sequence, d.missing_count),
                  std::tuple(s.accept, s.stale, s.missing_first, s.missing_count))
            << s.sequence;
        EXPECT_EQ(state.last_sequence, s.stale ? 13u : s.sequence);
    }
}

// Many block shapes, cut and delivered out of order with loss and repeats, across many sequences
// and across the 2^32 wrap. An oracle that tracks per slot only which fragment indices of which
// sequence it holds predicts the flags of every single offer; every completed block must be
// bit-identical to the block that was cut. With 3 slots (seed 8), 2^32 - 1 and 0 share a slot: a
// slot count that does not divide 2^32 must hold at the wrap too.
namespace {

struct OracleSlot {
    bool active = false;
    std::uint32_t sequence = 0;
    std::set<std::uint16_t> received;
};

struct Delivery {
    std::uint32_t sequence;
    std::uint16_t index;
};

} // namespace

TEST(AudioFragmentAssembly, RandomizedLossReorderAndRepeatAcrossTheWrap) {
    std::size_t shapes_run = 0, completed_total = 0, dropped_total = 0, completed_after_wrap = 0;
    for (const std::uint32_t seed : {1u, 2u, 3u, 4u, 5u, 6u, 7u, 8u}) {
        std::mt19937 rng(seed);
        const std::size_t kSlots = seed == 8 ? 3 : 8;
        for (int shape = 0; shape < 6; ++shape) {
            const std::size_t channels = std::uniform_int_distribution<std::size_t>(1, 64)(rng);
            // Log-uniform frames and limits, so small and large shapes both appear.
            // At the 52-byte limit every sample is a datagram: rows stay short there to bound the work.
            const double frame_octaves = shape == 0 ? 6.0 : 12.0;
            const auto frames = static_cast<std::uint16_t>(std::clamp(
                std::exp2(std::uniform_real_distribution<double>(0.0, frame_octaves)(rng)), 1.0, 4096.0));
            const std::size_t limit =
                shape == 0   ? 52
                : shape == 1 ? 65507
                             : static_cast<std::size_t>(std::exp2(std::uniform_real_distribution<double>(
                                   std::log2(52.0), std::log2(65507.0))(rng)));
            SCOPED_TRACE(testing::Message() << "seed " << seed << ": " << frames << " frames x " << channels
                                            << " channels at " << limit);
            AudioFragmentPlan plan;
            const bool plannable = build_audio_fragment_plan(frames, channels, limit, plan);
            std::vector<PacketBytes> probe;
            if (!plannable) {
                EXPECT_FALSE(build_audio_fragment_packets(9, 0, 48000, frames, channels,
                                                          make_block(0, frames, channels), probe, limit));
                continue;
            }
            ++shapes_run;
            // Enough sequences to cycle the slots several times, within a fixed budget of work.
            const std::size_t block_samples = std::size_t{frames} * channels;
            const std::size_t sequences = std::clamp<std::size_t>(
                std::min(60000 / block_samples, 5000 / std::size_t{plan.fragment_count}), 3, 40);
            // Even seeds put the 2^32 wrap in the middle of the run.
            const bool wraps = seed % 2 == 0;
            const std::uint32_t first = wraps ? 0u - static_cast<std::uint32_t>(sequences / 2 + 1)
                                              : static_cast<std::uint32_t>(rng());

            std::map<std::uint32_t, std::vector<PacketBytes>> sent;
            std::vector<Delivery> deliveries;
            for (std::size_t n = 0; n < sequences; ++n) {
                const std::uint32_t sequence = first + static_cast<std::uint32_t>(n);
                ASSERT_TRUE(build_audio_fragment_packets(9, sequence, 48000, frames, channels,
                                                         make_block(sequence, frames, channels),
                                                         sent[sequence], limit));
                ASSERT_EQ(sent[sequence].size(), plan.fragment_count);
                std::vector<Delivery> block_deliveries;
                for (std::uint16_t index = 0; index < plan.fragment_count; ++index) {
                    const int fate = std::uniform_int_distribution<int>(0, 99)(rng);
                    if (fate < 4) {
                        continue; // lost
                    }
                    block_deliveries.push_back({sequence, index});
                    if (fate >= 94) {
                        block_deliveries.push_back({sequence, index}); // repeated
                    }
                }
                std::shuffle(block_deliveries.begin(), block_deliveries.end(), rng);
                deliveries.insert(deliveries.end(), block_deliveries.begin(), block_deliveries.end());
            }
            // Reorder across neighbouring blocks, and send a few fragments very late.
            for (std::size_t i = 0; i + 1 < deliveries.size(); ++i) {
                const int fate = std::uniform_int_distribution<int>(0, 999)(rng);
                if (fate < 200) {
                    const std::size_t reach =
                        std::min<std::size_t>(deliveries.size() - 1 - i, 3 * plan.fragment_count);
                    std::swap(deliveries[i],
                              deliveries[i + std::uniform_int_distribution<std::size_t>(0, reach)(rng)]);
                } else if (fate < 203) {
                    const std::size_t later =
                        std::min(deliveries.size() - 1, i + (kSlots + 2) * std::size_t{plan.fragment_count});
                    std::rotate(deliveries.begin() + i, deliveries.begin() + i + 1,
                                deliveries.begin() + later + 1);
                }
            }

            std::vector<AudioFragmentAssemblySlot> slots;
            std::vector<OracleSlot> oracle(kSlots);
            AudioFragmentAssemblyResult result;
            for (const Delivery& delivery : deliveries) {
                OracleSlot& model = oracle[delivery.sequence % kSlots];
                bool expect_dropped = false, expect_accepted = false, expect_completed = false;
                if (model.active && model.sequence != delivery.sequence &&
                    sequence_difference(delivery.sequence, model.sequence) < 0) {
                    expect_dropped = true;
                } else {
                    if (model.active && model.sequence != delivery.sequence) {
                        expect_dropped = true;
                        model.active = false;
                    }
                    if (!model.active) {
                        model = OracleSlot{true, delivery.sequence, {}};
                    }
                    expect_accepted = model.received.insert(delivery.index).second;
                    if (expect_accepted && model.received.size() == plan.fragment_count) {
                        expect_completed = true;
                        model.active = false;
                    }
                }

                const ParsedFragment fragment = parse(sent[delivery.sequence][delivery.index]);
                const bool move = (delivery.index % 2) == 0;
                ASSERT_TRUE(assemble_audio_fragment(slots, fragment.packet, fragment.samples, fragment.count,
                                                    channels, 4096, kSlots, move, result));
                ASSERT_EQ(std::tuple(result.dropped, result.accepted, result.completed),
                          std::tuple(expect_dropped, expect_accepted, expect_completed))
                    << delivery.sequence << "/" << delivery.index;
                if (result.completed) {
                    ++completed_total;
                    completed_after_wrap += (wraps && delivery.sequence < 0x80000000u) ? 1 : 0;
                    ASSERT_EQ(std::tuple(result.block.sequence, result.block.frame_count,
                                         std::size_t{result.block.channel_count}),
                              std::tuple(delivery.sequence, frames, channels));
                    ASSERT_TRUE(
                        same_bits(result.block.samples, make_block(delivery.sequence, frames, channels)));
                }
                dropped_total += result.dropped ? 1 : 0;
            }
        }
    }
    // The scenario must actually exercise what it claims to.
    EXPECT_GT(shapes_run, 30u);
    EXPECT_GT(completed_total, 100u);
    EXPECT_GT(dropped_total, 10u);
    EXPECT_GT(completed_after_wrap, 20u);
}
