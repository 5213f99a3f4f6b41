#include <velmora/server/server_network_config.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <tuple>

#include <unistd.h>

using VelmoraCore::ServerNetworkConfig;

namespace {

std::string write_scratch(const std::string& text) {
    static int counter = 0;
    const std::string path =
        std::filesystem::temp_directory_path() /
        ("velmora_server_ini_" + std::to_string(::getpid()) + "_" + std::to_string(counter++) + ".ini");
    std::ofstream(path, std::ios::binary) << text;
    return path;
}

ServerNetworkConfig load(const std::string& text) {
    const std::string path = write_scratch(text);
    ServerNetworkConfig config;
    EXPECT_TRUE(VelmoraCore::load_server_network_config(path.c_str(), config));
    std::filesystem::remove(path);
    return config;
}

} // namespace

// Every key from its own section; a missing file keeps every value and still loads, no path does not.
TEST(ServerNetworkConfig, ReadsEveryKeyAndAMissingFileKeepsTheValues) {
    ServerNetworkConfig config = load("[network]\nbind_address = 0.0.0.0\nlisten_port = 29000\n"
                                      "client_timeout_ms = 750\n[socket]\nrecv_buffer_bytes = 0\n"
                                      "send_buffer_bytes = 4096\n[transport]\nudp_payload_bytes = 9000\n"
                                      "[qos]\nenabled = 1\ndscp = 34\ntraffic_type = voice\n");
    EXPECT_EQ(config.bind_address, "0.0.0.0");
    EXPECT_EQ(config.listen_port, 29000);
    EXPECT_EQ(config.client_timeout_ms, 750U);
    EXPECT_EQ(config.recv_buffer_bytes, 0U);
    EXPECT_EQ(config.send_buffer_bytes, 4096U);
    EXPECT_EQ(config.udp_payload_bytes, 9000U);
    EXPECT_TRUE(config.qos_enabled);
    EXPECT_EQ(config.qos_dscp, 34U);
    EXPECT_EQ(config.qos_traffic_type, "voice");
    EXPECT_FALSE(VelmoraCore::load_server_network_config(nullptr, config));
    EXPECT_FALSE(VelmoraCore::load_server_network_config("", config));
    EXPECT_TRUE(VelmoraCore::load_server_network_config("/nonexistent/Velmora.ini", config));
    EXPECT_EQ(config.listen_port, 29000);
}

TEST(ServerNetworkConfig, ValuesAreBoundedAsDocumented) {
    const std::tuple<const char*, std::uint16_t, bool> cases[] = {
        {"[network]\nlisten_port = 70000\n", 65535, false},
        {"[network]\nlisten_port = 0\n", 0, false},
        {"[network]\nlisten_port = 4294967295\n", 65535, false},
        {"[network]\nlisten_port = abc\n", 28010, false},
        {"[network]\nlisten_port =\n", 28010, false},
        {"[qos]\nenabled = 2\n", 28010, true},
        {"[qos]\nenabled = yes\n", 28010, false},
        {"[Network]\nlisten_port = 1\n", 28010, false},
    };
    for (const auto& [text, port, qos] : cases) {
        const ServerNetworkConfig config = load(text);
        EXPECT_TRUE(config.listen_port == port && config.qos_enabled == qos) << text;
    }
    const std::pair<std::uint32_t, std::uint32_t> payloads[] = {
        {51, 1200}, {52, 52}, {65507, 65507}, {65508, 1200}, {0, 1200}, {4294967295U, 1200}};
    for (const auto& [given, expected] : payloads) {
        EXPECT_EQ(VelmoraCore::bounded_udp_payload_bytes(given), expected) << given;
    }
}

// The variable wins even for a missing file; empty, the readable system file; without that, the
// file beside the module.
TEST(ServerNetworkConfigLocation, VariableThenSystemFileThenModuleSibling) {
    const std::string system_file = write_scratch("[network]\nlisten_port = 1\n");
    const char* variable = VelmoraCore::kServerConfigEnvironmentVariable;
    ::setenv(variable, "/nonexistent/custom.ini", 1);
    EXPECT_EQ(VelmoraCore::locate_server_network_config(nullptr, system_file.c_str()),
              "/nonexistent/custom.ini");
    ::setenv(variable, "", 1);
    EXPECT_EQ(VelmoraCore::locate_server_network_config(nullptr, system_file.c_str()), system_file);
    static int anchor = 0;
    const std::string path = VelmoraCore::locate_server_network_config(&anchor, "/nonexistent/Velmora.ini");
    ::unsetenv(variable);
    std::filesystem::remove(system_file);
    const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe");
    EXPECT_EQ(std::filesystem::weakly_canonical(path), self.parent_path() / "Velmora.ini");
}
