// Datagrams a server must refuse without answering: every way a header, a control request, an
// announce or an audio fragment can be wrong, plus noise. Each is counted once as rejected by a
// receiver that knows no client `unknown_client`.
#pragma once

#include <velmora/protocol/audio_fragments.h>
#include <velmora/protocol/packet_formats.h>

#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

namespace VelmoraTest {

inline void put_u16(std::vector<char>& datagram, std::size_t offset, std::uint16_t value) {
    datagram[offset] = static_cast<char>(value & 0xFF);
    datagram[offset + 1] = static_cast<char>(value >> 8);
}
inline void put_u32(std::vector<char>& datagram, std::size_t offset, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) {
        datagram[offset + i] = static_cast<char>((value >> (8 * i)) & 0xFF);
    }
}

// `count` datagrams cycling through the kinds below.
inline std::vector<std::vector<char>> malformed_datagrams(std::size_t count, std::uint32_t unknown_client) {
    using namespace VelmoraProtocol;
    using Datagram = std::vector<char>;
    // `datagram` cut (or grown) to `size` bytes, its header saying so.
    auto resized = [](Datagram datagram, std::size_t size) {
        datagram.resize(size);
        put_u32(datagram, 8, static_cast<std::uint32_t>(size));
        return datagram;
    };
    // `datagram` with the 16-bit field at `offset` set to `value`.
    auto with_u16 = [](Datagram datagram, std::size_t offset, std::uint16_t value) {
        put_u16(datagram, offset, value);
        return datagram;
    };
    const Datagram sync = build_sync_packet(unknown_client, 5, 48000, 128, 640, 99);
    ClientSettings settings;
    settings.client_id = unknown_client;
    const Datagram announce = build_announce_packet(settings, 1);
    std::vector<Datagram> fragments;
    build_audio_fragment_packets(unknown_client, 3, 48000, 128, 2, std::vector<float>(2 * 128, 0.5f),
                                 fragments, 1200);
    Datagram bad_magic = sync;
    bad_magic[0] = 'X';
    Datagram bad_size = sync;
    put_u32(bad_size, 8, 45);
    Datagram no_client = sync;
    put_u32(no_client, 12, 0);
    std::vector<Datagram> kinds = {
        // Header faults: short, bad magic, old and newer versions, a size that disagrees, client 0,
        // unknown types.
        Datagram(sync.begin(), sync.begin() + 15), Datagram(1, 'V'), bad_magic, with_u16(sync, 4, 4),
        with_u16(sync, 4, 6), bad_size, no_client, with_u16(sync, 6, 0), with_u16(sync, 6, 8),
        with_u16(sync, 6, 0xFFFF),
        // Server-to-client types; control requests of the wrong size.
        sync, build_discovery_response_packet(unknown_client, 1, 28010),
        build_time_probe_response_packet(unknown_client, 1, 2, 3, 4),
        resized(build_discovery_request_packet(unknown_client, 42), 33),
        resized(build_time_probe_request_packet(unknown_client, 1, 2), 28),
        // Announces: truncated, counts that disagree with the length.
        resized(announce, 30), with_u16(announce, 16, 3),
        // Audio fragments: from a client nobody announced, cut short, a rectangle outside the block.
        fragments.front(), resized(fragments.front(), 60), with_u16(fragments.front(), 28, 1),
        with_u16(fragments.front(), 36, 9)};
    // Announces with invalid channel maps.
    for (std::vector<std::int64_t> inputs : {std::vector<std::int64_t>{0, 32}, {5, 5}, {-1}}) {
        settings.driver_inputs = inputs;
        kinds.push_back(build_announce_packet(settings, 1));
    }
    settings.driver_inputs.clear();
    for (std::int64_t i = 0; i < 33; ++i) {
        settings.driver_inputs.push_back(i % 32);
    }
    kinds.push_back(build_announce_packet(settings, 1));

    std::mt19937 random(12345);
    std::vector<Datagram> datagrams;
    for (std::size_t i = 0; datagrams.size() < count; ++i) {
        if (i % 5 != 4) {
            datagrams.push_back(kinds[i % kinds.size()]);
            continue;
        }
        // Noise, sometimes behind a valid magic so it gets past the first check.
        Datagram noise(1 + random() % 300);
        for (char& byte : noise) {
            byte = static_cast<char>(random());
        }
        if (i % 2 == 0 && noise.size() >= 4) {
            std::memcpy(noise.data(), "VLMR", 4);
        }
        datagrams.push_back(noise);
    }
    return datagrams;
}

} // namespace VelmoraTest
