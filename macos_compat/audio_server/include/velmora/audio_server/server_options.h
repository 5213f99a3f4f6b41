// The command line of velmora_server.
#pragma once

#include <velmora/audio_server/device_player.h>

#include <cstdint>
#include <string>

namespace VelmoraAudioServer {

extern const char kServerUsage[];

// Exit statuses of velmora_server.
inline constexpr int kExitOk = 0;
inline constexpr int kExitFailure = 1;
inline constexpr int kExitUsage = 2;
inline constexpr int kExitAttachRefused = 3;

struct ServerOptions {
    std::uint32_t sample_rate = 48000;
    std::uint32_t buffer_frames = 128;
    PlayKind play = PlayKind::silence;
    std::string wav_path;
    std::string record_path;
    double duration_seconds = 0; // 0: until a signal
    std::string config_path;
    std::string driver_path; // empty: beside the program
    bool timing_report = false;
    bool help = false;
};

// False with a sentence in `error` for an unknown option, a missing or malformed value.
bool parse_server_options(int argc, const char* const* argv, ServerOptions& options, std::string& error);

} // namespace VelmoraAudioServer
