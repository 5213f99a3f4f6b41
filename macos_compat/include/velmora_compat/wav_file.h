// WAV files for the stand-ins' signal sources and sinks (the simulated HAL's devices, and what
// velmora_server plays and records): reads 16-, 24- and 32-bit integer PCM and 32- and 64-bit
// float (plain and extensible headers); writes 32-bit float.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace VelmoraCompat {

struct WavAudio {
    std::uint32_t sample_rate = 0;
    std::uint32_t channels = 0;
    std::vector<float> samples; // interleaved, frames x channels
    std::size_t frames() const { return channels == 0 ? 0 : samples.size() / channels; }
};

// Control thread; reads the whole file (at most 256 MiB). False with "PATH: reason" in `error`
// for a file that is missing, too large, malformed, in another encoding or without frames.
bool read_wav_file(const std::string& path, WavAudio& audio, std::string& error);
// The same from bytes already in memory (the reason without a path).
bool parse_wav(const std::vector<unsigned char>& bytes, WavAudio& audio, std::string& error);

// Streams interleaved 32-bit float frames into a WAV file; the sizes in the header are written
// by `close` (or the destructor). open/close: control thread; write: any one thread at a time,
// the IO thread included (stdio with a buffer set up by `open`, so it never allocates).
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
    bool is_open() const { return file_ != nullptr; }
    std::uint64_t frames_written() const { return frames_; }

private:
    std::FILE* file_ = nullptr;
    std::vector<char> buffer_;
    std::uint32_t channels_ = 0;
    std::uint64_t frames_ = 0;
    bool failed_ = false;
};

} // namespace VelmoraCompat
