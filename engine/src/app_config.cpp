#include <velmora/engine/app_config.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <map>
#include <memory>
#include <set>
#include <string_view>
#include <vector>

namespace {

using Section = std::map<std::string, std::string>;
using Store = std::map<std::string, Section>;

constexpr std::uint32_t min_udp_payload_bytes = 52;
constexpr std::uint32_t max_udp_payload_bytes = 65507;
constexpr std::int64_t driver_channel_count = 32;

bool is_space(char c) {
    return std::isspace(static_cast<unsigned char>(c)) != 0;
}

std::string trim(std::string_view text) {
    std::size_t begin = 0;
    std::size_t end = text.size();
    while (begin < end && is_space(text[begin])) {
        ++begin;
    }
    while (end > begin && is_space(text[end - 1])) {
        --end;
    }
    return std::string(text.substr(begin, end - begin));
}

std::string lower_ascii(std::string text) {
    for (char& c : text) {
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
    }
    return text;
}

// Cuts the value at the first comment character outside double quotes.
std::string_view strip_inline_comment(std::string_view value) {
    bool quoted = false;
    for (std::size_t i = 0; i < value.size(); ++i) {
        const char c = value[i];
        if (c == '"') {
            quoted = !quoted;
        } else if (!quoted && (c == ';' || c == '#')) {
            return value.substr(0, i);
        }
    }
    return value;
}

bool parse_lines(const std::string& text, Store& store, std::string& error) {
    std::string section;
    std::size_t line_number = 0;
    std::size_t start = 0;
    while (start <= text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string::npos) {
            end = text.size();
        }
        ++line_number;
        std::string_view raw(text.data() + start, end - start);
        start = end + 1;
        if (!raw.empty() && raw.back() == '\r') {
            raw.remove_suffix(1);
        }
        const std::string line = trim(raw);
        if (line.empty() || line.front() == '#' || line.front() == ';') {
            continue;
        }
        if (line.front() == '[') {
            if (line.size() < 3 || line.back() != ']') {
                error = "Invalid section header at line " + std::to_string(line_number);
                return false;
            }
            section = lower_ascii(trim(std::string_view(line).substr(1, line.size() - 2)));
            continue;
        }
        const std::size_t equals = line.find('=');
        if (equals == std::string::npos) {
            error = "Expected key=value at line " + std::to_string(line_number);
            return false;
        }
        std::string key = lower_ascii(trim(std::string_view(line).substr(0, equals)));
        std::string value = trim(strip_inline_comment(std::string_view(line).substr(equals + 1)));
        store[section][std::move(key)] = std::move(value);
    }
    return true;
}

// The whole text must be one number; `strto*` in base 0 so hexadecimal and octal are accepted.
bool parse_unsigned(const std::string& text, unsigned long long max, unsigned long long& out) {
    if (text.empty()) {
        return false;
    }
    errno = 0;
    char* end = nullptr;
    const unsigned long long value = std::strtoull(text.c_str(), &end, 0);
    if (errno == ERANGE || end != text.c_str() + text.size() || value > max) {
        return false;
    }
    out = value;
    return true;
}

bool parse_signed(const std::string& text, std::int64_t& out) {
    if (text.empty()) {
        return false;
    }
    errno = 0;
    char* end = nullptr;
    const long long value = std::strtoll(text.c_str(), &end, 0);
    if (errno == ERANGE || end != text.c_str() + text.size()) {
        return false;
    }
    out = static_cast<std::int64_t>(value);
    return true;
}

// Reads typed keys out of the parsed store. Each read leaves its target alone when the key is
// absent and reports the first bad value through `error`.
class KeyReader {
public:
    KeyReader(const Store& store, std::string& error) : store_(store), error_(error) {}

    const std::string* find(const std::string& section, const std::string& key) const {
        const auto s = store_.find(section);
        if (s == store_.end()) {
            return nullptr;
        }
        const auto k = s->second.find(key);
        return k == s->second.end() ? nullptr : &k->second;
    }

    bool read_required_string(const std::string& section, const std::string& key, std::string& target) {
        const std::string* value = find(section, key);
        if (value == nullptr) {
            error_ = "Missing required key [" + section + "] " + key;
            return false;
        }
        target = *value;
        return true;
    }

    template <typename T>
    bool read_unsigned(const std::string& section, const std::string& key, const char* type_name,
                       unsigned long long max, T& target) {
        const std::string* value = find(section, key);
        if (value == nullptr) {
            return true;
        }
        unsigned long long parsed = 0;
        if (!parse_unsigned(*value, max, parsed)) {
            return fail(type_name, section, key);
        }
        target = static_cast<T>(parsed);
        return true;
    }

    bool read_uint32(const std::string& section, const std::string& key, std::uint32_t& target) {
        return read_unsigned(section, key, "uint32", std::numeric_limits<std::uint32_t>::max(), target);
    }

    bool read_uint16(const std::string& section, const std::string& key, std::uint16_t& target) {
        return read_unsigned(section, key, "uint16", std::numeric_limits<std::uint16_t>::max(), target);
    }

    bool read_size(const std::string& section, const std::string& key, std::size_t& target) {
        return read_unsigned(section, key, "size", std::numeric_limits<std::size_t>::max(), target);
    }

    bool read_integer(const std::string& section, const std::string& key, std::int64_t& target) {
        const std::string* value = find(section, key);
        if (value == nullptr) {
            return true;
        }
        if (!parse_signed(*value, target)) {
            return fail("integer", section, key);
        }
        return true;
    }

    bool read_bool(const std::string& section, const std::string& key, bool& target) {
        const std::string* value = find(section, key);
        if (value == nullptr) {
            return true;
        }
        const std::string word = lower_ascii(*value);
        if (word == "1" || word == "true" || word == "yes" || word == "on") {
            target = true;
        } else if (word == "0" || word == "false" || word == "no" || word == "off") {
            target = false;
        } else {
            return fail("bool", section, key);
        }
        return true;
    }

    template <typename T>
    bool read_integer_list(const std::string& section, const std::string& key, std::vector<T>& target) {
        const std::string* value = find(section, key);
        if (value == nullptr) {
            return true;
        }
        std::vector<T> list;
        std::size_t start = 0;
        while (start <= value->size()) {
            std::size_t comma = value->find(',', start);
            if (comma == std::string::npos) {
                comma = value->size();
            }
            const std::string item = trim(std::string_view(*value).substr(start, comma - start));
            start = comma + 1;
            if (item.empty()) {
                continue;
            }
            std::int64_t parsed = 0;
            if (!parse_signed(item, parsed)) {
                error_ = "Invalid integer list for [" + section + "] " + key +
                         ": Invalid integer list item: " + item;
                return false;
            }
            list.push_back(static_cast<T>(parsed));
        }
        target = std::move(list);
        return true;
    }

    bool fail(const char* type_name, const std::string& section, const std::string& key) {
        error_ = std::string("Invalid ") + type_name + " value for [" + section + "] " + key;
        return false;
    }

private:
    const Store& store_;
    std::string& error_;
};

// Element by element, a negative entry and then a repeated one; the driver range only once the
// whole list passed both, so {40, 40} reports the duplicate.
template <typename T>
bool check_channel_list(const std::vector<T>& list, const std::string& name, bool driver_range, std::string& error) {
    std::set<T> seen;
    for (const T element : list) {
        if (element < 0) {
            error = name + " contains negative channel index: " + std::to_string(element);
            return false;
        }
        if (!seen.insert(element).second) {
            error = name + " contains duplicate channel index: " + std::to_string(element);
            return false;
        }
    }
    if (driver_range) {
        for (const T element : list) {
            if (static_cast<std::int64_t>(element) >= driver_channel_count) {
                error = name + " contains out-of-range driver channel index: " + std::to_string(element) +
                        " (expected 0..31)";
                return false;
            }
        }
    }
    return true;
}

// A file written for the CoreAudio backend names its device [coreaudio] device_uid; it then
// stands in for the whole [asio] section.
void apply_coreaudio_section(Store& store) {
    const auto coreaudio = store.find("coreaudio");
    if (coreaudio == store.end() || coreaudio->second.empty()) {
        return;
    }
    Section asio = coreaudio->second;
    const auto uid = coreaudio->second.find("device_uid");
    asio["driver_name"] = uid == coreaudio->second.end() ? std::string() : uid->second;
    store["asio"] = std::move(asio);
}

bool read_keys(Store& store, AppConfig::Settings& settings, std::string& error) {
    KeyReader reader(store, error);
    VelmoraProtocol::ClientSettings& client = settings.client;
    AudioDeviceSettings& audio = settings.audio;

    if (!reader.read_required_string("network", "server_ip", client.server_ip) ||
        !reader.read_uint16("network", "server_port", client.server_port) ||
        !reader.read_uint32("network", "client_id", client.client_id) ||
        !reader.read_uint32("network", "discovery_timeout_ms", client.discovery_timeout_ms)) {
        return false;
    }
    // A number, not a bool word: older files wrote 0 or 1 here.
    std::uint32_t broadcast = client.discovery_broadcast ? 1 : 0;
    if (!reader.read_uint32("network", "discovery_broadcast", broadcast)) {
        return false;
    }
    client.discovery_broadcast = broadcast != 0;

    if (!reader.read_uint32("protocol", "announce_period_ms", client.announce_period_ms) ||
        !reader.read_size("latency", "client_latency_blocks", client.client_latency_blocks) ||
        !reader.read_integer_list("velmora", "driver_inputs", client.driver_inputs) ||
        !reader.read_integer_list("velmora", "driver_outputs", client.driver_outputs)) {
        return false;
    }

    apply_coreaudio_section(store);
    if (!reader.read_required_string("asio", "driver_name", audio.device_uid) ||
        !reader.read_integer_list("asio", "input_map", audio.input_channel_map) ||
        !reader.read_integer_list("asio", "output_map", audio.output_channel_map) ||
        !reader.read_uint32("socket", "recv_buffer_bytes", client.recv_buffer_bytes) ||
        !reader.read_uint32("socket", "send_buffer_bytes", client.send_buffer_bytes) ||
        !reader.read_uint32("transport", "udp_payload_bytes", client.udp_payload_bytes)) {
        return false;
    }

    // The fragment builder's limits: one 48-byte header plus at least one sample, at most one
    // IPv4 UDP payload.
    if (client.udp_payload_bytes < min_udp_payload_bytes || client.udp_payload_bytes > max_udp_payload_bytes) {
        return reader.fail("uint32", "transport", "udp_payload_bytes");
    }
    const std::size_t latency = client.client_latency_blocks;
    audio.prebuffer_blocks = latency;
    audio.target_queue_depth = latency;
    audio.max_queue_blocks = std::max<std::size_t>(latency + 4, 6);
    client.input_queue_max_blocks = std::max<std::size_t>(latency + 4 + client.input_queue_target_blocks, 8);
    client.input_latency_blocks = static_cast<std::uint32_t>(latency);
    client.output_latency_blocks = static_cast<std::uint32_t>(latency);

    return reader.read_bool("test", "loopback_device", settings.test.loopback_device) &&
           reader.read_integer("test", "loopback_drift_ppm", audio.loopback_drift_ppm) &&
           reader.read_uint32("test", "loopback_callback_jitter_max_ms", audio.loopback_callback_jitter_max_ms) &&
           reader.read_uint32("test", "loopback_callback_skip_every", audio.loopback_callback_skip_every) &&
           reader.read_uint32("test", "loopback_callback_skip_count", audio.loopback_callback_skip_count) &&
           reader.read_uint32("test", "loopback_callback_duplicate_every", audio.loopback_callback_duplicate_every) &&
           reader.read_uint32("test", "loopback_callback_duplicate_count", audio.loopback_callback_duplicate_count) &&
           reader.read_uint32("test", "loopback_callback_stall_every_ms", audio.loopback_callback_stall_every_ms) &&
           reader.read_uint32("test", "loopback_callback_stall_duration_ms", audio.loopback_callback_stall_duration_ms) &&
           reader.read_uint32("test", "loopback_input_silence_every_ms", audio.loopback_input_silence_every_ms) &&
           reader.read_uint32("test", "loopback_input_silence_duration_ms", audio.loopback_input_silence_duration_ms) &&
           reader.read_uint32("test", "loopback_device_lost_after_ms", audio.loopback_device_lost_after_ms) &&
           reader.read_uint32("test", "loopback_device_lost_duration_ms", audio.loopback_device_lost_duration_ms);
}

bool any_fault_injection(const AudioDeviceSettings& audio) {
    return audio.loopback_drift_ppm != 0 || audio.loopback_callback_jitter_max_ms != 0 ||
           audio.loopback_callback_skip_every != 0 || audio.loopback_callback_skip_count != 0 ||
           audio.loopback_callback_duplicate_every != 0 || audio.loopback_callback_duplicate_count != 0 ||
           audio.loopback_callback_stall_every_ms != 0 || audio.loopback_callback_stall_duration_ms != 0 ||
           audio.loopback_input_silence_every_ms != 0 || audio.loopback_input_silence_duration_ms != 0 ||
           audio.loopback_device_lost_after_ms != 0 || audio.loopback_device_lost_duration_ms != 0;
}

// A duration bounded by its period: "<duration> requires <every>", "<= cap", "<= <every>".
bool check_period_pair(std::uint32_t every, std::uint32_t duration, const char* every_name,
                       const char* duration_name, std::uint32_t cap, bool duration_within_every,
                       std::string& error) {
    if (duration != 0 && every == 0) {
        error = std::string(duration_name) + " requires " + every_name;
        return false;
    }
    if (duration > cap) {
        error = std::string(duration_name) + " must be <= " + std::to_string(cap);
        return false;
    }
    if (duration_within_every && every != 0 && duration > every) {
        error = std::string(duration_name) + " must be <= " + every_name;
        return false;
    }
    return true;
}

bool validate(const AppConfig::Settings& settings, std::string& error) {
    const VelmoraProtocol::ClientSettings& client = settings.client;
    const AudioDeviceSettings& audio = settings.audio;
    const bool loopback = settings.test.loopback_device;

    const auto fail = [&error](const char* message) {
        error = message;
        return false;
    };
    if (client.client_id == 0) {
        return fail("client_id must be non-zero");
    }
    if (client.server_ip.empty()) {
        return fail("server_ip must be non-empty");
    }
    if (client.server_port == 0) {
        return fail("server_port must be greater than zero");
    }
    if (client.discovery_timeout_ms < 1 || client.discovery_timeout_ms > 10000) {
        return fail("discovery_timeout_ms must be in range 1..10000");
    }
    if (client.announce_period_ms == 0) {
        return fail("announce_period_ms must be greater than zero");
    }
    if (client.client_latency_blocks == 0) {
        return fail("client_latency_blocks must be greater than zero");
    }
    if (client.client_latency_blocks > 128) {
        return fail("client_latency_blocks must be <= 128");
    }
    if (client.announce_period_ms >= 4000) {
        return fail("announce_period_ms must be smaller than 4000");
    }
    if (!check_channel_list(client.driver_inputs, "driver_inputs", true, error) ||
        !check_channel_list(client.driver_outputs, "driver_outputs", true, error)) {
        return false;
    }
    if (!loopback) {
        if (!check_channel_list(audio.input_channel_map, "input_map", false, error) ||
            !check_channel_list(audio.output_channel_map, "output_map", false, error)) {
            return false;
        }
        if (audio.device_uid.empty()) {
            return fail("driver_name must be non-empty");
        }
        if (any_fault_injection(audio)) {
            return fail("loopback fault injection requires [test] loopback_device=1");
        }
    }
    if (audio.loopback_drift_ppm < -100000 || audio.loopback_drift_ppm > 100000) {
        return fail("loopback_drift_ppm must be in range -100000..100000");
    }
    if (audio.loopback_callback_jitter_max_ms > 1000) {
        return fail("loopback_callback_jitter_max_ms must be <= 1000");
    }
    return check_period_pair(audio.loopback_callback_skip_every, audio.loopback_callback_skip_count,
                             "loopback_callback_skip_every", "loopback_callback_skip_count", 128, false, error) &&
           check_period_pair(audio.loopback_callback_duplicate_every, audio.loopback_callback_duplicate_count,
                             "loopback_callback_duplicate_every", "loopback_callback_duplicate_count", 128, false,
                             error) &&
           check_period_pair(audio.loopback_callback_stall_every_ms, audio.loopback_callback_stall_duration_ms,
                             "loopback_callback_stall_every_ms", "loopback_callback_stall_duration_ms", 1000, true,
                             error) &&
           check_period_pair(audio.loopback_input_silence_every_ms, audio.loopback_input_silence_duration_ms,
                             "loopback_input_silence_every_ms", "loopback_input_silence_duration_ms", 1000, true,
                             error) &&
           check_period_pair(audio.loopback_device_lost_after_ms, audio.loopback_device_lost_duration_ms,
                             "loopback_device_lost_after_ms", "loopback_device_lost_duration_ms", 10000, false,
                             error);
}

struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};

} // namespace

AppConfig::Settings AppConfig::default_settings() {
    Settings settings;
    settings.audio.output_channel_map = {0, 1};
    settings.audio.input_channel_map = {0, 1};
    return settings;
}

bool AppConfig::load_from_text(const std::string& text, Settings& settings, std::string& error) {
    Store store;
    std::string message;
    if (!parse_lines(text, store, message)) {
        error = message;
        return false;
    }
    Settings loaded = default_settings();
    if (!read_keys(store, loaded, message) || !validate(loaded, message)) {
        error = message;
        return false;
    }
    settings = std::move(loaded);
    return true;
}

bool AppConfig::load_from_file(const std::string& path, Settings& settings, std::string& error) {
    // Binary mode: line endings are handled by the grammar, not by the C library. A path that
    // opens but cannot be read (a directory) is reported like one that does not open.
    std::unique_ptr<std::FILE, FileCloser> file(std::fopen(path.c_str(), "rb"));
    std::string text;
    bool read_ok = file != nullptr;
    if (read_ok) {
        char buffer[8192];
        std::size_t count = 0;
        while ((count = std::fread(buffer, 1, sizeof buffer, file.get())) > 0) {
            text.append(buffer, count);
        }
        read_ok = std::ferror(file.get()) == 0;
    }
    if (!read_ok) {
        error = "Cannot open config file: " + path;
        return false;
    }
    return load_from_text(text, settings, error);
}
