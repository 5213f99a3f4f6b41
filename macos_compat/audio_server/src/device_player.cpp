#include <velmora/audio_server/device_player.h>

#include <cmath>
#include <cstring>
#include <numbers>

namespace VelmoraAudioServer {

bool parse_play_kind(const std::string& text, PlayKind& kind, std::string& wav_path) {
    wav_path.clear();
    if (text == "silence") {
        kind = PlayKind::silence;
    } else if (text == "tone") {
        kind = PlayKind::tone;
    } else if (text == "click") {
        kind = PlayKind::click;
    } else if (text == "echo") {
        kind = PlayKind::echo;
    } else if (text.rfind("wav:", 0) == 0 && text.size() > 4) {
        kind = PlayKind::wav;
        wav_path = text.substr(4);
    } else {
        return false;
    }
    return true;
}

double tone_frequency(std::uint32_t channel) {
    return 220.0 * std::pow(2.0, static_cast<double>(channel) / 12.0);
}

void DevicePlayer::prepare(PlayKind kind, std::uint32_t sample_rate, std::uint32_t channels,
                           std::uint32_t input_channels, const VelmoraCompat::WavAudio* wav) {
    kind_ = kind;
    sample_rate_ = sample_rate == 0 ? 48000 : sample_rate;
    channels_ = channels;
    input_channels_ = input_channels;
    phase_.assign(channels, 0.0);
    increment_.assign(channels, 0.0);
    for (std::uint32_t channel = 0; channel < channels; ++channel) {
        increment_[channel] = tone_frequency(channel) / sample_rate_;
    }
    wav_ = wav != nullptr ? *wav : VelmoraCompat::WavAudio{};
    wav_position_ = 0;
    if (kind_ == PlayKind::wav && wav_.frames() == 0) {
        kind_ = PlayKind::silence;
    }
}

void DevicePlayer::render(const float* input, float* output, std::uint32_t frames,
                          std::uint64_t output_frame) {
    const std::size_t samples = static_cast<std::size_t>(frames) * channels_;
    switch (kind_) {
    case PlayKind::silence:
        std::memset(output, 0, samples * sizeof(float));
        return;
    case PlayKind::echo:
        if (input == nullptr) {
            std::memset(output, 0, samples * sizeof(float));
        } else if (input_channels_ == channels_) {
            std::memcpy(output, input, samples * sizeof(float));
        } else {
            for (std::uint32_t frame = 0; frame < frames; ++frame) {
                float* out = output + static_cast<std::size_t>(frame) * channels_;
                const float* in = input + static_cast<std::size_t>(frame) * input_channels_;
                for (std::uint32_t channel = 0; channel < channels_; ++channel) {
                    out[channel] = channel < input_channels_ ? in[channel] : 0.0f;
                }
            }
        }
        return;
    case PlayKind::tone:
        for (std::uint32_t frame = 0; frame < frames; ++frame) {
            float* out = output + static_cast<std::size_t>(frame) * channels_;
            for (std::uint32_t channel = 0; channel < channels_; ++channel) {
                out[channel] =
                    static_cast<float>(kToneLevel * std::sin(2.0 * std::numbers::pi * phase_[channel]));
                phase_[channel] += increment_[channel];
                phase_[channel] -= std::floor(phase_[channel]);
            }
        }
        return;
    case PlayKind::click:
        for (std::uint32_t frame = 0; frame < frames; ++frame) {
            const float level = (output_frame + frame) % sample_rate_ < kClickFrames ? kClickLevel : 0.0f;
            float* out = output + static_cast<std::size_t>(frame) * channels_;
            for (std::uint32_t channel = 0; channel < channels_; ++channel) {
                out[channel] = level;
            }
        }
        return;
    case PlayKind::wav:
        for (std::uint32_t frame = 0; frame < frames; ++frame) {
            float* out = output + static_cast<std::size_t>(frame) * channels_;
            const float* in = wav_.samples.data() + wav_position_ * wav_.channels;
            for (std::uint32_t channel = 0; channel < channels_; ++channel) {
                out[channel] = channel < wav_.channels ? in[channel] : 0.0f;
            }
            if (++wav_position_ == wav_.frames()) {
                wav_position_ = 0;
            }
        }
        return;
    }
}

} // namespace VelmoraAudioServer
