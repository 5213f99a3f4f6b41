// A short tour of the wire protocol for a new user: one packet of each type, one 32-channel block
// cut into datagrams and put back together, what loss and reordering do, and what it all costs.
#include <velmora/protocol/audio_fragments.h>
#include <velmora/protocol/packet_formats.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

using namespace VelmoraProtocol;

namespace {

constexpr std::uint32_t kClientId = 7;
constexpr std::uint32_t kSampleRate = 48000;
constexpr std::uint16_t kFrames = 128;
constexpr std::size_t kChannels = 32;
constexpr std::size_t kSlots = 8;

std::vector<float> make_block(std::uint32_t sequence, std::size_t channels) {
    std::vector<float> block(kFrames * channels);
    for (std::size_t i = 0; i < block.size(); ++i) {
        block[i] = static_cast<float>((i * 7 + sequence) % 2001) / 1000.0f - 1.0f;
    }
    return block;
}

bool same_bits(const std::vector<float>& a, const std::vector<float>& b) {
    return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(float)) == 0;
}

const char* yes_no(bool value) {
    return value ? "yes" : "NO";
}

int length_of(const PacketBytes& datagram) {
    return static_cast<int>(datagram.size());
}

const char* header_result(const PacketBytes& datagram) {
    PacketHeader header;
    return packet_parse_result_name(parse_packet_header(datagram.data(), length_of(datagram), header));
}

// Offers one datagram to the assembler and says what happened.
AudioFragmentAssemblyResult offer(std::vector<AudioFragmentAssemblySlot>& slots, const PacketBytes& datagram,
                                  AudioFragmentAssemblyResult& result) {
    AudioFragmentPacket packet;
    const float* samples = nullptr;
    std::size_t count = 0;
    if (parse_audio_fragment_packet(datagram.data(), length_of(datagram), packet, samples, count) ==
        PacketParseResult::ok) {
        assemble_audio_fragment(slots, packet, samples, count, kChannels, 65535, kSlots, false, result);
    }
    return result;
}

std::string outcome(const AudioFragmentAssemblyResult& result) {
    std::string text;
    for (const auto& [flag, name] :
         {std::pair{result.accepted, "accepted"}, std::pair{result.completed, "completed"},
          std::pair{result.dropped, "dropped"}}) {
        if (flag) {
            text += text.empty() ? name : std::string(" and ") + name;
        }
    }
    return text.empty() ? "ignored" : text;
}

// Best of several rounds, in nanoseconds per call: the minimum is what the code costs when the
// machine is not busy with something else.
template <typename Work>
double nanoseconds_per_call(Work work, int calls) {
    double best = 1e300;
    for (int round = 0; round < 7; ++round) {
        const auto start = std::chrono::steady_clock::now();
        for (int i = 0; i < calls; ++i) {
            work();
        }
        const std::chrono::duration<double, std::nano> elapsed = std::chrono::steady_clock::now() - start;
        best = std::min(best, elapsed.count() / calls);
    }
    return best;
}

void show_packets() {
    ClientSettings settings;
    settings.client_id = kClientId;
    settings.driver_inputs = {2, 3};
    settings.driver_outputs = {0, 1};
    PacketBytes fragment;
    const std::vector<float> stereo = make_block(0, 2);
    build_audio_fragment_packet(kClientId, 1, kSampleRate, kFrames, 2, 0, 2, 0, kFrames, 0, 1, 0, stereo,
                                fragment, kDefaultAudioFragmentPacketBytes);
    struct Shown {
        const char* name;
        PacketBytes datagram;
        const char* note;
    };
    const Shown packets[] = {
        {"discovery request", build_discovery_request_packet(kClientId, 0x5EED), "engine looks for a server"},
        {"discovery response", build_discovery_response_packet(kClientId, 0x5EED, kDefaultServerPort),
         "server answers with its port"},
        {"time probe request", build_time_probe_request_packet(kClientId, 1, 1000), "engine's send time t1"},
        {"time probe response", build_time_probe_response_packet(kClientId, 1, 1000, 2000, 2100),
         "t1 echoed, server times t2 and t3"},
        {"sync", build_sync_packet(kClientId, 1, kSampleRate, kFrames, 128, 123456789),
         "one per server block"},
        {"announce", build_announce_packet(settings, 0xC0FFEE), "2 input + 2 output channel routes"},
        {"disconnect", build_client_disconnect_packet(kClientId, 0xC0FFEE), "an announce without channels"},
        {"audio fragment", fragment, "2 channels x 128 frames of audio"},
    };
    std::printf("One packet of each type (magic \"VLMR\", protocol version %u, little-endian):\n",
                kProtocolVersion);
    for (const Shown& shown : packets) {
        std::printf("  %-20s %5zu bytes  header %-3s  %s\n", shown.name, shown.datagram.size(),
                    header_result(shown.datagram), shown.note);
    }
    PacketBytes damaged = packets[4].datagram;
    damaged[0] = 'X';
    PacketBytes truncated(packets[4].datagram.begin(), packets[4].datagram.begin() + 15);
    PacketBytes longer = packets[4].datagram;
    longer.push_back(0);
    std::printf("Damaged datagrams are refused with a reason: wrong magic gives %s, 15 bytes give %s,\n"
                "a byte more than the size field says gives %s.\n\n",
                header_result(damaged), header_result(truncated), header_result(longer));
}

void show_fragmentation() {
    std::printf("Cutting one block: %zu channels x %u frames at %u Hz, datagram limit %zu bytes\n", kChannels,
                kFrames, kSampleRate, kDefaultAudioFragmentPacketBytes);
    AudioFragmentPlan plan;
    build_audio_fragment_plan(kFrames, kChannels, kDefaultAudioFragmentPacketBytes, plan);
    const std::vector<float> block = make_block(1, kChannels);
    std::vector<PacketBytes> datagrams;
    build_audio_fragment_packets(kClientId, 1, kSampleRate, kFrames, kChannels, block, datagrams,
                                 kDefaultAudioFragmentPacketBytes);
    std::size_t wire_bytes = 0;
    for (const PacketBytes& datagram : datagrams) {
        wire_bytes += datagram.size();
    }
    std::printf("  %u fragments of %u whole channels each, %zu bytes per datagram\n", plan.fragment_count,
                plan.channels_per_fragment, datagrams.front().size());
    std::printf("  %zu bytes on the wire for %zu bytes of samples\n", wire_bytes,
                block.size() * sizeof(float));

    std::vector<AudioFragmentAssemblySlot> slots;
    AudioFragmentAssemblyResult result;
    for (const PacketBytes& datagram : datagrams) {
        offer(slots, datagram, result);
    }
    std::printf("  put back together: complete %s, bit-identical %s\n", yes_no(result.completed),
                yes_no(result.completed && same_bits(result.block.samples, block)));

    AudioFragmentPlan split;
    build_audio_fragment_plan(512, 8, kDefaultAudioFragmentPacketBytes, split);
    std::printf("  a 512-frame block does not fit one row per datagram: each of 8 channels is cut into\n"
                "  pieces of %u frames, %u fragments in all\n\n",
                split.frames_per_fragment, split.fragment_count);
}

void show_loss_and_reordering() {
    std::printf("Loss, repeats and reordering (%zu assembly slots, slot = sequence mod %zu):\n", kSlots,
                kSlots);
    std::vector<AudioFragmentAssemblySlot> slots;
    AudioFragmentAssemblyResult result;

    std::vector<PacketBytes> first;
    const std::vector<float> first_block = make_block(1000, kChannels);
    build_audio_fragment_packets(kClientId, 1000, kSampleRate, kFrames, kChannels, first_block, first,
                                 kDefaultAudioFragmentPacketBytes);
    std::size_t accepted = 0;
    std::size_t ignored = 0;
    for (std::size_t i = first.size(); i-- > 0;) {
        accepted += offer(slots, first[i], result).accepted ? 1 : 0;
        if (i == 8) {
            ignored += offer(slots, first[i], result).accepted ? 0 : 1;
        }
    }
    std::printf("  block 1000 in reverse order, fragment 8 sent twice: %zu accepted, %zu repeat ignored,\n"
                "    complete %s, bit-identical %s\n",
                accepted, ignored, yes_no(result.completed),
                yes_no(same_bits(result.block.samples, first_block)));

    std::vector<PacketBytes> lossy;
    build_audio_fragment_packets(kClientId, 1001, kSampleRate, kFrames, kChannels,
                                 make_block(1001, kChannels), lossy, kDefaultAudioFragmentPacketBytes);
    for (std::size_t i = 0; i < lossy.size(); ++i) {
        if (i != 5) {
            offer(slots, lossy[i], result);
        }
    }
    std::printf("  block 1001 with fragment 5 lost: %s\n",
                result.completed ? "complete (unexpected)" : "incomplete, it waits in its slot");
    std::vector<PacketBytes> later;
    build_audio_fragment_packets(kClientId, 1009, kSampleRate, kFrames, kChannels,
                                 make_block(1009, kChannels), later, kDefaultAudioFragmentPacketBytes);
    std::printf("  block 1009 needs the same slot: its first fragment is %s\n    (block 1001 is given up)\n",
                outcome(offer(slots, later[0], result)).c_str());
    std::printf("  the lost fragment of 1001 arrives late: %s\n",
                outcome(offer(slots, lossy[5], result)).c_str());

    EngineOutputReceiveState state;
    decide_engine_output_receive(state, 4294967294u);
    const EngineOutputReceiveDecision wrap = decide_engine_output_receive(state, 4294967295u);
    const EngineOutputReceiveDecision gap = decide_engine_output_receive(state, 2);
    const EngineOutputReceiveDecision stale = decide_engine_output_receive(state, 1);
    std::printf("  whole blocks in order: 4294967294, 4294967295 (missing %u), then 2 after the wrap\n"
                "    (missing %u, from %u), then 1 again: %s\n\n",
                wrap.missing_count, gap.missing_count, gap.missing_first_sequence,
                stale.stale ? "stale" : "accepted");
}

void show_timings() {
    std::printf("Timings (best of 7 rounds, per %zu-channel x %u-frame block at %zu bytes):\n", kChannels,
                kFrames, kDefaultAudioFragmentPacketBytes);
    const std::vector<float> block = make_block(1, kChannels);
    const double block_bytes = static_cast<double>(block.size() * sizeof(float));
    // The baseline copy goes half a 4 KiB page away from the source: addresses equal modulo 4096
    // slow a copy down and would flatter the protocol's figures.
    std::vector<float> copy_storage(block.size() + 1024);
    const auto distance = reinterpret_cast<std::uintptr_t>(copy_storage.data()) -
                          reinterpret_cast<std::uintptr_t>(block.data());
    float* copy = copy_storage.data() + ((2048 - distance % 4096 + 4096) % 4096) / sizeof(float);
    std::vector<PacketBytes> datagrams;
    std::uint32_t sequence = 0;
    const int calls = 2000;

    const double memcpy_ns = nanoseconds_per_call(
        [&] {
            std::memcpy(copy, block.data(), block.size() * sizeof(float));
            __asm__ __volatile__("" : : "r"(copy) : "memory");
        },
        calls * 10);
    const double build_ns = nanoseconds_per_call(
        [&] {
            build_audio_fragment_packets(kClientId, sequence++, kSampleRate, kFrames, kChannels, block,
                                         datagrams, kDefaultAudioFragmentPacketBytes);
        },
        calls);

    auto reassemble = [&](bool move_block) {
        std::vector<AudioFragmentAssemblySlot> slots;
        AudioFragmentAssemblyResult result;
        std::uint32_t next = 0;
        return nanoseconds_per_call(
            [&] {
                for (PacketBytes& datagram : datagrams) {
                    const std::uint32_t s = next;
                    std::memcpy(datagram.data() + 16, &s, sizeof s); // the sequence field, little-endian
                    AudioFragmentPacket packet;
                    const float* samples = nullptr;
                    std::size_t count = 0;
                    parse_audio_fragment_packet(datagram.data(), length_of(datagram), packet, samples, count);
                    assemble_audio_fragment(slots, packet, samples, count, kChannels, 65535, kSlots,
                                            move_block, result);
                }
                ++next;
            },
            calls);
    };
    const double move_ns = reassemble(true);
    const double copy_ns = reassemble(false);

    auto line = [&](const char* what, double ns) {
        std::printf("  %-34s %8.0f ns  %6.1f GB/s  %4.1fx memcpy\n", what, ns, block_bytes / ns,
                    ns / memcpy_ns);
    };
    line("memcpy of the samples", memcpy_ns);
    line("cut into 16 datagrams", build_ns);
    line("parse + reassemble, moving out", move_ns);
    line("parse + reassemble, copying out", copy_ns);
    std::printf("  one block lasts %.0f ns of audio at %u Hz\n", 1e9 * kFrames / kSampleRate, kSampleRate);
}

} // namespace

int main() {
    std::printf("Velmora wire protocol\n=====================\n\n");
    show_packets();
    show_fragmentation();
    show_loss_and_reordering();
    show_timings();
    return 0;
}
