// Input: one byte of options (bit 0: move the finished block out), one byte giving the expected
// channel count, then datagrams, each preceded by its length as a little-endian u16. The slots
// persist across inputs, as they do across datagrams in a receiver.
#include "fuzz_check.h"

#include <velmora/protocol/audio_fragments.h>
#include <velmora/protocol/packet_formats.h>

#include <cstddef>
#include <cstdint>
#include <vector>

using namespace VelmoraProtocol;

namespace {

constexpr std::size_t kSlotCount = 8;
constexpr std::uint16_t kMaxFrames = 4096;

std::vector<AudioFragmentAssemblySlot>& slots() {
    static std::vector<AudioFragmentAssemblySlot> instance;
    return instance;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2) {
        return 0;
    }
    const bool move_block = (data[0] & 1) != 0;
    const std::size_t expected_channels = data[1] % 65;
    std::size_t position = 2;
    AudioFragmentAssemblyResult result;
    while (position + 2 <= size) {
        const std::size_t length = data[position] | (std::size_t{data[position + 1]} << 8);
        position += 2;
        if (length > size - position) {
            break;
        }
        // Its own exactly sized copy, so that a read past the datagram is caught.
        std::vector<char> datagram(data + position, data + position + length);
        position += length;

        AudioFragmentPacket packet;
        const float* samples = nullptr;
        std::size_t count = 0;
        if (parse_audio_fragment_packet(datagram.data(), static_cast<int>(datagram.size()), packet, samples,
                                        count) != PacketParseResult::ok) {
            continue;
        }
        FUZZ_CHECK(assemble_audio_fragment(slots(), packet, samples, count, expected_channels, kMaxFrames,
                                           kSlotCount, move_block, result));
        FUZZ_CHECK(slots().size() == kSlotCount || slots().empty());
        FUZZ_CHECK(!result.completed || result.accepted);
        if (result.completed) {
            FUZZ_CHECK(result.block.sequence == packet.sequence);
            FUZZ_CHECK(result.block.samples.size() ==
                       std::size_t{result.block.channel_count} * result.block.frame_count);
        }
        for (const AudioFragmentAssemblySlot& slot : slots()) {
            if (slot.active) {
                FUZZ_CHECK(slot.samples.size() == std::size_t{slot.channel_count} * slot.frame_count);
                FUZZ_CHECK(slot.received.size() == slot.fragment_count &&
                           slot.received_count < slot.fragment_count);
            }
        }
    }
    return 0;
}
