// The device file (VELMORA_HAL_DEVICES), its validation and the built-in device set.
#include <velmora_compat/hal_control.h>

#include <CoreFoundation/CoreFoundation.h>

#include <charconv>
#include <cmath>
#include <set>
#include <string_view>

namespace VelmoraCompat::Hal {

namespace {

constexpr UInt32 kMaxStreamChannels = 64;
constexpr UInt32 kMaxDirectionChannels = 256;
constexpr UInt32 kMaxStreams = 32;
constexpr Float64 kMaxRate = 768000.0;
constexpr UInt32 kMaxBufferFrames = 16384;
constexpr UInt32 kMaxPolls = 1000;
constexpr UInt32 kMaxLatencyFrames = 1000000;

std::string_view trim(std::string_view text) {
    const auto is_space = [](char c) { return c == ' ' || c == '\t' || c == '\r'; };
    while (!text.empty() && is_space(text.front())) {
        text.remove_prefix(1);
    }
    while (!text.empty() && is_space(text.back())) {
        text.remove_suffix(1);
    }
    return text;
}

std::vector<std::string_view> split(std::string_view text, char separator) {
    std::vector<std::string_view> parts;
    while (true) {
        const std::size_t at = text.find(separator);
        parts.push_back(trim(text.substr(0, at)));
        if (at == std::string_view::npos) {
            return parts;
        }
        text.remove_prefix(at + 1);
    }
}

bool parse_u32(std::string_view text, UInt32* value) {
    text = trim(text);
    if (text.empty()) {
        return false;
    }
    const auto result = std::from_chars(text.data(), text.data() + text.size(), *value);
    return result.ec == std::errc() && result.ptr == text.data() + text.size();
}

bool parse_double(std::string_view text, Float64* value) {
    text = trim(text);
    if (text.empty()) {
        return false;
    }
    const auto result = std::from_chars(text.data(), text.data() + text.size(), *value);
    return result.ec == std::errc() && result.ptr == text.data() + text.size() && std::isfinite(*value);
}

bool parse_bool(std::string_view text, bool* value) {
    if (text == "yes" || text == "true" || text == "1") {
        *value = true;
        return true;
    }
    if (text == "no" || text == "false" || text == "0") {
        *value = false;
        return true;
    }
    return false;
}

bool parse_stream(std::string_view text, StreamDescription* stream, std::string* why) {
    std::string_view rate_text;
    if (const std::size_t at = text.find('@'); at != std::string_view::npos) {
        rate_text = trim(text.substr(at + 1));
        text = trim(text.substr(0, at));
        if (!parse_double(rate_text, &stream->fixed_rate) || stream->fixed_rate <= 0.0) {
            *why = "bad stream rate \"" + std::string(rate_text) + "\"";
            return false;
        }
    }
    std::string_view format = "float32";
    if (const std::size_t at = text.find(':'); at != std::string_view::npos) {
        format = trim(text.substr(at + 1));
        text = trim(text.substr(0, at));
    }
    if (!parse_u32(text, &stream->channels)) {
        *why = "bad stream channel count \"" + std::string(text) + "\"";
        return false;
    }
    constexpr std::string_view kNonInterleaved = "-noninterleaved";
    stream->interleaved = true;
    if (format.size() > kNonInterleaved.size() && format.substr(format.size() - kNonInterleaved.size()) == kNonInterleaved) {
        stream->interleaved = false;
        format.remove_suffix(kNonInterleaved.size());
    }
    if (format == "float32") {
        stream->format = SampleFormat::float32;
    } else if (format == "int16") {
        stream->format = SampleFormat::int16;
    } else if (format == "int24") {
        stream->format = SampleFormat::int24;
    } else if (format == "int32") {
        stream->format = SampleFormat::int32;
    } else {
        *why = "unknown sample format \"" + std::string(format) + "\" (float32, int16, int24, int32, with -noninterleaved)";
        return false;
    }
    return true;
}

bool parse_streams(std::string_view text, std::vector<StreamDescription>* streams, std::string* why) {
    streams->clear();
    if (text.empty()) {
        return true;
    }
    for (std::string_view part : split(text, ',')) {
        StreamDescription stream;
        if (!parse_stream(part, &stream, why)) {
            return false;
        }
        streams->push_back(stream);
    }
    return true;
}

bool parse_range(std::string_view text, Float64* low, Float64* high) {
    const std::size_t dash = text.find('-');
    if (dash == std::string_view::npos) {
        if (!parse_double(text, low)) {
            return false;
        }
        *high = *low;
        return true;
    }
    return parse_double(text.substr(0, dash), low) && parse_double(text.substr(dash + 1), high);
}

bool parse_input_source(std::string_view text, InputSource* source, std::string* why) {
    const std::size_t space = text.find(' ');
    const std::string_view kind = text.substr(0, space);
    const std::string_view rest = space == std::string_view::npos ? std::string_view() : trim(text.substr(space + 1));
    if (kind == "silence" && rest.empty()) {
        source->kind = InputKind::silence;
    } else if (kind == "channel_ids" && rest.empty()) {
        source->kind = InputKind::channel_ids;
    } else if (kind == "loopback" && rest.empty()) {
        source->kind = InputKind::loopback;
    } else if (kind == "tone") {
        source->kind = InputKind::tone;
        std::vector<std::string_view> words;
        for (std::string_view word : split(rest, ' ')) {
            if (!word.empty()) {
                words.push_back(word);
            }
        }
        if (words.size() > 2 || (words.size() >= 1 && !parse_double(words[0], &source->frequency)) ||
            (words.size() == 2 && !parse_double(words[1], &source->level_dbfs))) {
            *why = "bad tone \"" + std::string(text) + "\" (tone [frequency Hz [level dBFS]])";
            return false;
        }
    } else if (kind == "wav" && !rest.empty()) {
        source->kind = InputKind::wav_file;
        source->path = std::string(rest);
    } else {
        *why = "bad input_source \"" + std::string(text) + "\" (silence, tone [Hz [dBFS]], channel_ids, loopback, wav PATH)";
        return false;
    }
    return true;
}

bool parse_output_sink(std::string_view text, OutputSink* sink, std::string* why) {
    if (text == "none") {
        sink->kind = OutputKind::none;
    } else if (text == "meter") {
        sink->kind = OutputKind::meter;
    } else if (text.substr(0, 4) == "wav " && !trim(text.substr(4)).empty()) {
        sink->kind = OutputKind::wav_file;
        sink->path = std::string(trim(text.substr(4)));
    } else {
        *why = "bad output_sink \"" + std::string(text) + "\" (none, meter, wav PATH)";
        return false;
    }
    return true;
}

bool parse_transport(std::string_view text, UInt32* transport) {
    struct Name {
        std::string_view text;
        UInt32 value;
    };
    static constexpr Name kNames[] = {
        {"builtin", kAudioDeviceTransportTypeBuiltIn}, {"usb", kAudioDeviceTransportTypeUSB},
        {"virtual", kAudioDeviceTransportTypeVirtual}, {"thunderbolt", kAudioDeviceTransportTypeThunderbolt},
        {"aggregate", kAudioDeviceTransportTypeAggregate}, {"unknown", kAudioDeviceTransportTypeUnknown},
    };
    for (const Name& name : kNames) {
        if (name.text == text) {
            *transport = name.value;
            return true;
        }
    }
    return false;
}

bool apply_key(DeviceDescription& device, std::string_view key, std::string_view value, std::string* why) {
    const auto bad = [&](const char* what) {
        *why = std::string("bad ") + what + " \"" + std::string(value) + "\"";
        return false;
    };
    if (key == "uid") {
        device.uid = std::string(value);
    } else if (key == "name") {
        device.name = std::string(value);
    } else if (key == "manufacturer") {
        device.manufacturer = std::string(value);
    } else if (key == "transport") {
        if (!parse_transport(value, &device.transport)) {
            return bad("transport (builtin, usb, virtual, thunderbolt, aggregate, unknown)");
        }
    } else if (key == "input_streams") {
        return parse_streams(value, &device.input_streams, why);
    } else if (key == "output_streams") {
        return parse_streams(value, &device.output_streams, why);
    } else if (key == "sample_rate") {
        if (!parse_double(value, &device.sample_rate)) {
            return bad("sample_rate");
        }
    } else if (key == "sample_rates") {
        device.available_rates.clear();
        for (std::string_view part : split(value, ',')) {
            AudioValueRange range{};
            if (!parse_range(part, &range.mMinimum, &range.mMaximum)) {
                return bad("sample_rates");
            }
            device.available_rates.push_back(range);
        }
    } else if (key == "buffer_frames") {
        if (!parse_u32(value, &device.buffer_frames)) {
            return bad("buffer_frames");
        }
    } else if (key == "buffer_frame_range") {
        const std::size_t dash = value.find('-');
        if (dash == std::string_view::npos || !parse_u32(value.substr(0, dash), &device.min_buffer_frames) ||
            !parse_u32(value.substr(dash + 1), &device.max_buffer_frames)) {
            return bad("buffer_frame_range (MIN-MAX)");
        }
    } else if (key == "latency_frames") {
        if (!parse_u32(value, &device.latency_frames)) {
            return bad("latency_frames");
        }
    } else if (key == "safety_offset_frames") {
        if (!parse_u32(value, &device.safety_offset_frames)) {
            return bad("safety_offset_frames");
        }
    } else if (key == "default_output") {
        if (!parse_bool(value, &device.default_output)) {
            return bad("default_output (yes or no)");
        }
    } else if (key == "default_input") {
        if (!parse_bool(value, &device.default_input)) {
            return bad("default_input (yes or no)");
        }
    } else if (key == "input_source") {
        return parse_input_source(value, &device.input, why);
    } else if (key == "output_sink") {
        return parse_output_sink(value, &device.output, why);
    } else if (key == "clock") {
        if (value != "realtime" && value != "manual") {
            return bad("clock (realtime or manual)");
        }
        device.manual_clock = value == "manual";
    } else if (key == "rate_change_polls") {
        if (!parse_u32(value, &device.rate_change_polls)) {
            return bad("rate_change_polls");
        }
    } else if (key == "buffer_change_polls") {
        if (!parse_u32(value, &device.buffer_change_polls)) {
            return bad("buffer_change_polls");
        }
    } else if (key == "refuse_sample_rates") {
        for (std::string_view part : split(value, ',')) {
            Float64 rate = 0;
            if (!parse_double(part, &rate)) {
                return bad("refuse_sample_rates");
            }
            device.refused_rates.push_back(rate);
        }
    } else if (key == "refuse_buffer_frames") {
        for (std::string_view part : split(value, ',')) {
            UInt32 frames = 0;
            if (!parse_u32(part, &frames)) {
                return bad("refuse_buffer_frames");
            }
            device.refused_buffer_frames.push_back(frames);
        }
    } else {
        *why = "unknown key \"" + std::string(key) + "\"";
        return false;
    }
    return true;
}

bool valid_cf_text(const std::string& text) {
    CFStringRef string = CFStringCreateWithBytes(nullptr, reinterpret_cast<const UInt8*>(text.data()), static_cast<CFIndex>(text.size()),
                                                 kCFStringEncodingUTF8, false);
    if (string == nullptr) {
        return false;
    }
    CFRelease(string);
    for (char c : text) {
        if (static_cast<unsigned char>(c) < 0x20) {
            return false;
        }
    }
    return true;
}

bool validate_streams(const std::vector<StreamDescription>& streams, const char* direction, std::string* why) {
    if (streams.size() > kMaxStreams) {
        *why = std::string("more than 32 ") + direction + " streams";
        return false;
    }
    UInt32 total = 0;
    for (const StreamDescription& stream : streams) {
        if (stream.channels < 1 || stream.channels > kMaxStreamChannels) {
            *why = std::string(direction) + " stream channel count must be 1 to 64";
            return false;
        }
        if (stream.fixed_rate < 0.0 || stream.fixed_rate > kMaxRate || !std::isfinite(stream.fixed_rate)) {
            *why = std::string(direction) + " stream rate out of range";
            return false;
        }
        total += stream.channels;
    }
    if (total > kMaxDirectionChannels) {
        *why = std::string("more than 256 ") + direction + " channels";
        return false;
    }
    return true;
}

} // namespace

bool validate_description(const DeviceDescription& d, std::string* error) {
    std::string why;
    const auto fail = [&](const std::string& reason) {
        if (error != nullptr) {
            *error = reason;
        }
        return false;
    };
    if (d.uid.empty() || d.uid.size() > 255 || !valid_cf_text(d.uid)) {
        return fail("uid must be 1 to 255 bytes of UTF-8 text");
    }
    if (d.name.empty() || d.name.size() > 255 || !valid_cf_text(d.name)) {
        return fail("name must be 1 to 255 bytes of UTF-8 text");
    }
    if (d.manufacturer.size() > 255 || !valid_cf_text(d.manufacturer)) {
        return fail("manufacturer must be at most 255 bytes of UTF-8 text");
    }
    if (!validate_streams(d.input_streams, "input", &why) || !validate_streams(d.output_streams, "output", &why)) {
        return fail(why);
    }
    if (d.input_streams.empty() && d.output_streams.empty()) {
        return fail("a device needs at least one stream");
    }
    if (d.available_rates.empty()) {
        return fail("sample_rates must list at least one rate");
    }
    bool rate_available = false;
    for (const AudioValueRange& range : d.available_rates) {
        if (!(range.mMinimum > 0.0) || range.mMinimum > range.mMaximum || range.mMaximum > kMaxRate) {
            return fail("sample_rates must be rates or ranges between 1 and 768000 Hz");
        }
        rate_available = rate_available || (d.sample_rate >= range.mMinimum && d.sample_rate <= range.mMaximum);
    }
    if (!rate_available) {
        return fail("sample_rate is not one of sample_rates");
    }
    if (d.min_buffer_frames < 1 || d.min_buffer_frames > d.max_buffer_frames || d.max_buffer_frames > kMaxBufferFrames) {
        return fail("buffer_frame_range must be MIN-MAX within 1-16384");
    }
    if (d.buffer_frames < d.min_buffer_frames || d.buffer_frames > d.max_buffer_frames) {
        return fail("buffer_frames is outside buffer_frame_range");
    }
    if (d.latency_frames > kMaxLatencyFrames || d.safety_offset_frames > kMaxLatencyFrames) {
        return fail("latency_frames and safety_offset_frames must be at most 1000000");
    }
    if (d.rate_change_polls > kMaxPolls || d.buffer_change_polls > kMaxPolls) {
        return fail("rate_change_polls and buffer_change_polls must be at most 1000");
    }
    if (d.input.kind == InputKind::tone &&
        (!(d.input.frequency > 0.0) || d.input.frequency > kMaxRate || !(d.input.level_dbfs <= 0.0) || d.input.level_dbfs < -200.0)) {
        return fail("tone frequency must be positive and its level -200 to 0 dBFS");
    }
    if ((d.input.kind == InputKind::wav_file && d.input.path.empty()) || (d.output.kind == OutputKind::wav_file && d.output.path.empty())) {
        return fail("a WAV file needs a path");
    }
    return true;
}

bool parse_device_file(const std::string& text, std::vector<DeviceDescription>* devices, std::string* error) {
    std::vector<DeviceDescription> parsed;
    std::vector<std::size_t> section_lines;
    std::set<std::string> keys_seen;
    std::string why;
    std::size_t line_number = 0;
    const auto fail = [&](std::size_t line, const std::string& reason) {
        if (error != nullptr) {
            *error = "line " + std::to_string(line) + ": " + reason;
        }
        return false;
    };
    std::string_view rest(text);
    while (!rest.empty()) {
        ++line_number;
        const std::size_t end = rest.find('\n');
        std::string_view line = trim(rest.substr(0, end));
        rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
        if (line.empty() || line.front() == '#' || line.front() == ';') {
            continue;
        }
        if (line.find('\0') != std::string_view::npos) {
            return fail(line_number, "the file contains a NUL byte");
        }
        if (line.front() == '[') {
            if (line.back() != ']' || trim(line.substr(1, line.size() - 2)).empty()) {
                return fail(line_number, "a section header reads [device label]");
            }
            DeviceDescription device;
            device.name = std::string(trim(line.substr(1, line.size() - 2)));
            parsed.push_back(std::move(device));
            section_lines.push_back(line_number);
            keys_seen.clear();
            continue;
        }
        const std::size_t equals = line.find('=');
        if (equals == std::string_view::npos) {
            return fail(line_number, "expected key = value");
        }
        const std::string_view key = trim(line.substr(0, equals));
        const std::string_view value = trim(line.substr(equals + 1));
        if (parsed.empty()) {
            return fail(line_number, "\"" + std::string(key) + "\" comes before the first [device] section");
        }
        if (!keys_seen.insert(std::string(key)).second) {
            return fail(line_number, "\"" + std::string(key) + "\" is given twice for this device");
        }
        if (!apply_key(parsed.back(), key, value, &why)) {
            return fail(line_number, why);
        }
    }
    if (parsed.empty()) {
        return fail(line_number, "no [device] section");
    }
    std::set<std::string> uids;
    for (std::size_t i = 0; i < parsed.size(); ++i) {
        if (!validate_description(parsed[i], &why)) {
            return fail(section_lines[i], "device [" + parsed[i].name + "]: " + why);
        }
        if (!uids.insert(parsed[i].uid).second) {
            return fail(section_lines[i], "device [" + parsed[i].name + "]: uid \"" + parsed[i].uid + "\" is used twice");
        }
    }
    *devices = std::move(parsed);
    return true;
}

std::vector<DeviceDescription> default_devices() {
    std::vector<DeviceDescription> devices(3);

    DeviceDescription& speakers = devices[0];
    speakers.uid = "BuiltInSpeakerDevice";
    speakers.name = "Built-in Speakers";
    speakers.manufacturer = "Simulated Audio";
    speakers.transport = kAudioDeviceTransportTypeBuiltIn;
    speakers.output_streams = {StreamDescription{2, SampleFormat::float32, true, 0.0}};
    speakers.available_rates = {{44100.0, 44100.0}, {48000.0, 48000.0}, {88200.0, 88200.0}, {96000.0, 96000.0}};
    speakers.buffer_frames = 512;
    speakers.latency_frames = 24;
    speakers.safety_offset_frames = 16;
    speakers.default_output = true;

    DeviceDescription& microphone = devices[1];
    microphone.uid = "BuiltInMicrophoneDevice";
    microphone.name = "Built-in Microphone";
    microphone.manufacturer = "Simulated Audio";
    microphone.transport = kAudioDeviceTransportTypeBuiltIn;
    microphone.input_streams = {StreamDescription{2, SampleFormat::float32, true, 0.0}};
    microphone.available_rates = speakers.available_rates;
    microphone.buffer_frames = 512;
    microphone.latency_frames = 24;
    microphone.safety_offset_frames = 16;
    microphone.default_input = true;
    microphone.input.kind = InputKind::tone;

    DeviceDescription& interface = devices[2];
    interface.uid = "SimulatedInterface8x8";
    interface.name = "Studio Interface 8x8";
    interface.transport = kAudioDeviceTransportTypeUSB;
    interface.input_streams = {StreamDescription{8, SampleFormat::float32, true, 0.0}};
    interface.output_streams = {StreamDescription{8, SampleFormat::float32, true, 0.0}};
    interface.available_rates = {{44100.0, 44100.0}, {48000.0, 48000.0}, {88200.0, 88200.0},
                                 {96000.0, 96000.0}, {176400.0, 176400.0}, {192000.0, 192000.0}};
    interface.buffer_frames = 256;
    interface.min_buffer_frames = 16;
    interface.max_buffer_frames = 4096;
    interface.latency_frames = 12;
    interface.safety_offset_frames = 8;
    interface.input.kind = InputKind::loopback;
    return devices;
}

} // namespace VelmoraCompat::Hal
