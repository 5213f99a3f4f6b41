// What velmora_server plays into the device: the "applications" of the stand-in audio server.
//
//   silence   nothing
//   tone      a sine on every channel, channel c at 220 Hz x 2^(c/12) (a semitone apart), -14 dBFS
//   click     a short impulse (8 frames at 0.8) on every channel at the start of every second
//   echo      each cycle's device input written back as that cycle's output
//   wav       a file, its channel c on device channel c, looped; played at the device rate
//
// `prepare` allocates on a control thread; `render` runs on the IO thread and neither locks nor
// allocates.
#pragma once

#include <velmora_compat/wav_file.h>

#include <cstdint>
#include <string>
#include <vector>

namespace VelmoraAudioServer {

enum class PlayKind { silence, tone, click, echo, wav };

inline constexpr std::uint32_t kClickFrames = 8;
inline constexpr float kClickLevel = 0.8f;
inline constexpr float kToneLevel = 0.2f;

// "silence", "tone", "click", "echo" or "wav:PATH"; false for anything else.
bool parse_play_kind(const std::string& text, PlayKind& kind, std::string& wav_path);

double tone_frequency(std::uint32_t channel);

class DevicePlayer {
public:
    // Control thread, while IO is stopped. `wav` is used for PlayKind::wav and copied.
    void prepare(PlayKind kind, std::uint32_t sample_rate, std::uint32_t output_channels,
                 std::uint32_t input_channels, const VelmoraCompat::WavAudio* wav = nullptr);

    // IO thread. Fills `output` (frames x output channels, interleaved). `output_frame` is the
    // device position of the first frame (frames since IO started); `input` is this cycle's
    // device input (frames x input channels), used by echo: input channel c to output channel c.
    void render(const float* input, float* output, std::uint32_t frames, std::uint64_t output_frame);

    PlayKind kind() const { return kind_; }
    std::uint32_t sample_rate() const { return sample_rate_; }

private:
    PlayKind kind_ = PlayKind::silence;
    std::uint32_t sample_rate_ = 48000;
    std::uint32_t channels_ = 0;
    std::uint32_t input_channels_ = 0;
    std::vector<double> phase_;     // tone: cycles, 0..1
    std::vector<double> increment_; // tone: cycles per frame
    VelmoraCompat::WavAudio wav_;
    std::size_t wav_position_ = 0;
};

} // namespace VelmoraAudioServer
