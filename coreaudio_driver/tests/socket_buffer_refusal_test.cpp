// A system that refuses large socket buffers (as macOS does above its ceiling) must not keep the
// server from starting. This binary stands in its own setsockopt for the C library's, refusing
// buffer sizes above a limit the way such a system would, and passing everything else through.
#include "udp_test_client.h"

#include <velmora/protocol/packet_formats.h>
#include <velmora/server/core_audio_hal_runtime.h>
#include <velmora/server/core_audio_udp_input_receiver.h>

#include <velmora_compat/os_log_capture.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <memory>
#include <string>
#include <thread>

#include <dlfcn.h>
#include <sys/socket.h>

namespace {

std::atomic<int> g_buffer_calls{0};

} // namespace

extern "C" int setsockopt(int fd, int level, int name, const void* value, socklen_t length) {
    using SetSockOpt = int (*)(int, int, int, const void*, socklen_t);
    static const auto real = reinterpret_cast<SetSockOpt>(::dlsym(RTLD_NEXT, "setsockopt"));
    if (level == SOL_SOCKET && (name == SO_RCVBUF || name == SO_SNDBUF)) {
        g_buffer_calls.fetch_add(1);
        if (length == sizeof(int) && *static_cast<const int*>(value) > 4 * 1024 * 1024) {
            errno = ENOBUFS;
            return -1;
        }
    }
    return real(fd, level, name, value, length);
}

TEST(SocketBuffers, RefusedSizesAreLoggedOnceEachAndTheServerStillRuns) {
    VelmoraCompat::OsLogCapture capture;
    VelmoraMac::CoreAudioUdpInputReceiver receiver;
    ASSERT_TRUE(receiver.open({VelmoraCore::kIpv4Loopback, 0}, 0, 16777216, 4294967295U));
    const std::vector<std::string> lines = capture.messages();
    ASSERT_EQ(lines.size(), 3U);
    const std::string refused =
        " bytes refused errno=" + std::to_string(ENOBUFS) + ", keeping the system size";
    EXPECT_EQ(lines[0], "VelmoraCoreAudio UDP SO_RCVBUF 16777216" + refused);
    EXPECT_EQ(lines[1], "VelmoraCoreAudio UDP SO_SNDBUF 4294967295" + refused);

    auto runtime = std::make_unique<VelmoraMac::CoreAudioHalRuntime>();
    VelmoraTest::UdpTestClient client(receiver.bound_endpoint().port);
    ASSERT_TRUE(client.send_raw(VelmoraProtocol::build_discovery_request_packet(1, 2)));
    const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (receiver.stats().datagrams_received == 0 && std::chrono::steady_clock::now() < give_up) {
        ASSERT_TRUE(receiver.receive_available(*runtime, 64));
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    EXPECT_TRUE(client.receive(std::chrono::milliseconds(5000)));

    // Accepted sizes are set silently; 0 leaves the system's size.
    capture.clear();
    g_buffer_calls.store(0);
    ASSERT_TRUE(receiver.open({VelmoraCore::kIpv4Loopback, 0}, 0, 1048576, 0));
    EXPECT_EQ(g_buffer_calls.load(), 1);
    EXPECT_EQ(capture.messages().size(), 1U) << "only the bound line";
}
