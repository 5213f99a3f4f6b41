#include <velmora/engine/app_config.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

const std::string minimal = "[network]\nserver_ip = 127.0.0.1\n[asio]\ndriver_name = dev\n";

using Check = std::function<void(const AppConfig::Settings&)>;

struct Case {
    const char* name;
    std::string text;
    std::string error; // empty: the load must succeed
    Check check;
};

void run_cases(const std::vector<Case>& cases) {
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        AppConfig::Settings settings;
        std::string error;
        const bool ok = AppConfig::load_from_text(c.text, settings, error);
        if (c.error.empty()) {
            ASSERT_TRUE(ok) << error;
            if (c.check) {
                c.check(settings);
            }
        } else {
            EXPECT_FALSE(ok);
            EXPECT_EQ(error, c.error);
        }
    }
}

// An INI document kept as sections of keys, so a test can break or repair one key at a time.
class IniDocument {
public:
    void set(const std::string& section, const std::string& key, const std::string& value) {
        sections_[section][key] = value;
    }
    std::string text() const {
        std::string out;
        for (const auto& [section, keys] : sections_) {
            out += "[" + section + "]\n";
            for (const auto& [key, value] : keys) {
                out += key + " = " + value + "\n";
            }
        }
        return out;
    }

private:
    std::map<std::string, std::map<std::string, std::string>> sections_;
};

struct Repair {
    std::string expected_error;
    std::string section;
    std::string key;
    std::string value;
};

// Loads, expects the step's message, applies its repair, and goes on; the document must load
// after the last repair.
void walk_repairs(IniDocument document, const std::vector<Repair>& repairs) {
    for (const Repair& repair : repairs) {
        AppConfig::Settings settings;
        std::string error;
        ASSERT_FALSE(AppConfig::load_from_text(document.text(), settings, error)) << repair.expected_error;
        ASSERT_EQ(error, repair.expected_error);
        document.set(repair.section, repair.key, repair.value);
    }
    AppConfig::Settings settings;
    std::string error;
    EXPECT_TRUE(AppConfig::load_from_text(document.text(), settings, error)) << error;
}

TEST(AppConfigGrammar, LinesSectionsKeysAndComments) {
    run_cases({
        {"empty file misses server_ip", "", "Missing required key [network] server_ip", {}},
        {"names are case-insensitive", "[Network]\nSERVER_IP = 10.0.0.2\n[ASIO]\nDriver_Name = Dev\n", "",
         [](const AppConfig::Settings& s) {
             EXPECT_EQ(s.client.server_ip, "10.0.0.2");
             EXPECT_EQ(s.audio.device_uid, "Dev");
         }},
        {"two-character header", "# comment\n\n[]\n", "Invalid section header at line 3", {}},
        {"unclosed header", "[network\nserver_ip=1\n", "Invalid section header at line 1", {}},
        {"blank between brackets is the empty section",
         "[ ]\nserver_ip = 1.1.1.1\n[asio]\ndriver_name=d\n",
         "Missing required key [network] server_ip",
         {}},
        {"keys before any header are in the empty section", "server_ip = 1.1.1.1\n" + minimal, "",
         [](const AppConfig::Settings& s) { EXPECT_EQ(s.client.server_ip, "127.0.0.1"); }},
        {"line without equals counts blank and comment lines",
         "; a\n\n# b\n[network]\nserver_ip\n",
         "Expected key=value at line 5",
         {}},
        {"carriage returns are dropped", "[network]\r\nserver_ip = 1.2.3.4\r\n[asio]\r\ndriver_name = d\r\n",
         "", [](const AppConfig::Settings& s) { EXPECT_EQ(s.client.server_ip, "1.2.3.4"); }},
        {"inline comment cut", "[network]\nserver_ip = x ; comment\n[asio]\ndriver_name = d # c\n", "",
         [](const AppConfig::Settings& s) {
             EXPECT_EQ(s.client.server_ip, "x");
             EXPECT_EQ(s.audio.device_uid, "d");
         }},
        {"quoted semicolon stays with its quotes",
         "[network]\nserver_ip = \"a;b\" ; c\n[asio]\ndriver_name=d\n", "",
         [](const AppConfig::Settings& s) { EXPECT_EQ(s.client.server_ip, "\"a;b\""); }},
        {"later key replaces earlier, sections merge",
         "[network]\nserver_ip = 1\n[asio]\ndriver_name=d\n[network]\nserver_ip = 2\nclient_id = 5\n", "",
         [](const AppConfig::Settings& s) {
             EXPECT_EQ(s.client.server_ip, "2");
             EXPECT_EQ(s.client.client_id, 5u);
         }},
        {"unknown sections and keys are ignored", minimal + "[other]\nx = y\n[network]\nfoo = bar\n", "", {}},
        {"value may contain equals", "[network]\nserver_ip = a=b\n[asio]\ndriver_name=d\n", "",
         [](const AppConfig::Settings& s) { EXPECT_EQ(s.client.server_ip, "a=b"); }},
        {"whitespace of every kind is trimmed",
         "\t[network] \v\nserver_ip\f=\t9.9.9.9 \n[asio]\ndriver_name=d\n", "",
         [](const AppConfig::Settings& s) { EXPECT_EQ(s.client.server_ip, "9.9.9.9"); }},
        {"bad line after a good file part still stops the load",
         minimal + "oops\n",
         "Expected key=value at line 5",
         {}},
    });
}

TEST(AppConfigTypes, NumbersBoolsAndLists) {
    const std::string net = "[asio]\ndriver_name=d\n[network]\nserver_ip=1.2.3.4\n";
    run_cases({
        {"uint16 overflow",
         net + "server_port = 65536\n",
         "Invalid uint16 value for [network] server_port",
         {}},
        {"hexadecimal port", net + "server_port = 0x6D6A\n", "",
         [](const AppConfig::Settings& s) { EXPECT_EQ(s.client.server_port, 28010); }},
        {"octal client id", net + "client_id = 010\n", "",
         [](const AppConfig::Settings& s) { EXPECT_EQ(s.client.client_id, 8u); }},
        {"uint32 maximum", net + "client_id = 4294967295\n", "",
         [](const AppConfig::Settings& s) { EXPECT_EQ(s.client.client_id, 4294967295u); }},
        {"uint32 overflow",
         net + "client_id = 4294967296\n",
         "Invalid uint32 value for [network] client_id",
         {}},
        {"trailing letters", net + "client_id = 12abc\n", "Invalid uint32 value for [network] client_id", {}},
        {"empty number", net + "client_id =\n", "Invalid uint32 value for [network] client_id", {}},
        {"negative uint32", net + "client_id = -1\n", "Invalid uint32 value for [network] client_id", {}},
        {"bare hex prefix", net + "client_id = 0x\n", "Invalid uint32 value for [network] client_id", {}},
        {"discovery_broadcast takes no words",
         net + "discovery_broadcast = true\n",
         "Invalid uint32 value for [network] discovery_broadcast",
         {}},
        {"discovery_broadcast 0", net + "discovery_broadcast = 0\n", "",
         [](const AppConfig::Settings& s) { EXPECT_FALSE(s.client.discovery_broadcast); }},
        {"discovery_broadcast 2", net + "discovery_broadcast = 2\n", "",
         [](const AppConfig::Settings& s) { EXPECT_TRUE(s.client.discovery_broadcast); }},
        {"size overflow",
         net + "[latency]\nclient_latency_blocks = 99999999999999999999999\n",
         "Invalid size value for [latency] client_latency_blocks",
         {}},
        {"bool words", net + "[test]\nloopback_device = YES\n", "",
         [](const AppConfig::Settings& s) { EXPECT_TRUE(s.test.loopback_device); }},
        {"bool off", net + "[test]\nloopback_device = Off\n", "",
         [](const AppConfig::Settings& s) { EXPECT_FALSE(s.test.loopback_device); }},
        {"bad bool",
         net + "[test]\nloopback_device = maybe\n",
         "Invalid bool value for [test] loopback_device",
         {}},
        {"bad integer",
         net + "[test]\nloopback_device=1\nloopback_drift_ppm = 1.5\n",
         "Invalid integer value for [test] loopback_drift_ppm",
         {}},
        {"negative integer", net + "[test]\nloopback_device=1\nloopback_drift_ppm = -250\n", "",
         [](const AppConfig::Settings& s) { EXPECT_EQ(s.audio.loopback_drift_ppm, -250); }},
        {"list with an empty item", net + "[velmora]\ndriver_inputs = 1,,2\n", "",
         [](const AppConfig::Settings& s) {
             EXPECT_EQ(s.client.driver_inputs, (std::vector<std::int64_t>{1, 2}));
         }},
        {"empty list", net + "[velmora]\ndriver_outputs =\n", "",
         [](const AppConfig::Settings& s) { EXPECT_TRUE(s.client.driver_outputs.empty()); }},
        {"bad list item as written",
         net + "[velmora]\ndriver_inputs = 1,  x2 ,3\n",
         "Invalid integer list for [velmora] driver_inputs: Invalid integer list item: x2",
         {}},
        {"hex list items", net + "[asio]\noutput_map = 0x3, 07\n", "",
         [](const AppConfig::Settings& s) {
             EXPECT_EQ(s.audio.output_channel_map, (std::vector<long>{3, 7}));
         }},
        {"udp payload 51",
         net + "[transport]\nudp_payload_bytes = 51\n",
         "Invalid uint32 value for [transport] udp_payload_bytes",
         {}},
        {"udp payload 65508",
         net + "[transport]\nudp_payload_bytes = 65508\n",
         "Invalid uint32 value for [transport] udp_payload_bytes",
         {}},
        {"udp payload 52", net + "[transport]\nudp_payload_bytes = 52\n", "",
         [](const AppConfig::Settings& s) { EXPECT_EQ(s.client.udp_payload_bytes, 52u); }},
        {"udp payload 65507", net + "[transport]\nudp_payload_bytes = 65507\n", "",
         [](const AppConfig::Settings& s) { EXPECT_EQ(s.client.udp_payload_bytes, 65507u); }},
    });
}

TEST(AppConfigDefaults, EveryDefaultOfAMinimalFile) {
    AppConfig::Settings s;
    std::string error;
    ASSERT_TRUE(AppConfig::load_from_text(minimal, s, error)) << error;
    const auto& c = s.client;
    EXPECT_EQ(std::vector<std::uint64_t>({c.client_id, c.server_port, c.client_latency_blocks,
                                          c.announce_period_ms, c.discovery_timeout_ms, c.discovery_broadcast,
                                          c.recv_buffer_bytes, c.send_buffer_bytes, c.udp_payload_bytes,
                                          c.input_queue_target_blocks, c.input_queue_max_blocks,
                                          c.input_latency_blocks, c.output_latency_blocks}),
              std::vector<std::uint64_t>({1, 28010, 6, 1000, 500, 1, 1048576, 1048576, 1200, 2, 12, 6, 6}));
    EXPECT_EQ(c.driver_inputs, (std::vector<std::int64_t>{2, 3}));
    EXPECT_EQ(c.driver_outputs, (std::vector<std::int64_t>{0, 1}));
    const auto& a = s.audio;
    EXPECT_EQ(a.output_channel_map, (std::vector<long>{0, 1}));
    EXPECT_EQ(a.input_channel_map, (std::vector<long>{0, 1}));
    EXPECT_EQ(std::vector<std::uint64_t>({a.sample_rate, a.block_frames, a.prebuffer_blocks,
                                          a.target_queue_depth, a.max_queue_blocks, s.test.loopback_device}),
              std::vector<std::uint64_t>({48000, 128, 6, 6, 10, 0}));
}

TEST(AppConfigDerivation, QueueSizesFollowTheLatency) {
    struct Row {
        std::size_t latency, max_queue, input_max;
    };
    for (const Row row : {Row{1, 6, 8}, Row{2, 6, 8}, Row{3, 7, 9}, Row{6, 10, 12}, Row{128, 132, 134}}) {
        SCOPED_TRACE(row.latency);
        AppConfig::Settings s;
        std::string error;
        ASSERT_TRUE(AppConfig::load_from_text(
            minimal + "[latency]\nclient_latency_blocks = " + std::to_string(row.latency) + "\n", s, error))
            << error;
        EXPECT_EQ(s.audio.prebuffer_blocks, row.latency);
        EXPECT_EQ(s.audio.target_queue_depth, row.latency);
        EXPECT_EQ(s.audio.max_queue_blocks, row.max_queue);
        EXPECT_EQ(s.client.input_queue_max_blocks, row.input_max);
        EXPECT_EQ(s.client.input_latency_blocks, row.latency);
        EXPECT_EQ(s.client.output_latency_blocks, row.latency);
    }
}

TEST(AppConfigCoreAudio, CoreAudioSectionReplacesAsio) {
    run_cases({
        {"device_uid wins over driver_name",
         "[network]\nserver_ip=a\n[coreaudio]\ndevice_uid = X\n[asio]\ndriver_name = Y\ninput_map = 7\n", "",
         [](const AppConfig::Settings& s) {
             EXPECT_EQ(s.audio.device_uid, "X");
             EXPECT_EQ(s.audio.input_channel_map, (std::vector<long>{0, 1}));
         }},
        {"maps come from coreaudio",
         "[network]\nserver_ip=a\n[CoreAudio]\nDevice_UID = uid:1\ninput_map = 4,5\noutput_map = 6\n", "",
         [](const AppConfig::Settings& s) {
             EXPECT_EQ(s.audio.device_uid, "uid:1");
             EXPECT_EQ(s.audio.input_channel_map, (std::vector<long>{4, 5}));
             EXPECT_EQ(s.audio.output_channel_map, (std::vector<long>{6}));
         }},
        {"coreaudio without device_uid has an empty name",
         "[network]\nserver_ip=a\n[coreaudio]\ninput_map = 1\n[asio]\ndriver_name = Y\n",
         "driver_name must be non-empty",
         {}},
        {"empty coreaudio header alone changes nothing",
         "[network]\nserver_ip=a\n[coreaudio]\n[asio]\ndriver_name=Y\n", "",
         [](const AppConfig::Settings& s) { EXPECT_EQ(s.audio.device_uid, "Y"); }},
        {"coreaudio list errors name the asio key",
         "[network]\nserver_ip=a\n[coreaudio]\ndevice_uid=X\ninput_map=z\n",
         "Invalid integer list for [asio] input_map: Invalid integer list item: z",
         {}},
    });
}

TEST(AppConfigLoopback, LoopbackRelaxesTheDeviceChecksOnly) {
    const std::string net = "[network]\nserver_ip=a\n";
    run_cases({
        {"empty name and odd maps with loopback",
         net + "[asio]\ndriver_name=\ninput_map=-1,-1\noutput_map=3,3\n[test]\nloopback_device=yes\n", "",
         [](const AppConfig::Settings& s) { EXPECT_TRUE(s.test.loopback_device); }},
        {"missing driver_name key still fails",
         net + "[test]\nloopback_device=1\n",
         "Missing required key [asio] driver_name",
         {}},
        {"drift limit holds with loopback",
         net + "[asio]\ndriver_name=\n[test]\nloopback_device=1\nloopback_drift_ppm=200000\n",
         "loopback_drift_ppm must be in range -100000..100000",
         {}},
        {"fault injection needs loopback",
         net + "[asio]\ndriver_name=d\n[test]\nloopback_callback_skip_every=3\n",
         "loopback fault injection requires [test] loopback_device=1",
         {}},
        {"every fault key counts",
         net + "[asio]\ndriver_name=d\n[test]\nloopback_device_lost_duration_ms=1\n",
         "loopback fault injection requires [test] loopback_device=1",
         {}},
        {"empty name without loopback", net + "[asio]\ndriver_name=\n", "driver_name must be non-empty", {}},
        {"all fault keys load",
         net + "[asio]\ndriver_name=\n[test]\nloopback_device=on\nloopback_drift_ppm=-100000\n"
               "loopback_callback_jitter_max_ms=1000\nloopback_callback_skip_every=10\n"
               "loopback_callback_skip_count=128\nloopback_callback_duplicate_every=11\n"
               "loopback_callback_duplicate_count=2\nloopback_callback_stall_every_ms=1000\n"
               "loopback_callback_stall_duration_ms=1000\nloopback_input_silence_every_ms=900\n"
               "loopback_input_silence_duration_ms=20\nloopback_device_lost_after_ms=5000\n"
               "loopback_device_lost_duration_ms=10000\n",
         "",
         [](const AppConfig::Settings& s) {
             const AudioDeviceSettings& a = s.audio;
             EXPECT_EQ(a.loopback_drift_ppm, -100000);
             EXPECT_EQ(std::vector<std::uint64_t>(
                           {a.loopback_callback_jitter_max_ms, a.loopback_callback_skip_every,
                            a.loopback_callback_skip_count, a.loopback_callback_duplicate_every,
                            a.loopback_callback_duplicate_count, a.loopback_callback_stall_every_ms,
                            a.loopback_callback_stall_duration_ms, a.loopback_input_silence_every_ms,
                            a.loopback_input_silence_duration_ms, a.loopback_device_lost_after_ms,
                            a.loopback_device_lost_duration_ms}),
                       std::vector<std::uint64_t>({1000, 10, 128, 11, 2, 1000, 1000, 900, 20, 5000, 10000}));
         }},
        {"silence longer than its period",
         net + "[asio]\ndriver_name=\n[test]\nloopback_device=1\n"
               "loopback_input_silence_every_ms=100\nloopback_input_silence_duration_ms=101\n",
         "loopback_input_silence_duration_ms must be <= loopback_input_silence_every_ms",
         {}},
    });
}

TEST(AppConfigOrder, KeysAreReadInTheirOrder) {
    IniDocument doc;
    doc.set("network", "server_port", "x");
    doc.set("network", "client_id", "x");
    doc.set("network", "discovery_timeout_ms", "x");
    doc.set("network", "discovery_broadcast", "x");
    doc.set("protocol", "announce_period_ms", "x");
    doc.set("latency", "client_latency_blocks", "x");
    doc.set("velmora", "driver_inputs", "x");
    doc.set("velmora", "driver_outputs", "y");
    doc.set("asio", "input_map", "z");
    doc.set("asio", "output_map", "w");
    doc.set("socket", "recv_buffer_bytes", "x");
    doc.set("socket", "send_buffer_bytes", "x");
    doc.set("transport", "udp_payload_bytes", "x");
    doc.set("test", "loopback_device", "x");
    doc.set("test", "loopback_drift_ppm", "x");
    const char* test_uint_keys[] = {
        "loopback_callback_jitter_max_ms",     "loopback_callback_skip_every",
        "loopback_callback_skip_count",        "loopback_callback_duplicate_every",
        "loopback_callback_duplicate_count",   "loopback_callback_stall_every_ms",
        "loopback_callback_stall_duration_ms", "loopback_input_silence_every_ms",
        "loopback_input_silence_duration_ms",  "loopback_device_lost_after_ms",
        "loopback_device_lost_duration_ms"};
    for (const char* key : test_uint_keys) {
        doc.set("test", key, "x");
    }
    std::vector<Repair> repairs = {
        {"Missing required key [network] server_ip", "network", "server_ip", "127.0.0.1"},
        {"Invalid uint16 value for [network] server_port", "network", "server_port", "28010"},
        {"Invalid uint32 value for [network] client_id", "network", "client_id", "3"},
        {"Invalid uint32 value for [network] discovery_timeout_ms", "network", "discovery_timeout_ms", "500"},
        {"Invalid uint32 value for [network] discovery_broadcast", "network", "discovery_broadcast", "1"},
        {"Invalid uint32 value for [protocol] announce_period_ms", "protocol", "announce_period_ms", "1000"},
        {"Invalid size value for [latency] client_latency_blocks", "latency", "client_latency_blocks", "6"},
        {"Invalid integer list for [velmora] driver_inputs: Invalid integer list item: x", "velmora",
         "driver_inputs", "2"},
        {"Invalid integer list for [velmora] driver_outputs: Invalid integer list item: y", "velmora",
         "driver_outputs", "0"},
        {"Missing required key [asio] driver_name", "asio", "driver_name", "dev"},
        {"Invalid integer list for [asio] input_map: Invalid integer list item: z", "asio", "input_map", "0"},
        {"Invalid integer list for [asio] output_map: Invalid integer list item: w", "asio", "output_map",
         "1"},
        {"Invalid uint32 value for [socket] recv_buffer_bytes", "socket", "recv_buffer_bytes", "1"},
        {"Invalid uint32 value for [socket] send_buffer_bytes", "socket", "send_buffer_bytes", "1"},
        {"Invalid uint32 value for [transport] udp_payload_bytes", "transport", "udp_payload_bytes", "10"},
        // The range check of the payload comes before any [test] key is read.
        {"Invalid uint32 value for [transport] udp_payload_bytes", "transport", "udp_payload_bytes", "1200"},
        {"Invalid bool value for [test] loopback_device", "test", "loopback_device", "1"},
        {"Invalid integer value for [test] loopback_drift_ppm", "test", "loopback_drift_ppm", "0"},
    };
    for (const char* key : test_uint_keys) {
        repairs.push_back({std::string("Invalid uint32 value for [test] ") + key, "test", key, "0"});
    }
    walk_repairs(doc, repairs);
}

TEST(AppConfigOrder, ValidationsAreCheckedInTheirOrder) {
    IniDocument doc;
    doc.set("network", "server_ip", "");
    doc.set("network", "client_id", "0");
    doc.set("network", "server_port", "0");
    doc.set("network", "discovery_timeout_ms", "10001");
    doc.set("protocol", "announce_period_ms", "0");
    doc.set("latency", "client_latency_blocks", "0");
    doc.set("velmora", "driver_inputs", "3, -1, 3");
    doc.set("velmora", "driver_outputs", "40, 40");
    doc.set("asio", "driver_name", "");
    doc.set("asio", "input_map", "-2");
    doc.set("asio", "output_map", "1, 1");
    doc.set("test", "loopback_drift_ppm", "100001");
    doc.set("test", "loopback_callback_jitter_max_ms", "1001");
    doc.set("test", "loopback_callback_skip_count", "129");
    doc.set("test", "loopback_callback_duplicate_count", "129");
    doc.set("test", "loopback_callback_stall_duration_ms", "1001");
    doc.set("test", "loopback_input_silence_duration_ms", "1001");
    doc.set("test", "loopback_device_lost_duration_ms", "10001");
    walk_repairs(
        doc,
        {
            {"client_id must be non-zero", "network", "client_id", "7"},
            {"server_ip must be non-empty", "network", "server_ip", "10.1.1.1"},
            {"server_port must be greater than zero", "network", "server_port", "1"},
            {"discovery_timeout_ms must be in range 1..10000", "network", "discovery_timeout_ms", "0"},
            {"discovery_timeout_ms must be in range 1..10000", "network", "discovery_timeout_ms", "10000"},
            {"announce_period_ms must be greater than zero", "protocol", "announce_period_ms", "4000"},
            {"client_latency_blocks must be greater than zero", "latency", "client_latency_blocks", "129"},
            {"client_latency_blocks must be <= 128", "latency", "client_latency_blocks", "128"},
            {"announce_period_ms must be smaller than 4000", "protocol", "announce_period_ms", "3999"},
            {"driver_inputs contains negative channel index: -1", "velmora", "driver_inputs", "3, 3, 40"},
            {"driver_inputs contains duplicate channel index: 3", "velmora", "driver_inputs", "3, 32"},
            {"driver_inputs contains out-of-range driver channel index: 32 (expected 0..31)", "velmora",
             "driver_inputs", "31, 0"},
            {"driver_outputs contains duplicate channel index: 40", "velmora", "driver_outputs", "40"},
            {"driver_outputs contains out-of-range driver channel index: 40 (expected 0..31)", "velmora",
             "driver_outputs", "0"},
            {"input_map contains negative channel index: -2", "asio", "input_map", "64"},
            {"output_map contains duplicate channel index: 1", "asio", "output_map", "1"},
            {"driver_name must be non-empty", "asio", "driver_name", "dev"},
            {"loopback fault injection requires [test] loopback_device=1", "test", "loopback_device", "1"},
            {"loopback_drift_ppm must be in range -100000..100000", "test", "loopback_drift_ppm", "-100001"},
            {"loopback_drift_ppm must be in range -100000..100000", "test", "loopback_drift_ppm", "-100000"},
            {"loopback_callback_jitter_max_ms must be <= 1000", "test", "loopback_callback_jitter_max_ms",
             "1000"},
            {"loopback_callback_skip_count requires loopback_callback_skip_every", "test",
             "loopback_callback_skip_every", "1"},
            {"loopback_callback_skip_count must be <= 128", "test", "loopback_callback_skip_count", "128"},
            {"loopback_callback_duplicate_count requires loopback_callback_duplicate_every", "test",
             "loopback_callback_duplicate_every", "1"},
            {"loopback_callback_duplicate_count must be <= 128", "test", "loopback_callback_duplicate_count",
             "128"},
            {"loopback_callback_stall_duration_ms requires loopback_callback_stall_every_ms", "test",
             "loopback_callback_stall_every_ms", "500"},
            {"loopback_callback_stall_duration_ms must be <= 1000", "test",
             "loopback_callback_stall_duration_ms", "501"},
            {"loopback_callback_stall_duration_ms must be <= loopback_callback_stall_every_ms", "test",
             "loopback_callback_stall_duration_ms", "500"},
            {"loopback_input_silence_duration_ms requires loopback_input_silence_every_ms", "test",
             "loopback_input_silence_every_ms", "2000"},
            {"loopback_input_silence_duration_ms must be <= 1000", "test",
             "loopback_input_silence_duration_ms", "1000"},
            {"loopback_device_lost_duration_ms requires loopback_device_lost_after_ms", "test",
             "loopback_device_lost_after_ms", "1"},
            {"loopback_device_lost_duration_ms must be <= 10000", "test", "loopback_device_lost_duration_ms",
             "10000"},
        });
}

TEST(AppConfigFile, ReadsAFileAndAFailedLoadLeavesTheRecordUntouched) {
    const std::string path =
        std::filesystem::temp_directory_path() / ("velmora_app_config_" + std::to_string(::getpid()));
    std::ofstream(path, std::ios::binary)
        << "[network]\r\nserver_ip = 192.168.1.20\r\nclient_id = 0x10\r\n[coreaudio]\r\ndevice_uid = uid\r\n";
    AppConfig::Settings settings;
    settings.client.server_port = 1;
    std::string error;
    ASSERT_TRUE(AppConfig::load_from_file(path, settings, error)) << error;
    std::remove(path.c_str());
    EXPECT_EQ(settings.client.server_ip, "192.168.1.20");
    EXPECT_EQ(settings.client.client_id, 16u);
    EXPECT_EQ(settings.client.server_port, 28010)
        << "the load starts from the defaults, not the caller's record";
    EXPECT_EQ(settings.audio.device_uid, "uid");

    EXPECT_FALSE(AppConfig::load_from_file("/nonexistent/velmora.ini", settings, error));
    EXPECT_EQ(error, "Cannot open config file: /nonexistent/velmora.ini");
    const std::string directory = std::filesystem::temp_directory_path().string();
    EXPECT_FALSE(AppConfig::load_from_file(directory, settings, error));
    EXPECT_EQ(error, "Cannot open config file: " + directory);
    // Fails only at the last validation, after every key has been read into the loader's copy.
    EXPECT_FALSE(AppConfig::load_from_text(minimal + "[network]\nclient_id = 9\n[test]\nloopback_device=1\n"
                                                     "loopback_device_lost_duration_ms = 3\n",
                                           settings, error));
    EXPECT_EQ(error, "loopback_device_lost_duration_ms requires loopback_device_lost_after_ms");
    EXPECT_EQ(settings.client.server_ip, "192.168.1.20");
    EXPECT_EQ(settings.client.client_id, 16u);
    EXPECT_EQ(settings.audio.device_uid, "uid");
    EXPECT_FALSE(settings.test.loopback_device);
}

} // namespace
