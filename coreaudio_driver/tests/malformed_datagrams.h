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
    std::vector<std::vector<char>> kinds;
    auto variant = [&](std::vector<char> datagram, auto&& change) {
        change(datagram);
        kinds.push_back(datagram);
    };
    const std::vector<char> sync = build_sync_packet(unknown_client, 5, 48000, 128, 640, 99);
    const std::vector<char> discovery = build_discovery_request_packet(unknown_client, 42);
    ClientSettings settings;
    settings.client_id = unknown_client;
    const std::vector<char> announce = build_announce_packet(settings, 1);
    std::vector<std::vector<char>> fragments;
    const std::vector<float> block(2 * 128, 0.5f);
    build_audio_fragment_packets(unknown_client, 3, 48000, 128, 2, block, fragments, 1200);

    // Header faults.
    kinds.push_back(std::vector<char>(sync.begin(), sync.begin() + 15)); // shorter than a header
    kinds.push_back(std::vector<char>(1, 'V'));                          // one byte
    variant(sync, [](std::vector<char>& d) { d[0] = 'X'; });             // bad magic
    variant(sync, [](std::vector<char>& d) { put_u16(d, 4, 4); });       // old version
    variant(sync, [](std::vector<char>& d) { put_u16(d, 4, 6); });       // newer version
    variant(sync, [](std::vector<char>& d) { put_u32(d, 8, 45); });      // size disagrees
    variant(sync, [](std::vector<char>& d) { put_u32(d, 12, 0); });      // client id 0
    variant(sync, [](std::vector<char>& d) { put_u16(d, 6, 0); });       // type 0
    variant(sync, [](std::vector<char>& d) { put_u16(d, 6, 8); });       // type 8
    variant(sync, [](std::vector<char>& d) { put_u16(d, 6, 0xFFFF); });  // type 65535
    // Server-to-client types.
    kinds.push_back(sync);
    kinds.push_back(build_discovery_response_packet(unknown_client, 1, 28010));
    kinds.push_back(build_time_probe_response_packet(unknown_client, 1, 2, 3, 4));
    // Control requests of the wrong size.
    variant(discovery, [](std::vector<char>& d) {
        d.push_back(0);
        put_u32(d, 8, 33);
    });
    variant(build_time_probe_request_packet(unknown_client, 1, 2), [](std::vector<char>& d) {
        d.resize(28);
        put_u32(d, 8, 28);
    });
    // Announces: truncated, counts that disagree with the length, invalid channel maps.
    variant(announce, [](std::vector<char>& d) {
        d.resize(30);
        put_u32(d, 8, 30);
    });
    variant(announce, [](std::vector<char>& d) { put_u16(d, 16, 3); });
    settings.driver_inputs = {0, 32};
    kinds.push_back(build_announce_packet(settings, 1));
    settings.driver_inputs = {5, 5};
    kinds.push_back(build_announce_packet(settings, 1));
    settings.driver_inputs = {-1};
    kinds.push_back(build_announce_packet(settings, 1));
    settings.driver_inputs.assign(33, 0);
    for (std::size_t i = 0; i < 33; ++i) {
        settings.driver_inputs[i] = static_cast<std::int64_t>(i % 32);
    }
    kinds.push_back(build_announce_packet(settings, 1));
    // Audio fragments: from a client nobody announced, cut short, and with a rectangle outside
    // their block.
    kinds.push_back(fragments.front());
    variant(fragments.front(), [](std::vector<char>& d) {
        d.resize(60);
        put_u32(d, 8, 60);
    });
    variant(fragments.front(), [](std::vector<char>& d) { put_u16(d, 28, 1); });
    variant(fragments.front(), [](std::vector<char>& d) { put_u16(d, 36, 9); });

    std::mt19937 random(12345);
    std::vector<std::vector<char>> datagrams;
    for (std::size_t i = 0; datagrams.size() < count; ++i) {
        if (i % 5 == 4) {
            // Noise, sometimes behind a valid magic so it gets past the first check.
            std::vector<char> noise(1 + random() % 300);
            for (char& byte : noise) {
                byte = static_cast<char>(random());
            }
            if (i % 2 == 0 && noise.size() >= 4) {
                std::memcpy(noise.data(), "VLMR", 4);
            }
            datagrams.push_back(noise);
        } else {
            datagrams.push_back(kinds[i % kinds.size()]);
        }
    }
    return datagrams;
}

} // namespace VelmoraTest
