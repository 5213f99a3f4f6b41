// The fully populated state the fake engine library reports, shared with the tests that check
// the host's JSON for it.
#pragma once

#include <velmora/engine/velmora_engine.h>

#include <cstdio>
#include <cstring>
#include <string>

namespace VelmoraHostTest {

inline void fill_fake_engine_state(VelmoraEngineState& s, unsigned client_id) {
    std::memset(&s, 0, sizeof s);
    s.abi_version = 5;
    s.status = velmora_engine_status_running;
    s.health = velmora_engine_health_degraded;
    s.health_reason = velmora_engine_reason_playback_underrun;
    s.last_error_code = velmora_engine_error_audio_start_failed;
    s.last_error_key = velmora_engine_message_runtime_retry_exhausted;
    s.health_message_key = velmora_engine_message_playback_underrun;
    s.client_id = client_id;
    s.sample_rate = 48000;
    s.block_frames = 128;
    s.actual_sample_rate = 48000;
    s.actual_block_frames = 128;
    s.recovery_event_count = 2;
    s.recovery_event_capacity = 8;
    s.next_recovery_sequence = 3;
    s.recovery_events[0] = {1,
                            1000,
                            velmora_engine_event_requested,
                            velmora_engine_reason_device_lost,
                            1,
                            3,
                            0,
                            velmora_engine_message_recovery_detail_requested};
    s.recovery_events[1] = {2,
                            1005,
                            velmora_engine_event_attempt_failed,
                            velmora_engine_reason_device_lost,
                            1,
                            3,
                            velmora_engine_error_audio_start_failed,
                            velmora_engine_message_recovery_detail_runtime_failed_retry};
    s.input_level_count = 2;
    s.input_levels[0] = {2, 500};
    s.input_levels[1] = {3, 1000};
    s.output_level_count = 1;
    s.output_levels[0] = {0, 7};
}

// The GET_STATE reply for that state.
inline std::string fake_engine_state_json(unsigned client_id) {
    char text[2048];
    std::snprintf(
        text, sizeof text,
        "{\"ok\":true,\"abiVersion\":5,\"status\":3,\"health\":2,\"healthReason\":5,\"lastErrorCode\":7,"
        "\"lastErrorKey\":\"engine_message.runtime_retry_exhausted\",\"clientId\":%u,\"sampleRate\":48000,"
        "\"blockFrames\":128,\"actualSampleRate\":48000,\"actualBlockFrames\":128,"
        "\"healthMessageKey\":\"engine_message.playback_underrun\",\"recoveryEventCount\":2,"
        "\"recoveryEventCapacity\":8,\"recoveryEvents\":["
        "{\"sequence\":1,\"tickMs\":1000,\"type\":1,\"reason\":10,\"typeName\":\"requested\","
        "\"reasonName\":\"device_lost\",\"attempt\":1,\"maxAttempts\":3,\"errorCode\":0,"
        "\"messageKey\":\"diagnostics.recovery_detail_requested\"},"
        "{\"sequence\":2,\"tickMs\":1005,\"type\":3,\"reason\":10,\"typeName\":\"attempt_failed\","
        "\"reasonName\":\"device_lost\",\"attempt\":1,\"maxAttempts\":3,\"errorCode\":7,"
        "\"messageKey\":\"diagnostics.recovery_detail_runtime_failed_retry\"}],"
        "\"inputLevels\":[{\"driverChannel\":2,\"peakMilli\":500},{\"driverChannel\":3,\"peakMilli\":1000}],"
        "\"outputLevels\":[{\"driverChannel\":0,\"peakMilli\":7}]}\n",
        client_id);
    return text;
}

} // namespace VelmoraHostTest
