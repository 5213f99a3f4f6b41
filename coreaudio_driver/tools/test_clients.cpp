// velmora_test_clients: a load for measuring the server. N clients on 127.0.0.1, each announcing
// C input and C output channels, each sending a C-channel input block (a sine) for every sync it
// receives, as client engines do.
//
//   velmora_test_clients --port P [--clients N] [--channels C] [--latency BLOCKS] [--duration SEC]
#include "udp_test_client.h"

#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <numbers>
#include <string>
#include <thread>
#include <vector>

namespace {

struct Options {
    std::uint16_t port = 28010;
    int clients = 4;
    int channels = 32;
    std::uint32_t latency = 6;
    double duration = 30;
};

void run_client(const Options& options, int index, std::atomic<std::uint64_t>& syncs,
                std::atomic<std::uint64_t>& blocks) {
    VelmoraTest::UdpTestClient client;
    client.set_server_port(options.port);
    const auto id = static_cast<std::uint32_t>(20000 + index);
    std::vector<std::int64_t> map(static_cast<std::size_t>(options.channels));
    for (int channel = 0; channel < options.channels; ++channel) {
        map[static_cast<std::size_t>(channel)] = channel;
    }
    std::vector<float> block;
    double phase = 0;
    const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(options.duration);
    while (std::chrono::steady_clock::now() < end) {
        client.announce(id, 1, map, map, options.latency);
        VelmoraTest::UdpTestClient::Events events;
        client.receive_for(
            std::chrono::milliseconds(1000), events, [&](const VelmoraProtocol::SyncPacket& sync) {
                const std::size_t frames = sync.frame_count;
                block.resize(frames * static_cast<std::size_t>(options.channels));
                for (std::size_t frame = 0; frame < frames; ++frame) {
                    const auto value = static_cast<float>(0.1 * std::sin(phase));
                    phase += 2.0 * std::numbers::pi * 440.0 / sync.sample_rate;
                    for (int channel = 0; channel < options.channels; ++channel) {
                        block[static_cast<std::size_t>(channel) * frames + frame] = value;
                    }
                }
                client.send_input_block(id, sync.sequence + options.latency, sync.sample_rate,
                                        sync.frame_count, static_cast<std::size_t>(options.channels), block);
            });
        syncs += events.syncs.size();
        blocks += events.blocks.size();
    }
    client.disconnect(id, 1);
}

} // namespace

int main(int argc, char** argv) {
    Options options;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string name = argv[i];
        const char* value = argv[i + 1];
        if (name == "--port") {
            options.port = static_cast<std::uint16_t>(std::atoi(value));
        } else if (name == "--clients") {
            options.clients = std::atoi(value);
        } else if (name == "--channels") {
            options.channels = std::atoi(value);
        } else if (name == "--latency") {
            options.latency = static_cast<std::uint32_t>(std::atoi(value));
        } else if (name == "--duration") {
            options.duration = std::atof(value);
        } else {
            std::fprintf(stderr, "velmora_test_clients: unknown option %s\n", name.c_str());
            return 2;
        }
    }
    if (options.clients < 1 || options.channels < 1 || options.channels > 32 || options.duration <= 0) {
        std::fprintf(stderr,
                     "velmora_test_clients: 1 or more clients of 1 to 32 channels, for a positive time\n");
        return 2;
    }
    std::atomic<std::uint64_t> syncs{0};
    std::atomic<std::uint64_t> blocks{0};
    std::vector<std::thread> threads;
    for (int index = 0; index < options.clients; ++index) {
        threads.emplace_back([&, index] { run_client(options, index, syncs, blocks); });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    std::printf(
        "velmora_test_clients: %d clients of %d channels received %llu syncs and %llu output blocks\n",
        options.clients, options.channels, static_cast<unsigned long long>(syncs.load()),
        static_cast<unsigned long long>(blocks.load()));
    return 0;
}
