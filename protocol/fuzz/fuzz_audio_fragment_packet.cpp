#include "fuzz_check.h"

#include <velmora/protocol/audio_fragments.h>
#include <velmora/protocol/packet_formats.h>

#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstring>

using namespace VelmoraProtocol;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size > INT_MAX) {
        return 0;
    }
    const char* bytes = reinterpret_cast<const char*>(data);
    AudioFragmentPacket packet;
    const float* samples = nullptr;
    std::size_t count = 0;
    if (parse_audio_fragment_packet(bytes, static_cast<int>(size), packet, samples, count) !=
        PacketParseResult::ok) {
        FUZZ_CHECK(samples == nullptr && count == 0);
        return 0;
    }
    FUZZ_CHECK(reinterpret_cast<const char*>(samples) == bytes + kAudioFragmentPacketFixedSize);
    FUZZ_CHECK(kAudioFragmentPacketFixedSize + 4 * count == size);
    // Everything the parser accepts the assembler accepts too, and the builder writes it back bit for bit.
    FUZZ_CHECK(validate_audio_fragment_assembly_input(packet, samples, count, packet.channel_count, 65535));
    if (size <= kMaxAudioFragmentPacketBytes) {
        PacketBytes rebuilt;
        FUZZ_CHECK(build_audio_fragment_packet(
            packet.client_id, packet.sequence, packet.sample_rate, packet.frame_count, packet.channel_count,
            packet.channel_offset, packet.fragment_channel_count, packet.frame_offset,
            packet.fragment_frame_count, packet.fragment_index, packet.fragment_count,
            packet.server_sample_time, samples, count, rebuilt, kMaxAudioFragmentPacketBytes));
        FUZZ_CHECK(rebuilt.size() == size && std::memcmp(rebuilt.data(), data, size) == 0);
    }
    return 0;
}
