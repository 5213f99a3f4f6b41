#include <velmora/engine_host/engine_host_protocol.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <iterator>

namespace VelmoraEngineHostProtocol {
namespace {

// Index = key value.
constexpr const char* kMessageKeys[] = {
    "",
    "engine_message.config_path_empty",
    "engine_message.already_running",
    "engine_message.starting",
    "engine_message.thread_start_failed",
    "engine_message.config_load_failed",
    "engine_message.telemetry_unavailable",
    "engine_message.stopped",
    "engine_message.waiting_first_sync",
    "engine_message.stopped_before_sync",
    "engine_message.configure_from_sync_failed",
    "engine_message.running",
    "engine_message.stopping",
    "engine_message.network_retrying",
    "engine_message.network_start_failed",
    "engine_message.network_waiting_retry",
    "engine_message.network_retry_exhausted",
    "engine_message.asio_start_failed",
    "engine_message.initial_asio_retrying",
    "engine_message.initial_asio_waiting_retry",
    "engine_message.initial_asio_retry_exhausted",
    "engine_message.loopback_start_failed",
    "engine_message.resyncing_format",
    "engine_message.runtime_retry_exhausted",
    "engine_message.runtime_restarting",
    "engine_message.runtime_configure_failed",
    "engine_message.runtime_waiting_retry",
    "engine_message.runtime_recovered",
    "engine_message.sync_timed_out",
    "engine_message.device_lost",
    "engine_message.sample_rate_mismatch",
    "engine_message.buffer_size_mismatch",
    "engine_message.callback_stopped",
    "engine_message.output_ready_failed",
    "engine_message.input_dropped",
    "engine_message.output_dropped",
    "engine_message.playback_overrun",
    "engine_message.playback_underrun",
    "diagnostics.recovery_detail_requested",
    "diagnostics.recovery_detail_network_retrying",
    "diagnostics.recovery_detail_initial_asio_retrying",
    "diagnostics.recovery_detail_runtime_retrying",
    "diagnostics.recovery_detail_network_failed_retry",
    "diagnostics.recovery_detail_initial_asio_failed_retry",
    "diagnostics.recovery_detail_runtime_failed_retry",
    "diagnostics.recovery_detail_configure_failed",
    "diagnostics.recovery_detail_network_succeeded",
    "diagnostics.recovery_detail_initial_asio_succeeded",
    "diagnostics.recovery_detail_runtime_succeeded",
    "diagnostics.recovery_detail_network_exhausted",
    "diagnostics.recovery_detail_initial_asio_exhausted",
    "diagnostics.recovery_detail_runtime_exhausted",
    "engine_message.protocol_mismatch",
};
static_assert(std::size(kMessageKeys) == 53);

constexpr const char* kEventTypes[] = {"none", "requested", "attempt_started", "attempt_failed", "succeeded", "exhausted"};

constexpr const char* kHealthReasons[] = {
    "none",           "waiting_sync",         "asio_callback_stopped", "sample_rate_mismatch", "buffer_size_mismatch",
    "playback_underrun", "playback_overrun",  "input_capture_dropped", "output_block_dropped", "resyncing",
    "device_lost",    "output_ready_failed",  "protocol_mismatch",
};
static_assert(std::size(kHealthReasons) == 13);

bool is_trailing_blank(char c) { return c == '\0' || c == '\t' || c == '\n' || c == '\r' || c == ' '; }

// snprintf into a fixed buffer, appended; every value fits the buffer sizes used below.
template <std::size_t Size, typename... Args>
void append_formatted(std::string& out, const char* format, Args... args) {
    char buffer[Size];
    const int length = std::snprintf(buffer, sizeof buffer, format, args...);
    if (length > 0) {
        out.append(buffer, std::min<std::size_t>(static_cast<std::size_t>(length), sizeof buffer - 1));
    }
}

} // namespace

std::string trim_command(const char* data, unsigned long length) {
    if (data == nullptr) {
        return {};
    }
    unsigned long end = length;
    while (end > 0 && is_trailing_blank(data[end - 1])) {
        --end;
    }
    unsigned long begin = 0;
    while (begin < end && (data[begin] == ' ' || data[begin] == '\t')) {
        ++begin;
    }
    return std::string(data + begin, end - begin);
}

DispatchResult dispatch_command(const std::string& command, GetStateCallback get_state, void* user_data) {
    DispatchResult result;
    if (command == kCommandStop) {
        result.stop = true;
        result.reply = "{\"ok\":true}\n";
        return result;
    }
    if (command == kCommandGetState) {
        VelmoraEngineState state;
        std::memset(&state, 0, sizeof state);
        if (get_state == nullptr || !get_state(user_data, state)) {
            result.reply = error_json("get_state failed");
        } else {
            result.reply = state_json(state);
        }
        return result;
    }
    result.reply = error_json("unknown command");
    return result;
}

std::string error_json(const char* message) {
    std::string out = "{\"ok\":false,\"error\":\"";
    for (const char* p = message; p != nullptr && *p != '\0'; ++p) {
        const auto byte = static_cast<unsigned char>(*p);
        switch (byte) {
        case '\b': out += "\\b"; break;
        case '\t': out += "\\t"; break;
        case '\n': out += "\\n"; break;
        case '\f': out += "\\f"; break;
        case '\r': out += "\\r"; break;
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        default:
            if (byte < 0x20) {
                append_formatted<8>(out, "\\u%04x", static_cast<unsigned>(byte));
            } else {
                out.push_back(static_cast<char>(byte));
            }
        }
    }
    out += "\"}\n";
    return out;
}

std::string state_json(const VelmoraEngineState& s) {
    std::string out;
    out.reserve(2048);
    append_formatted<768>(out,
                          "{\"ok\":true,\"abiVersion\":%u,\"status\":%u,\"health\":%u,\"healthReason\":%u,"
                          "\"lastErrorCode\":%u,\"lastErrorKey\":\"%s\",\"clientId\":%u,\"sampleRate\":%u,"
                          "\"blockFrames\":%u,\"actualSampleRate\":%u,\"actualBlockFrames\":%u,"
                          "\"healthMessageKey\":\"%s\",\"recoveryEventCount\":",
                          s.abi_version, s.status, s.health, s.health_reason, s.last_error_code,
                          message_key_to_text(s.last_error_key), s.client_id, s.sample_rate, s.block_frames,
                          s.actual_sample_rate, s.actual_block_frames, message_key_to_text(s.health_message_key));
    append_formatted<128>(out, "%u,\"recoveryEventCapacity\":%u,\"recoveryEvents\":[", s.recovery_event_count,
                          s.recovery_event_capacity);
    const unsigned events = std::min(s.recovery_event_count, VELMORA_ENGINE_RECOVERY_EVENT_CAPACITY);
    for (unsigned i = 0; i < events; ++i) {
        const VelmoraEngineRecoveryEvent& e = s.recovery_events[i];
        append_formatted<320>(out,
                              "%s{\"sequence\":%llu,\"tickMs\":%llu,\"type\":%u,\"reason\":%u,\"typeName\":\"%s\","
                              "\"reasonName\":\"%s\",\"attempt\":%u,\"maxAttempts\":%u,\"errorCode\":%u,"
                              "\"messageKey\":\"%s\"}",
                              i == 0 ? "" : ",", static_cast<unsigned long long>(e.sequence),
                              static_cast<unsigned long long>(e.tick_ms), e.type, e.reason,
                              recovery_event_type_name(e.type), health_reason_name(e.reason), e.attempt,
                              e.max_attempts, e.error_code, message_key_to_text(e.message_key));
    }
    out += "]";
    append_channel_levels_json(out, "inputLevels", s.input_levels, s.input_level_count);
    append_channel_levels_json(out, "outputLevels", s.output_levels, s.output_level_count);
    out += "}\n";
    return out;
}

const char* message_key_to_text(unsigned key) { return key < std::size(kMessageKeys) ? kMessageKeys[key] : ""; }

const char* recovery_event_type_name(unsigned type) { return type < std::size(kEventTypes) ? kEventTypes[type] : "none"; }

const char* health_reason_name(unsigned reason) {
    return reason < std::size(kHealthReasons) ? kHealthReasons[reason] : "unknown";
}

void append_channel_levels_json(std::string& out, const char* name, const VelmoraEngineChannelLevel* levels,
                                unsigned count) {
    out += ",\"";
    out += name != nullptr ? name : "";
    out += "\":[";
    const unsigned shown = levels == nullptr ? 0 : std::min(count, VELMORA_ENGINE_MAX_CHANNEL_LEVELS);
    for (unsigned i = 0; i < shown; ++i) {
        append_formatted<96>(out, "%s{\"driverChannel\":%u,\"peakMilli\":%u}", i == 0 ? "" : ",",
                             levels[i].driver_channel, levels[i].peak_milli);
    }
    out += "]";
}

} // namespace VelmoraEngineHostProtocol
