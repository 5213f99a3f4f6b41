// WAV files for what velmora_server plays and records: reads 16-, 24- and 32-bit integer PCM and
// 32- and 64-bit float (plain and extensible headers); writes 32-bit float.
//
// Control threads; these open, read and write files.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace VelmoraAudioServer {

struct WavAudio {
    std::uint32_t sample_rate = 0;
    std::uint32_t channels = 0;
    std::vector<float> samples; // interleaved, frames x channels
    std::size_t frames() const { return channels == 0 ? 0 : samples.size() / channels; }
};

// False with a reason in `error` for a file that is missing, malformed or in another encoding.
bool read_wav_file(const std::string& path, WavAudio& audio, std::string& error);
// The same from bytes already in memory.
bool parse_wav(const std::vector<unsigned char>& bytes, WavAudio& audio, std::string& error);

// Streams interleaved 32-bit float frames into a WAV file; the sizes in the header are written
// by `close` (or the destructor).
class WavWriter {
public:
    WavWriter() = default;
    ~WavWriter();
    WavWriter(const WavWriter&) = delete;
    WavWriter& operator=(const WavWriter&) = delete;

    bool open(const std::string& path, std::uint32_t sample_rate, std::uint32_t channels, std::string& error);
    bool write(const float* interleaved, std::size_t frames);
    // Finishes the header; false when a write failed at any point.
    bool close();
    std::uint64_t frames_written() const { return frames_; }

private:
    std::FILE* file_ = nullptr;
    std::uint32_t channels_ = 0;
    std::uint64_t frames_ = 0;
    bool failed_ = false;
};

} // namespace VelmoraAudioServer
