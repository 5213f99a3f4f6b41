#include <velmora/server/server_network_config.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include <unistd.h>

using VelmoraCore::ServerNetworkConfig;

namespace {

class ScratchFile {
public:
    explicit ScratchFile(const std::string& text) {
        path_ = std::filesystem::temp_directory_path() / ("velmora_server_ini_" + std::to_string(::getpid()) +
                                                          "_" + std::to_string(counter_++) + ".ini");
        std::ofstream(path_, std::ios::binary) << text;
    }
    ~ScratchFile() { std::filesystem::remove(path_); }
    const char* path() const { return path_.c_str(); }

private:
    static inline int counter_ = 0;
    std::filesystem::path path_;
};

ServerNetworkConfig load(const std::string& text) {
    ScratchFile file(text);
    ServerNetworkConfig config;
    EXPECT_TRUE(VelmoraCore::load_server_network_config(file.path(), config));
    return config;
}

// Restores the variable when the test ends.
class ScopedEnvironment {
public:
    ScopedEnvironment(const char* name, const char* value) : name_(name) {
        if (const char* old = std::getenv(name)) {
            old_ = old;
            had_old_ = true;
        }
        ::setenv(name, value, 1);
    }
    ~ScopedEnvironment() {
        if (had_old_) {
            ::setenv(name_.c_str(), old_.c_str(), 1);
        } else {
            ::unsetenv(name_.c_str());
        }
    }

private:
    std::string name_;
    std::string old_;
    bool had_old_ = false;
};

} // namespace

// The defaults are those of the shipped file; a missing file keeps every value and still loads,
// no path at all does not.
TEST(ServerNetworkConfig, DefaultsAndMissingFiles) {
    ServerNetworkConfig config;
    EXPECT_EQ(config.bind_address, "127.0.0.1");
    EXPECT_EQ(config.listen_port, 28010);
    EXPECT_EQ(config.client_timeout_ms, 5000U);
    EXPECT_EQ(config.recv_buffer_bytes, 1048576U);
    EXPECT_EQ(config.send_buffer_bytes, 1048576U);
    EXPECT_EQ(config.udp_payload_bytes, 1200U);
    EXPECT_FALSE(config.qos_enabled);
    EXPECT_EQ(config.qos_dscp, 46U);
    EXPECT_EQ(config.qos_traffic_type, "audio_video");
    config.bind_address = "10.1.2.3";
    config.listen_port = 1;
    EXPECT_FALSE(VelmoraCore::load_server_network_config(nullptr, config));
    EXPECT_FALSE(VelmoraCore::load_server_network_config("", config));
    EXPECT_TRUE(VelmoraCore::load_server_network_config("/nonexistent/Velmora.ini", config));
    EXPECT_EQ(config.bind_address, "10.1.2.3");
    EXPECT_EQ(config.listen_port, 1);
}

TEST(ServerNetworkConfig, ReadsEveryKeyFromItsSection) {
    const ServerNetworkConfig config =
        load("[network]\nbind_address = 0.0.0.0\nlisten_port = 29000\n"
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
}

TEST(ServerNetworkConfig, ValuesAreBoundedAsDocumented) {
    struct Case {
        const char* text;
        std::uint16_t port;
        bool qos;
    };
    const Case cases[] = {
        {"[network]\nlisten_port = 70000\n", 65535, false},
        {"[network]\nlisten_port = 65535\n", 65535, false},
        {"[network]\nlisten_port = 0\n", 0, false},
        {"[network]\nlisten_port = 4294967295\n", 65535, false},
        {"[network]\nlisten_port = abc\n", 28010, false},
        {"[network]\nlisten_port =\n", 28010, false},
        {"[qos]\nenabled = 2\n", 28010, true},
        {"[qos]\nenabled = yes\n", 28010, false},
        {"[Network]\nlisten_port = 1\n", 28010, false},
        {"[network]\nbind_address = 0.0.0.0\n", 28010, false},
    };
    for (const Case& c : cases) {
        const ServerNetworkConfig config = load(c.text);
        EXPECT_EQ(config.listen_port, c.port) << c.text;
        EXPECT_EQ(config.qos_enabled, c.qos) << c.text;
    }
}

TEST(ServerNetworkConfig, PayloadOutsideTheDatagramRangeBecomesTheDefault) {
    const std::pair<std::uint32_t, std::uint32_t> cases[] = {
        {51, 1200}, {52, 52}, {1200, 1200}, {65507, 65507}, {65508, 1200}, {0, 1200}, {4294967295U, 1200}};
    for (const auto& [given, expected] : cases) {
        EXPECT_EQ(VelmoraCore::bounded_udp_payload_bytes(given), expected) << given;
    }
}

TEST(ServerNetworkConfig, OnlyDottedIpv4AddressesParse) {
    std::uint32_t address = 0;
    ASSERT_TRUE(VelmoraCore::parse_ipv4_address("127.0.0.1", address));
    EXPECT_EQ(address, 0x7F000001U);
    ASSERT_TRUE(VelmoraCore::parse_ipv4_address("0.0.0.0", address));
    EXPECT_EQ(address, 0U);
    for (const char* bad : {"localhost", "", "::1", "1.2.3", "256.0.0.1", " 127.0.0.1"}) {
        EXPECT_FALSE(VelmoraCore::parse_ipv4_address(bad, address)) << bad;
    }
}

// The variable wins even for a missing file; empty, the readable system file; without that, the
// file beside the module.
TEST(ServerNetworkConfigLocation, VariableThenSystemFileThenModuleSibling) {
    ScratchFile system_file("[network]\nlisten_port = 1\n");
    {
        ScopedEnvironment env(VelmoraCore::kServerConfigEnvironmentVariable, "/nonexistent/custom.ini");
        EXPECT_EQ(VelmoraCore::locate_server_network_config(nullptr, system_file.path()),
                  "/nonexistent/custom.ini");
    }
    ScopedEnvironment env(VelmoraCore::kServerConfigEnvironmentVariable, "");
    EXPECT_EQ(VelmoraCore::locate_server_network_config(nullptr, system_file.path()), system_file.path());
    static int anchor = 0;
    const std::string path = VelmoraCore::locate_server_network_config(&anchor, "/nonexistent/Velmora.ini");
    const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe");
    EXPECT_EQ(std::filesystem::weakly_canonical(path), self.parent_path() / "Velmora.ini");
}
