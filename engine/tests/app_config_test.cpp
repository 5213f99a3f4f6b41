// The configuration loader: many small files in one table, and the order in which keys are read
// and the record validated (the first problem found is the one message).
#include <velmora/engine/app_config.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

using Settings = AppConfig::Settings;

const std::string minimal = "[network]\nserver_ip = 127.0.0.1\n[asio]\ndriver_name = dev\n";
const std::string net = "[asio]\ndriver_name=d\n[network]\nserver_ip=1.2.3.4\n";
const std::string loopback = "[network]\nserver_ip=a\n[asio]\ndriver_name=\n[test]\nloopback_device=1\n";

template <typename T>
std::string text_of(const std::vector<T>& list) {
    std::string text;
    for (const T& item : list) {
        text += std::to_string(item) + ",";
    }
    return text;
}

// What a loaded file says, one field (or a few) as text. Without a field a case expects a failure.
using Field = std::function<std::string(const Settings&)>;
const Field fails;
const Field ip = [](const Settings& s) { return s.client.server_ip; };
const Field ip_uid = [](const Settings& s) { return s.client.server_ip + "/" + s.audio.device_uid; };
const Field port = [](const Settings& s) { return std::to_string(s.client.server_port); };
const Field id = [](const Settings& s) { return std::to_string(s.client.client_id); };
const Field broadcast = [](const Settings& s) { return std::to_string(s.client.discovery_broadcast); };
const Field payload = [](const Settings& s) { return std::to_string(s.client.udp_payload_bytes); };
const Field channels = [](const Settings& s) {
    return text_of(s.client.driver_inputs) + "/" + text_of(s.client.driver_outputs);
};
const Field device = [](const Settings& s) {
    return s.audio.device_uid + " " + text_of(s.audio.input_channel_map) + "/" +
           text_of(s.audio.output_channel_map);
};
const Field test_keys = [](const Settings& s) {
    const AudioDeviceSettings& a = s.audio;
    return std::to_string(s.test.loopback_device) + ":" + std::to_string(a.loopback_drift_ppm) + ":" +
           text_of(std::vector<std::uint64_t>(
               {a.loopback_callback_jitter_max_ms, a.loopback_callback_skip_every,
                a.loopback_callback_skip_count, a.loopback_callback_duplicate_every,
                a.loopback_callback_duplicate_count, a.loopback_callback_stall_every_ms,
                a.loopback_callback_stall_duration_ms, a.loopback_input_silence_every_ms,
                a.loopback_input_silence_duration_ms, a.loopback_device_lost_after_ms,
                a.loopback_device_lost_duration_ms}));
};

// prebuffer, target depth, playback queue maximum, input queue maximum, input and output latency
const Field queues = [](const Settings& s) {
    return text_of(std::vector<std::size_t>{s.audio.prebuffer_blocks, s.audio.target_queue_depth,
                                            s.audio.max_queue_blocks, s.client.input_queue_max_blocks,
                                            s.client.input_latency_blocks, s.client.output_latency_blocks});
};

struct Case {
    std::string text;
    Field field;
    std::string expected; // the field's text, or the failure's message
};

void check(const std::vector<Case>& cases) {
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        Settings settings;
        std::string error;
        EXPECT_EQ(AppConfig::load_from_text(c.text, settings, error), c.field != nullptr) << error;
        EXPECT_EQ(c.field ? c.field(settings) : error, c.expected);
    }
}

TEST(AppConfigTable, ManySmallFiles) {
    const std::string bad_id = "Invalid uint32 value for [network] client_id";
    const std::string bad_payload = "Invalid uint32 value for [transport] udp_payload_bytes";
    const std::string server = "[network]\nserver_ip=a\n";
    const std::string latency = minimal + "[latency]\nclient_latency_blocks = ";
    check({
        // Lines, sections, keys and comments.
        {"[Network]\nSERVER_IP = 10.0.0.2\n[ASIO]\nDriver_Name = Dev\n", ip_uid, "10.0.0.2/Dev"},
        {"server_ip = 1.1.1.1\n" + minimal, ip, "127.0.0.1"}, // before any header: the empty section
        {"[network]\nserver_ip = x ; comment\n[asio]\ndriver_name = d # c\n", ip_uid, "x/d"},
        {"[network]\nserver_ip = \"a;b\" ; c\n[asio]\ndriver_name=d\n", ip, "\"a;b\""}, // quotes keep a ';'
        // A later key replaces an earlier one; sections merge.
        {"[network]\nserver_ip = 1\n[asio]\ndriver_name=d\n[network]\nserver_ip = 2\nclient_id = 5\n",
         [](const Settings& s) { return ip(s) + "/" + id(s); }, "2/5"},
        {minimal + "[other]\nx = y\n[network]\nfoo = bar\n", ip, "127.0.0.1"}, // unknown sections and keys
        {"[network]\nserver_ip = a=b\n[asio]\ndriver_name=d\n", ip, "a=b"},
        {"\t[network] \v\nserver_ip\f=\t9.9.9.9 \n[asio]\ndriver_name=d\n", ip, "9.9.9.9"}, // every blank
        {"", fails, "Missing required key [network] server_ip"},
        {"# comment\n\n[]\n", fails, "Invalid section header at line 3"},
        {"[network\nserver_ip=1\n", fails, "Invalid section header at line 1"},
        {"[ ]\nserver_ip = 1.1.1.1\n[asio]\ndriver_name=d\n", fails,
         "Missing required key [network] server_ip"},
        {"; a\n\n# b\n[network]\nserver_ip\n", fails, "Expected key=value at line 5"}, // all lines count
        {minimal + "oops\n", fails, "Expected key=value at line 5"},
        // Numbers, bools and lists.
        {net + "server_port = 0x6D6A\n", port, "28010"},
        {net + "client_id = 010\n", id, "8"},
        {net + "client_id = 4294967295\n", id, "4294967295"},
        {net + "discovery_broadcast = 0\n", broadcast, "0"},
        {net + "discovery_broadcast = 2\n", broadcast, "1"},
        {net + "[test]\nloopback_device = YES\n", test_keys, "1:0:0,0,0,0,0,0,0,0,0,0,0,"},
        {net + "[test]\nloopback_device = Off\n", test_keys, "0:0:0,0,0,0,0,0,0,0,0,0,0,"},
        {net + "[velmora]\ndriver_inputs = 1,,2\ndriver_outputs =\n", channels, "1,2,/"},
        {net + "[asio]\noutput_map = 0x3, 07\n", device, "d 0,1,/3,7,"},
        {net + "[transport]\nudp_payload_bytes = 52\n", payload, "52"},
        {net + "[transport]\nudp_payload_bytes = 65507\n", payload, "65507"},
        {net + "server_port = 65536\n", fails, "Invalid uint16 value for [network] server_port"},
        {net + "client_id = 4294967296\n", fails, bad_id},
        {net + "client_id = 12abc\n", fails, bad_id},
        {net + "client_id =\n", fails, bad_id},
        {net + "client_id = -1\n", fails, bad_id},
        {net + "client_id = 0x\n", fails, bad_id},
        {net + "discovery_broadcast = true\n", fails,
         "Invalid uint32 value for [network] discovery_broadcast"},
        {net + "[latency]\nclient_latency_blocks = 99999999999999999999999\n", fails,
         "Invalid size value for [latency] client_latency_blocks"},
        {net + "[test]\nloopback_device=1\nloopback_drift_ppm = 1.5\n", fails,
         "Invalid integer value for [test] loopback_drift_ppm"},
        {net + "[velmora]\ndriver_inputs = 1,  x2 ,3\n", fails,
         "Invalid integer list for [velmora] driver_inputs: Invalid integer list item: x2"},
        {net + "[transport]\nudp_payload_bytes = 51\n", fails, bad_payload},
        {net + "[transport]\nudp_payload_bytes = 65508\n", fails, bad_payload},
        // Any key in [coreaudio] replaces [asio] whole; an empty [coreaudio] alone does not.
        {server + "[coreaudio]\ndevice_uid = X\n[asio]\ndriver_name = Y\ninput_map = 7\n", device,
         "X 0,1,/0,1,"},
        {server + "[CoreAudio]\nDevice_UID = uid:1\ninput_map = 4,5\noutput_map = 6\n", device,
         "uid:1 4,5,/6,"},
        {server + "[coreaudio]\n[asio]\ndriver_name=Y\n", device, "Y 0,1,/0,1,"},
        {server + "[coreaudio]\ninput_map = 1\n[asio]\ndriver_name = Y\n", fails,
         "driver_name must be non-empty"},
        {server + "[coreaudio]\ndevice_uid=X\ninput_map=z\n", fails,
         "Invalid integer list for [asio] input_map: Invalid integer list item: z"},
        // The loopback relaxes the device checks only.
        {loopback + "[asio]\ninput_map=-1,-1\noutput_map=3,3\n", device, " -1,-1,/3,3,"},
        {loopback + "loopback_drift_ppm=-100000\nloopback_callback_jitter_max_ms=1000\n"
                    "loopback_callback_skip_every=10\nloopback_callback_skip_count=128\n"
                    "loopback_callback_duplicate_every=11\nloopback_callback_duplicate_count=2\n"
                    "loopback_callback_stall_every_ms=1000\nloopback_callback_stall_duration_ms=1000\n"
                    "loopback_input_silence_every_ms=900\nloopback_input_silence_duration_ms=20\n"
                    "loopback_device_lost_after_ms=5000\nloopback_device_lost_duration_ms=10000\n",
         test_keys, "1:-100000:1000,10,128,11,2,1000,1000,900,20,5000,10000,"},
        {server + "[test]\nloopback_device=1\n", fails, "Missing required key [asio] driver_name"},
        {server + "[asio]\ndriver_name=d\n[test]\nloopback_callback_skip_every=3\n", fails,
         "loopback fault injection requires [test] loopback_device=1"},
        {loopback + "loopback_input_silence_every_ms=100\nloopback_input_silence_duration_ms=101\n", fails,
         "loopback_input_silence_duration_ms must be <= loopback_input_silence_every_ms"},
        // The queue sizes follow the latency.
        {minimal, queues, "6,6,10,12,6,6,"},
        {latency + "1\n", queues, "1,1,6,8,1,1,"},
        {latency + "2\n", queues, "2,2,6,8,2,2,"},
        {latency + "3\n", queues, "3,3,7,9,3,3,"},
        {latency + "128\n", queues, "128,128,132,134,128,128,"},
    });
}

struct Repair {
    std::string error;
    std::string assignment; // section.key=value
};

std::string ini_line(const std::string& assignment) {
    const std::size_t dot = assignment.find('.');
    return "[" + assignment.substr(0, dot) + "]\n" + assignment.substr(dot + 1) + "\n";
}

// Loads, expects the step's message, appends its repair (a later key replaces an earlier one) and
// goes on; the file must load after the last repair.
void walk_repairs(std::string text, const std::vector<Repair>& repairs) {
    Settings settings;
    std::string error;
    for (const Repair& repair : repairs) {
        ASSERT_FALSE(AppConfig::load_from_text(text, settings, error)) << repair.error;
        ASSERT_EQ(error, repair.error);
        text += ini_line(repair.assignment);
    }
    EXPECT_TRUE(AppConfig::load_from_text(text, settings, error)) << error;
}

TEST(AppConfigOrder, KeysAreReadInTheirOrder) {
    const std::vector<Repair> repairs = {
        {"Missing required key [network] server_ip", "network.server_ip=127.0.0.1"},
        {"Invalid uint16 value for [network] server_port", "network.server_port=28010"},
        {"Invalid uint32 value for [network] client_id", "network.client_id=3"},
        {"Invalid uint32 value for [network] discovery_timeout_ms", "network.discovery_timeout_ms=500"},
        {"Invalid uint32 value for [network] discovery_broadcast", "network.discovery_broadcast=1"},
        {"Invalid uint32 value for [protocol] announce_period_ms", "protocol.announce_period_ms=1000"},
        {"Invalid size value for [latency] client_latency_blocks", "latency.client_latency_blocks=6"},
        {"Invalid integer list for [velmora] driver_inputs: Invalid integer list item: x",
         "velmora.driver_inputs=2"},
        {"Invalid integer list for [velmora] driver_outputs: Invalid integer list item: x",
         "velmora.driver_outputs=0"},
        {"Missing required key [asio] driver_name", "asio.driver_name=dev"},
        {"Invalid integer list for [asio] input_map: Invalid integer list item: x", "asio.input_map=0"},
        {"Invalid integer list for [asio] output_map: Invalid integer list item: x", "asio.output_map=1"},
        {"Invalid uint32 value for [socket] recv_buffer_bytes", "socket.recv_buffer_bytes=1"},
        {"Invalid uint32 value for [socket] send_buffer_bytes", "socket.send_buffer_bytes=1"},
        {"Invalid uint32 value for [transport] udp_payload_bytes", "transport.udp_payload_bytes=10"},
        // The range check of the payload comes before any [test] key is read.
        {"Invalid uint32 value for [transport] udp_payload_bytes", "transport.udp_payload_bytes=1200"},
        {"Invalid bool value for [test] loopback_device", "test.loopback_device=1"},
        {"Invalid integer value for [test] loopback_drift_ppm", "test.loopback_drift_ppm=0"},
        {"Invalid uint32 value for [test] loopback_callback_jitter_max_ms",
         "test.loopback_callback_jitter_max_ms=0"},
        {"Invalid uint32 value for [test] loopback_device_lost_duration_ms",
         "test.loopback_device_lost_duration_ms=0"},
    };
    // At first every key the walk repairs holds "x", and the required ones are missing.
    std::string text;
    for (const Repair& repair : repairs) {
        if (repair.error.rfind("Missing", 0) != 0) {
            text += ini_line(repair.assignment.substr(0, repair.assignment.find('=')) + "=x");
        }
    }
    walk_repairs(text, repairs);
}

TEST(AppConfigOrder, ValidationsAreCheckedInTheirOrder) {
    walk_repairs(
        "[network]\nserver_ip=\nclient_id=0\nserver_port=0\ndiscovery_timeout_ms=10001\n"
        "[protocol]\nannounce_period_ms=0\n[latency]\nclient_latency_blocks=0\n"
        "[velmora]\ndriver_inputs=3, -1, 3\ndriver_outputs=40, 40\n"
        "[asio]\ndriver_name=\ninput_map=-2\noutput_map=1, 1\n"
        "[test]\nloopback_drift_ppm=100001\nloopback_callback_jitter_max_ms=1001\n"
        "loopback_callback_skip_count=129\nloopback_callback_duplicate_count=129\n"
        "loopback_callback_stall_duration_ms=1001\nloopback_input_silence_duration_ms=1001\n"
        "loopback_device_lost_duration_ms=10001\n",
        {
            {"client_id must be non-zero", "network.client_id=7"},
            {"server_ip must be non-empty", "network.server_ip=10.1.1.1"},
            {"server_port must be greater than zero", "network.server_port=1"},
            {"discovery_timeout_ms must be in range 1..10000", "network.discovery_timeout_ms=0"},
            {"discovery_timeout_ms must be in range 1..10000", "network.discovery_timeout_ms=10000"},
            {"announce_period_ms must be greater than zero", "protocol.announce_period_ms=4000"},
            {"client_latency_blocks must be greater than zero", "latency.client_latency_blocks=129"},
            {"client_latency_blocks must be <= 128", "latency.client_latency_blocks=128"},
            {"announce_period_ms must be smaller than 4000", "protocol.announce_period_ms=3999"},
            {"driver_inputs contains negative channel index: -1", "velmora.driver_inputs=3, 3, 40"},
            {"driver_inputs contains duplicate channel index: 3", "velmora.driver_inputs=3, 32"},
            {"driver_inputs contains out-of-range driver channel index: 32 (expected 0..31)",
             "velmora.driver_inputs=31, 0"},
            {"driver_outputs contains duplicate channel index: 40", "velmora.driver_outputs=40"},
            {"driver_outputs contains out-of-range driver channel index: 40 (expected 0..31)",
             "velmora.driver_outputs=0"},
            {"input_map contains negative channel index: -2", "asio.input_map=64"},
            {"output_map contains duplicate channel index: 1", "asio.output_map=1"},
            {"driver_name must be non-empty", "asio.driver_name=dev"},
            {"loopback fault injection requires [test] loopback_device=1", "test.loopback_device=1"},
            {"loopback_drift_ppm must be in range -100000..100000", "test.loopback_drift_ppm=-100001"},
            {"loopback_drift_ppm must be in range -100000..100000", "test.loopback_drift_ppm=-100000"},
            {"loopback_callback_jitter_max_ms must be <= 1000", "test.loopback_callback_jitter_max_ms=1000"},
            {"loopback_callback_skip_count requires loopback_callback_skip_every",
             "test.loopback_callback_skip_every=1"},
            {"loopback_callback_skip_count must be <= 128", "test.loopback_callback_skip_count=128"},
            {"loopback_callback_duplicate_count requires loopback_callback_duplicate_every",
             "test.loopback_callback_duplicate_every=1"},
            {"loopback_callback_duplicate_count must be <= 128",
             "test.loopback_callback_duplicate_count=128"},
            {"loopback_callback_stall_duration_ms requires loopback_callback_stall_every_ms",
             "test.loopback_callback_stall_every_ms=500"},
            {"loopback_callback_stall_duration_ms must be <= 1000",
             "test.loopback_callback_stall_duration_ms=501"},
            {"loopback_callback_stall_duration_ms must be <= loopback_callback_stall_every_ms",
             "test.loopback_callback_stall_duration_ms=500"},
            {"loopback_input_silence_duration_ms requires loopback_input_silence_every_ms",
             "test.loopback_input_silence_every_ms=2000"},
            {"loopback_input_silence_duration_ms must be <= 1000",
             "test.loopback_input_silence_duration_ms=1000"},
            {"loopback_device_lost_duration_ms requires loopback_device_lost_after_ms",
             "test.loopback_device_lost_after_ms=1"},
            {"loopback_device_lost_duration_ms must be <= 10000",
             "test.loopback_device_lost_duration_ms=10000"},
        });
}

TEST(AppConfigFile, ReadsAFileAndAFailedLoadLeavesTheRecordUntouched) {
    const std::string path =
        std::filesystem::temp_directory_path() / ("velmora_app_config_" + std::to_string(::getpid()));
    std::ofstream(path, std::ios::binary)
        << "[network]\r\nserver_ip = 192.168.1.20\r\nclient_id = 0x10\r\n[coreaudio]\r\ndevice_uid = uid\r\n";
    Settings settings;
    settings.client.server_port = 1;
    std::string error;
    ASSERT_TRUE(AppConfig::load_from_file(path, settings, error)) << error;
    std::remove(path.c_str());
    const Field loaded = [](const Settings& s) { return ip_uid(s) + "/" + id(s) + "/" + port(s); };
    EXPECT_EQ(loaded(settings), "192.168.1.20/uid/16/28010") << "the load starts from the defaults";

    for (const std::string& bad :
         {std::string("/nonexistent/velmora.ini"), std::filesystem::temp_directory_path().string()}) {
        EXPECT_FALSE(AppConfig::load_from_file(bad, settings, error));
        EXPECT_EQ(error, "Cannot open config file: " + bad);
    }
    // Fails only at the last validation, after every key has been read into the loader's copy.
    EXPECT_FALSE(AppConfig::load_from_text(minimal + "[network]\nclient_id = 9\n[test]\nloopback_device=1\n"
                                                     "loopback_device_lost_duration_ms = 3\n",
                                           settings, error));
    EXPECT_EQ(error, "loopback_device_lost_duration_ms requires loopback_device_lost_after_ms");
    EXPECT_EQ(loaded(settings), "192.168.1.20/uid/16/28010");
    EXPECT_FALSE(settings.test.loopback_device);
}

} // namespace
