// The one record that configures every audio component of the engine: the configuration loader
// fills it, the audio player and the device backends copy it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

struct AudioDeviceSettings {
    // Device UID, or "default" for the system's default output device.
    std::string device_uid;
    // Requested format: the server's rate and block size.
    std::uint32_t sample_rate = 48000;
    std::size_t block_frames = 128;
    // Position = engine channel, value = zero-based hardware channel counted across all streams
    // of the device in that direction.
    std::vector<long> output_channel_map;
    std::vector<long> input_channel_map;
    // Playback queue, in blocks.
    std::size_t prebuffer_blocks = 5;
    std::size_t target_queue_depth = 6;
    std::size_t max_queue_blocks = 10;
    // Fault injection of the virtual loopback device.
    std::int64_t loopback_drift_ppm = 0;
    std::uint32_t loopback_callback_jitter_max_ms = 0;
    std::uint32_t loopback_callback_skip_every = 0;
    std::uint32_t loopback_callback_skip_count = 0;
    std::uint32_t loopback_callback_duplicate_every = 0;
    std::uint32_t loopback_callback_duplicate_count = 0;
    std::uint32_t loopback_callback_stall_every_ms = 0;
    std::uint32_t loopback_callback_stall_duration_ms = 0;
    std::uint32_t loopback_input_silence_every_ms = 0;
    std::uint32_t loopback_input_silence_duration_ms = 0;
    std::uint32_t loopback_device_lost_after_ms = 0;
    // 0 = never lost.
    std::uint32_t loopback_device_lost_duration_ms = 0;
};
