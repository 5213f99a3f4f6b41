#include <velmora/audio_server/server_options.h>

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>

namespace VelmoraAudioServer {

const char kServerUsage[] =
    "Usage: velmora_server [options]\n"
    "\n"
    "Hosts the VelmoraCoreAudio plug-in as the system's audio server does and runs its device.\n"
    "\n"
    "  --rate HZ          device sample rate (default 48000)\n"
    "  --frames N         device buffer size in frames (default 128)\n"
    "  --play WHAT        what plays into the device output:\n"
    "                       silence   nothing (default)\n"
    "                       tone      a sine on every channel, each a semitone above the last\n"
    "                       click     an impulse on every channel each second; prints where it returns\n"
    "                       echo      the device input played straight back\n"
    "                       wav:PATH  a WAV file, looped, its channels on the first device channels\n"
    "  --record PATH.wav  record the device input (32-bit float)\n"
    "  --duration SEC     stop after SEC seconds (default: run until interrupted)\n"
    "  --config PATH      the plug-in's configuration file (sets VELMORA_DRIVER_CONFIG)\n"
    "  --driver PATH      the plug-in bundle (default: VelmoraCoreAudio.driver beside this program)\n"
    "  --timing-report    at the end, print how late IO cycles woke up and the CPU time used\n"
    "  -h, --help         print this text\n"
    "\n"
    "Exit status: 0 after a clean stop, 1 when the plug-in cannot be loaded or run, 2 for bad\n"
    "options, 3 when the device refuses its client (its network server did not start).\n";

namespace {

bool parse_unsigned(const char* text, std::uint32_t& value) {
    if (text == nullptr || *text < '0' || *text > '9') {
        return false;
    }
    errno = 0;
    char* end = nullptr;
    const unsigned long parsed = std::strtoul(text, &end, 10);
    if (errno != 0 || *end != '\0' || parsed > 0xFFFFFFFFul) {
        return false;
    }
    value = static_cast<std::uint32_t>(parsed);
    return true;
}

} // namespace

bool parse_server_options(int argc, const char* const* argv, ServerOptions& options, std::string& error) {
    options = ServerOptions{};
    for (int i = 1; i < argc; ++i) {
        const std::string name = argv[i] != nullptr ? argv[i] : "";
        if (name == "-h" || name == "--help") {
            options.help = true;
            continue;
        }
        if (name == "--timing-report") {
            options.timing_report = true;
            continue;
        }
        const bool takes_value = name == "--rate" || name == "--frames" || name == "--play" || name == "--record" ||
                                 name == "--duration" || name == "--config" || name == "--driver";
        if (!takes_value) {
            error = "unknown option " + name;
            return false;
        }
        if (i + 1 >= argc || argv[i + 1] == nullptr) {
            error = name + " needs a value";
            return false;
        }
        const char* value = argv[++i];
        if (name == "--rate") {
            if (!parse_unsigned(value, options.sample_rate) || options.sample_rate == 0) {
                error = "--rate needs a sample rate in Hz, not \"" + std::string(value) + "\"";
                return false;
            }
        } else if (name == "--frames") {
            if (!parse_unsigned(value, options.buffer_frames) || options.buffer_frames == 0) {
                error = "--frames needs a frame count, not \"" + std::string(value) + "\"";
                return false;
            }
        } else if (name == "--play") {
            if (!parse_play_kind(value, options.play, options.wav_path)) {
                error = "--play takes silence, tone, click, echo or wav:PATH, not \"" + std::string(value) + "\"";
                return false;
            }
        } else if (name == "--duration") {
            char* end = nullptr;
            options.duration_seconds = std::strtod(value, &end);
            if (end == value || *end != '\0' || !std::isfinite(options.duration_seconds) ||
                options.duration_seconds <= 0 || options.duration_seconds > 1e7) {
                error = "--duration needs a number of seconds above 0, not \"" + std::string(value) + "\"";
                return false;
            }
        } else if (*value == '\0') {
            error = name + " needs a path";
            return false;
        } else if (name == "--record") {
            options.record_path = value;
        } else if (name == "--config") {
            options.config_path = value;
        } else {
            options.driver_path = value;
        }
    }
    return true;
}

} // namespace VelmoraAudioServer
