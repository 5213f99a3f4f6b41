// Minimal WAV reading (PCM 16/24/32-bit integer and 32-bit float, any channel count) and
// writing (32-bit float), for the simulated devices' signal sources and sinks.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

namespace VelmoraCompat::Hal {

struct WavData {
    unsigned channels = 0;
    double sample_rate = 0.0;
    std::vector<float> samples;  // interleaved
};

// Control thread; reads the whole file (at most 256 MiB). False with a reason in `error`.
bool read_wav_file(const std::string& path, WavData* data, std::string* error);

// Writes 32-bit float WAV. open/close: control thread; write: IO thread (buffered stdio writes,
// the buffer set up at open, so no allocation there).
class WavWriter {
public:
    WavWriter() = default;
    ~WavWriter();
    WavWriter(const WavWriter&) = delete;
    WavWriter& operator=(const WavWriter&) = delete;

    bool open(const std::string& path, unsigned channels, double sample_rate, std::string* error);
    // Interleaved frames.
    void write(const float* interleaved, unsigned frames);
    // Completes the header with the final sizes.
    void close();
    bool is_open() const { return file_ != nullptr; }

private:
    std::FILE* file_ = nullptr;
    std::vector<char> buffer_;
    unsigned channels_ = 0;
    unsigned long long frames_written_ = 0;
};

} // namespace VelmoraCompat::Hal
