// velmora_server: the stand-in for the system's audio server. Loads the VelmoraCoreAudio bundle,
// runs its device with one client that plays into it, prints a status line every second and stops
// cleanly on SIGINT or SIGTERM.
#include <velmora/audio_server/audio_server_host.h>
#include <velmora/audio_server/server_options.h>

#include <velmora/server/debug_shared_stats.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <unistd.h>

namespace {

using namespace VelmoraAudioServer;
using Clock = std::chrono::steady_clock;

std::string program_folder() {
    char path[4096] = {};
    const ssize_t length = ::readlink("/proc/self/exe", path, sizeof path - 1);
    if (length <= 0) {
        return ".";
    }
    std::string text(path, static_cast<std::size_t>(length));
    const std::size_t slash = text.find_last_of('/');
    return slash == std::string::npos ? "." : text.substr(0, slash);
}

// The network clients the plug-in serves, from its shared statistics; -1 while it publishes none.
int network_client_count() {
    const int fd = ::shm_open(VelmoraDebug::kPosixSharedMappingName, O_RDONLY, 0);
    if (fd < 0) {
        return -1;
    }
    int count = -1;
    void* mapped = ::mmap(nullptr, VelmoraDebug::kSharedStatsSize, PROT_READ, MAP_SHARED, fd, 0);
    if (mapped != MAP_FAILED) {
        const auto* stats = static_cast<const VelmoraDebug::SharedStats*>(mapped);
        if (stats->signature == VelmoraDebug::kSharedStatsSignature &&
            stats->version == VelmoraDebug::kSharedStatsVersion) {
            count = std::atomic_ref<const std::int32_t>(stats->active_client_count)
                        .load(std::memory_order_relaxed);
        }
        ::munmap(mapped, VelmoraDebug::kSharedStatsSize);
    }
    ::close(fd);
    return count;
}

double cpu_seconds() {
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

void print_status(AudioServerHost& host, double elapsed) {
    const HostStatus status = host.status();
    const int clients = network_client_count();
    std::string line = "velmora_server: " + std::to_string(static_cast<long>(std::lround(elapsed))) +
                       " s  cycles " + std::to_string(status.cycles) + "  clients " +
                       (clients < 0 ? "n/a" : std::to_string(clients)) + "  overloads " +
                       std::to_string(status.overloads);
    if (status.io_errors != 0) {
        line += "  io-errors " + std::to_string(status.io_errors);
    }
    const auto peaks = host.monitor().take_peaks();
    std::string levels;
    for (std::size_t channel = 0; channel < peaks.size(); ++channel) {
        if (peaks[channel] > 0.0f) {
            char text[32];
            std::snprintf(text, sizeof text, " %zu:%.1f", channel + 1, 20.0 * std::log10(peaks[channel]));
            levels += text;
        }
    }
    line += levels.empty() ? "  input silent" : "  input peak dBFS" + levels;
    std::printf("%s\n", line.c_str());
    for (const ClickResult& click : host.monitor().take_click_results()) {
        std::printf("velmora_server: click returned on input %u after %lld frames (%.3f ms)\n",
                    click.channel + 1, static_cast<long long>(click.round_trip_frames),
                    1000.0 * static_cast<double>(click.round_trip_frames) / host.device().sample_rate);
    }
    std::fflush(stdout);
}

int run(const ServerOptions& options) {
    if (!options.config_path.empty()) {
        if (::access(options.config_path.c_str(), R_OK) != 0) {
            std::fprintf(stderr, "velmora_server: cannot read the configuration file %s\n",
                         options.config_path.c_str());
            return kExitUsage;
        }
        ::setenv("VELMORA_DRIVER_CONFIG", options.config_path.c_str(), 1);
    }
    VelmoraCompat::WavAudio wav;
    std::string error;
    if (options.play == PlayKind::wav) {
        if (!VelmoraCompat::read_wav_file(options.wav_path, wav, error)) {
            std::fprintf(stderr, "velmora_server: %s\n", error.c_str());
            return kExitFailure;
        }
        if (wav.sample_rate != options.sample_rate) {
            std::fprintf(stderr, "velmora_server: note: %s is %u Hz and plays at the device's %u Hz\n",
                         options.wav_path.c_str(), wav.sample_rate, options.sample_rate);
        }
    }
    const std::string bundle_path =
        options.driver_path.empty() ? program_folder() + "/VelmoraCoreAudio.driver" : options.driver_path;
    std::unique_ptr<PlugInBundle> bundle = PlugInBundle::load(bundle_path, error);
    if (!bundle) {
        std::fprintf(stderr, "velmora_server: %s\n", error.c_str());
        return kExitFailure;
    }
    AudioServerHost host(*bundle);
    DeviceDescription device;
    if (!host.initialize(error) || !host.describe_device(device, error)) {
        std::fprintf(stderr, "velmora_server: %s\n", error.c_str());
        return kExitFailure;
    }
    std::printf("velmora_server: plug-in %s, device \"%s\" (%s): input \"%s\" %u channels, output \"%s\" %u "
                "channels\n",
                bundle->bundle_identifier().c_str(), device.name.c_str(), device.uid.c_str(),
                device.input_stream_name.c_str(), device.input_channels, device.output_stream_name.c_str(),
                device.output_channels);
    if (std::find(device.sample_rates.begin(), device.sample_rates.end(), options.sample_rate) ==
        device.sample_rates.end()) {
        std::string offered;
        for (std::uint32_t rate : device.sample_rates) {
            offered += (offered.empty() ? "" : ", ") + std::to_string(rate);
        }
        std::fprintf(stderr, "velmora_server: the device does not offer %u Hz (it offers %s)\n",
                     options.sample_rate, offered.c_str());
        return kExitUsage;
    }
    if (options.buffer_frames < device.min_buffer_frames ||
        options.buffer_frames > device.max_buffer_frames) {
        std::fprintf(stderr, "velmora_server: the device takes %u to %u frames per buffer, not %u\n",
                     device.min_buffer_frames, device.max_buffer_frames, options.buffer_frames);
        return kExitUsage;
    }
    if (!host.configure(options.sample_rate, options.buffer_frames, error)) {
        std::fprintf(stderr, "velmora_server: %s\n", error.c_str());
        return kExitFailure;
    }
    const OSStatus attached = host.attach();
    if (attached != kAudioHardwareNoError) {
        std::fprintf(
            stderr,
            "velmora_server: the device refused its client (AddDeviceClient returned %s): the plug-in's "
            "network server did not start; its log above says why\n",
            status_text(attached).c_str());
        return kExitAttachRefused;
    }
    InputRecorder recorder;
    if (!options.record_path.empty() &&
        !recorder.start(options.record_path, options.sample_rate, device.input_channels,
                        2 * options.sample_rate, error)) {
        std::fprintf(stderr, "velmora_server: %s\n", error.c_str());
        return kExitFailure;
    }
    IoSettings settings;
    settings.play = options.play;
    settings.wav = &wav;
    settings.recorder = recorder.is_recording() ? &recorder : nullptr;
    const double cycles_per_second = static_cast<double>(options.sample_rate) / options.buffer_frames;
    settings.timing_capacity = options.duration_seconds > 0
                                   ? static_cast<std::size_t>(std::min(
                                         options.duration_seconds * cycles_per_second + 4096.0, 16777216.0))
                                   : std::size_t{1} << 20;
    const double cpu_before = cpu_seconds();
    if (!host.start_io(settings, error)) {
        std::fprintf(stderr, "velmora_server: %s\n", error.c_str());
        return kExitFailure;
    }
    static const char* const kPlayNames[] = {"silence", "tone", "click", "echo", "a WAV file"};
    std::printf("velmora_server: running at %u Hz, %u frames per cycle, playing %s%s%s\n",
                options.sample_rate, options.buffer_frames, kPlayNames[static_cast<int>(options.play)],
                options.record_path.empty() ? "" : ", recording to ", options.record_path.c_str());
    std::fflush(stdout);

    sigset_t stop_signals;
    sigemptyset(&stop_signals);
    sigaddset(&stop_signals, SIGINT);
    sigaddset(&stop_signals, SIGTERM);
    const auto started = Clock::now();
    auto next_status = started + std::chrono::seconds(1);
    const auto end = options.duration_seconds > 0
                         ? started + std::chrono::duration_cast<Clock::duration>(
                                         std::chrono::duration<double>(options.duration_seconds))
                         : Clock::time_point::max();
    int stop_signal = 0;
    while (stop_signal == 0) {
        const auto now = Clock::now();
        if (now >= end) {
            break;
        }
        if (now >= next_status) {
            print_status(host, std::chrono::duration<double>(now - started).count());
            next_status += std::chrono::seconds(1);
            continue;
        }
        const auto wait = std::min(next_status, end) - now;
        const auto wait_ns = std::chrono::duration_cast<std::chrono::nanoseconds>(wait).count();
        timespec timeout{static_cast<time_t>(wait_ns / 1000000000), static_cast<long>(wait_ns % 1000000000)};
        const int received = ::sigtimedwait(&stop_signals, nullptr, &timeout);
        if (received > 0) {
            stop_signal = received;
        }
    }
    host.stop_io();
    const double cpu_used = cpu_seconds() - cpu_before;
    const bool recorded = recorder.stop();
    host.detach();
    const double audio_seconds = static_cast<double>(host.frames_run()) / options.sample_rate;
    const HostStatus status = host.status();
    std::printf("velmora_server: stopped%s after %.1f s of audio: %llu cycles, %llu overloads\n",
                stop_signal == SIGINT    ? " by SIGINT"
                : stop_signal == SIGTERM ? " by SIGTERM"
                                         : "",
                audio_seconds, static_cast<unsigned long long>(status.cycles),
                static_cast<unsigned long long>(status.overloads));
    if (!options.record_path.empty()) {
        std::printf("velmora_server: recorded %llu frames to %s (%llu dropped)\n",
                    static_cast<unsigned long long>(recorder.frames_written()), options.record_path.c_str(),
                    static_cast<unsigned long long>(recorder.dropped_frames()));
    }
    if (options.timing_report) {
        const CycleTiming::Summary timing = host.timing();
        std::printf(
            "velmora_server: timing: %zu cycles, wake-up lateness p50 %.1f us, p99 %.1f us, max %.1f us\n",
            timing.cycles, timing.p50_us, timing.p99_us, timing.max_us);
        std::printf("velmora_server: cpu: %.3f s over %.1f s of audio = %.2f ms per second of audio\n",
                    cpu_used, audio_seconds, audio_seconds > 0 ? 1000.0 * cpu_used / audio_seconds : 0.0);
    }
    std::fflush(stdout);
    if (!recorded) {
        std::fprintf(stderr, "velmora_server: writing %s failed\n", options.record_path.c_str());
        return kExitFailure;
    }
    return kExitOk;
}

} // namespace

int main(int argc, char** argv) {
    // A shell starts background jobs with SIGINT ignored, and an ignored signal never reaches
    // sigtimedwait: take both back. Every thread inherits the mask; the main thread takes the
    // stop signals with sigtimedwait.
    std::signal(SIGINT, SIG_DFL);
    std::signal(SIGTERM, SIG_DFL);
    sigset_t stop_signals;
    sigemptyset(&stop_signals);
    sigaddset(&stop_signals, SIGINT);
    sigaddset(&stop_signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);

    ServerOptions options;
    std::string error;
    if (!parse_server_options(argc, argv, options, error)) {
        std::fprintf(stderr, "velmora_server: %s (see velmora_server --help)\n", error.c_str());
        return kExitUsage;
    }
    if (options.help) {
        std::fputs(kServerUsage, stdout);
        return kExitOk;
    }
    return run(options);
}
