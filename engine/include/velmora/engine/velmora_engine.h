/* The engine library's C interface: five functions a host resolves by name after loading
 * VelmoraEngine.dylib, and the fixed 904-byte state record they copy out.
 *
 * Calling order: create -> start_from_config -> any number of get_state (from any thread) ->
 * stop -> destroy. `stop` may be left to `destroy`. At most one engine exists per process: a
 * second create returns null until the first is destroyed.
 *
 * Failures inside the engine are not return values: they are in the state record (status,
 * health, last_error_code, last_error_key). start_from_config returns 0 only when it refused to
 * start (null or empty path, already running, thread creation failed).
 *
 * The record is in host byte order, every field naturally aligned; the layout is checked below. */
#ifndef VELMORA_ENGINE_H
#define VELMORA_ENGINE_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define VELMORA_ENGINE_ABI_VERSION 5u
#define VELMORA_ENGINE_RECOVERY_EVENT_CAPACITY 8u
#define VELMORA_ENGINE_MAX_CHANNEL_LEVELS 32u

/* Values of VelmoraEngineState.status. */
enum VelmoraEngineStatus {
    velmora_engine_status_idle = 0,       /* created, never started */
    velmora_engine_status_starting = 1,   /* configuration loaded, network client starting or retrying */
    velmora_engine_status_waiting_sync = 2,
    velmora_engine_status_running = 3,
    velmora_engine_status_recovering = 4, /* audio being restarted */
    velmora_engine_status_stopping = 5,
    velmora_engine_status_stopped = 6,
    velmora_engine_status_failed = 7
};

/* Values of VelmoraEngineState.health. */
enum VelmoraEngineHealth {
    velmora_engine_health_inactive = 0,
    velmora_engine_health_healthy = 1,
    velmora_engine_health_degraded = 2,
    velmora_engine_health_recovering = 3,
    velmora_engine_health_failed = 4
};

/* Values of VelmoraEngineState.health_reason and of a recovery event's reason. */
enum VelmoraEngineHealthReason {
    velmora_engine_reason_none = 0,
    velmora_engine_reason_waiting_sync = 1,
    velmora_engine_reason_asio_callback_stopped = 2,
    velmora_engine_reason_sample_rate_mismatch = 3,
    velmora_engine_reason_buffer_size_mismatch = 4,
    velmora_engine_reason_playback_underrun = 5,
    velmora_engine_reason_playback_overrun = 6,
    velmora_engine_reason_input_capture_dropped = 7,
    velmora_engine_reason_output_block_dropped = 8,
    velmora_engine_reason_resyncing = 9,
    velmora_engine_reason_device_lost = 10,
    velmora_engine_reason_output_ready_failed = 11,
    velmora_engine_reason_protocol_mismatch = 12
};

/* Values of a recovery event's type. */
enum VelmoraEngineRecoveryEventType {
    velmora_engine_event_none = 0,
    velmora_engine_event_requested = 1,
    velmora_engine_event_attempt_started = 2,
    velmora_engine_event_attempt_failed = 3,
    velmora_engine_event_succeeded = 4,
    velmora_engine_event_exhausted = 5
};

/* Values of VelmoraEngineState.last_error_code and of a recovery event's error_code. 8 is unused. */
enum VelmoraEngineError {
    velmora_engine_error_none = 0,
    velmora_engine_error_config_path_empty = 1,
    velmora_engine_error_already_running = 2,
    velmora_engine_error_config_load_failed = 3,
    velmora_engine_error_network_start_failed = 4,
    velmora_engine_error_sync_not_received = 5,
    velmora_engine_error_configure_failed = 6,
    velmora_engine_error_audio_start_failed = 7,
    velmora_engine_error_thread_start_failed = 9,
    velmora_engine_error_telemetry_unavailable = 10,
    velmora_engine_error_protocol_mismatch = 11
};

/* Stable text keys that only the control app turns into sentences; 0 means no key. Keys 1..37
 * and 52 describe the engine's situation, 38..51 recovery events. The texts are in the host's
 * JSON ("engine_message.<name>" for the first group, "diagnostics.recovery_detail_<name>" for
 * the second). */
enum VelmoraEngineMessageKey {
    velmora_engine_message_none = 0,
    velmora_engine_message_config_path_empty = 1,
    velmora_engine_message_already_running = 2,
    velmora_engine_message_starting = 3,
    velmora_engine_message_thread_start_failed = 4,
    velmora_engine_message_config_load_failed = 5,
    velmora_engine_message_telemetry_unavailable = 6,
    velmora_engine_message_stopped = 7,
    velmora_engine_message_waiting_first_sync = 8,
    velmora_engine_message_stopped_before_sync = 9,
    velmora_engine_message_configure_from_sync_failed = 10,
    velmora_engine_message_running = 11,
    velmora_engine_message_stopping = 12,
    velmora_engine_message_network_retrying = 13,
    velmora_engine_message_network_start_failed = 14,
    velmora_engine_message_network_waiting_retry = 15,
    velmora_engine_message_network_retry_exhausted = 16,
    velmora_engine_message_asio_start_failed = 17,
    velmora_engine_message_initial_asio_retrying = 18,
    velmora_engine_message_initial_asio_waiting_retry = 19,
    velmora_engine_message_initial_asio_retry_exhausted = 20,
    velmora_engine_message_loopback_start_failed = 21,
    velmora_engine_message_resyncing_format = 22,
    velmora_engine_message_runtime_retry_exhausted = 23,
    velmora_engine_message_runtime_restarting = 24,
    velmora_engine_message_runtime_configure_failed = 25,
    velmora_engine_message_runtime_waiting_retry = 26,
    velmora_engine_message_runtime_recovered = 27,
    velmora_engine_message_sync_timed_out = 28,
    velmora_engine_message_device_lost = 29,
    velmora_engine_message_sample_rate_mismatch = 30,
    velmora_engine_message_buffer_size_mismatch = 31,
    velmora_engine_message_callback_stopped = 32,
    velmora_engine_message_output_ready_failed = 33,
    velmora_engine_message_input_dropped = 34,
    velmora_engine_message_output_dropped = 35,
    velmora_engine_message_playback_overrun = 36,
    velmora_engine_message_playback_underrun = 37,
    velmora_engine_message_recovery_detail_requested = 38,
    velmora_engine_message_recovery_detail_network_retrying = 39,
    velmora_engine_message_recovery_detail_initial_asio_retrying = 40,
    velmora_engine_message_recovery_detail_runtime_retrying = 41,
    velmora_engine_message_recovery_detail_network_failed_retry = 42,
    velmora_engine_message_recovery_detail_initial_asio_failed_retry = 43,
    velmora_engine_message_recovery_detail_runtime_failed_retry = 44,
    velmora_engine_message_recovery_detail_configure_failed = 45,
    velmora_engine_message_recovery_detail_network_succeeded = 46,
    velmora_engine_message_recovery_detail_initial_asio_succeeded = 47,
    velmora_engine_message_recovery_detail_runtime_succeeded = 48,
    velmora_engine_message_recovery_detail_network_exhausted = 49,
    velmora_engine_message_recovery_detail_initial_asio_exhausted = 50,
    velmora_engine_message_recovery_detail_runtime_exhausted = 51,
    velmora_engine_message_protocol_mismatch = 52
};

/* One step of a retry or recovery, 40 bytes. */
typedef struct VelmoraEngineRecoveryEvent {
    uint64_t sequence;     /* 1, 2, 3, ... over the engine's life */
    uint64_t tick_ms;      /* monotonic milliseconds when recorded */
    uint32_t type;         /* VelmoraEngineRecoveryEventType */
    uint32_t reason;       /* VelmoraEngineHealthReason */
    uint32_t attempt;      /* from 1 */
    uint32_t max_attempts; /* 12 for network and initial audio retries, 3 for runtime recovery */
    uint32_t error_code;   /* VelmoraEngineError of a failed attempt, else 0 */
    uint32_t message_key;  /* VelmoraEngineMessageKey 38..51 */
} VelmoraEngineRecoveryEvent;

/* One metered engine channel, 8 bytes. */
typedef struct VelmoraEngineChannelLevel {
    uint32_t driver_channel; /* the server device channel this engine channel feeds or comes from */
    uint32_t peak_milli;     /* peak since the previous player telemetry, 0..1000 */
} VelmoraEngineChannelLevel;

/* Everything the outside world sees of the engine, 904 bytes. */
typedef struct VelmoraEngineState {
    uint32_t abi_version; /* VELMORA_ENGINE_ABI_VERSION */
    uint32_t status;      /* VelmoraEngineStatus */
    uint32_t health;      /* VelmoraEngineHealth */
    uint32_t health_reason;
    uint32_t last_error_code;    /* VelmoraEngineError */
    uint32_t last_error_key;     /* VelmoraEngineMessageKey of the last error, 0 = none */
    uint32_t health_message_key; /* VelmoraEngineMessageKey of the current situation */
    uint32_t client_id;
    uint32_t sample_rate;  /* running format, learned from the server */
    uint32_t block_frames;
    uint32_t actual_sample_rate; /* what the device reports (rate truncated) */
    uint32_t actual_block_frames;
    uint32_t recovery_event_count;    /* 0..8 */
    uint32_t recovery_event_capacity; /* 8 */
    uint32_t input_level_count;       /* 0..32 */
    uint32_t output_level_count;      /* 0..32 */
    uint64_t next_recovery_sequence;  /* the sequence the next event gets, from 1 */
    VelmoraEngineRecoveryEvent recovery_events[VELMORA_ENGINE_RECOVERY_EVENT_CAPACITY]; /* oldest first */
    VelmoraEngineChannelLevel input_levels[VELMORA_ENGINE_MAX_CHANNEL_LEVELS];
    VelmoraEngineChannelLevel output_levels[VELMORA_ENGINE_MAX_CHANNEL_LEVELS];
} VelmoraEngineState;

#ifdef __cplusplus
#define VELMORA_ENGINE_STATIC_ASSERT(condition, message) static_assert(condition, message)
#else
#define VELMORA_ENGINE_STATIC_ASSERT(condition, message) _Static_assert(condition, message)
#endif

VELMORA_ENGINE_STATIC_ASSERT(sizeof(VelmoraEngineRecoveryEvent) == 40, "recovery event is 40 bytes");
VELMORA_ENGINE_STATIC_ASSERT(offsetof(VelmoraEngineRecoveryEvent, tick_ms) == 8, "tick_ms at 8");
VELMORA_ENGINE_STATIC_ASSERT(offsetof(VelmoraEngineRecoveryEvent, type) == 16, "type at 16");
VELMORA_ENGINE_STATIC_ASSERT(offsetof(VelmoraEngineRecoveryEvent, message_key) == 36, "message_key at 36");
VELMORA_ENGINE_STATIC_ASSERT(sizeof(VelmoraEngineChannelLevel) == 8, "channel level is 8 bytes");
VELMORA_ENGINE_STATIC_ASSERT(sizeof(VelmoraEngineState) == 904, "engine state is 904 bytes");
VELMORA_ENGINE_STATIC_ASSERT(offsetof(VelmoraEngineState, health_message_key) == 24, "health_message_key at 24");
VELMORA_ENGINE_STATIC_ASSERT(offsetof(VelmoraEngineState, actual_block_frames) == 44, "actual_block_frames at 44");
VELMORA_ENGINE_STATIC_ASSERT(offsetof(VelmoraEngineState, output_level_count) == 60, "output_level_count at 60");
VELMORA_ENGINE_STATIC_ASSERT(offsetof(VelmoraEngineState, next_recovery_sequence) == 64, "next_recovery_sequence at 64");
VELMORA_ENGINE_STATIC_ASSERT(offsetof(VelmoraEngineState, recovery_events) == 72, "recovery events at 72");
VELMORA_ENGINE_STATIC_ASSERT(offsetof(VelmoraEngineState, input_levels) == 392, "input levels at 392");
VELMORA_ENGINE_STATIC_ASSERT(offsetof(VelmoraEngineState, output_levels) == 648, "output levels at 648");

#undef VELMORA_ENGINE_STATIC_ASSERT

#if defined(_WIN32)
#define VELMORA_ENGINE_EXPORT
#else
#define VELMORA_ENGINE_EXPORT __attribute__((visibility("default")))
#endif

/* Any thread. The process's engine (status idle), or null when one already exists. */
VELMORA_ENGINE_EXPORT void* velmora_engine_create(void);
/* Control thread. Starts the engine's worker from an engine configuration file; 0 for a null
 * handle or when it refused (the reason is in the state), non-zero when the worker started. */
VELMORA_ENGINE_EXPORT int velmora_engine_start_from_config(void* engine, const char* config_path);
/* Control thread; blocks until the worker has finished. Nothing for a null handle. Must not race
 * `velmora_engine_destroy` on the same handle. */
VELMORA_ENGINE_EXPORT void velmora_engine_stop(void* engine);
/* Control thread; blocks. Stops the engine and frees it; the handle is invalid afterwards. */
VELMORA_ENGINE_EXPORT void velmora_engine_destroy(void* engine);
/* Any thread, concurrently with everything except `velmora_engine_destroy`. Copies a consistent
 * snapshot into *out and returns 1; 0 (writing nothing) when either pointer is null. */
VELMORA_ENGINE_EXPORT int velmora_engine_get_state(void* engine, VelmoraEngineState* out);

#ifdef __cplusplus
}
#endif

#endif /* VELMORA_ENGINE_H */
