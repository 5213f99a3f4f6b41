#include "wav_file.h"

#include <cstdint>
#include <cstring>
#include <fstream>
#include <iterator>

namespace VelmoraCompat::Hal {

namespace {

constexpr std::size_t kMaxWavBytes = 256u * 1024u * 1024u;

std::uint32_t le32(const unsigned char* p) {
    return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) | (static_cast<std::uint32_t>(p[2]) << 16) |
           (static_cast<std::uint32_t>(p[3]) << 24);
}

std::uint16_t le16(const unsigned char* p) {
    return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}

void put32(unsigned char* p, std::uint32_t v) {
    p[0] = static_cast<unsigned char>(v);
    p[1] = static_cast<unsigned char>(v >> 8);
    p[2] = static_cast<unsigned char>(v >> 16);
    p[3] = static_cast<unsigned char>(v >> 24);
}

void put16(unsigned char* p, std::uint16_t v) {
    p[0] = static_cast<unsigned char>(v);
    p[1] = static_cast<unsigned char>(v >> 8);
}

} // namespace

bool read_wav_file(const std::string& path, WavData* data, std::string* error) {
    const auto fail = [&](const std::string& why) {
        *error = path + ": " + why;
        return false;
    };
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        return fail("cannot open");
    }
    in.seekg(0, std::ios::end);
    const std::streamoff size = in.tellg();
    if (size < 0 || static_cast<std::size_t>(size) > kMaxWavBytes) {
        return fail("larger than 256 MiB");
    }
    in.seekg(0);
    std::vector<unsigned char> bytes(static_cast<std::size_t>(size));
    if (!in.read(reinterpret_cast<char*>(bytes.data()), size)) {
        return fail("cannot read");
    }
    if (bytes.size() < 12 || std::memcmp(bytes.data(), "RIFF", 4) != 0 || std::memcmp(bytes.data() + 8, "WAVE", 4) != 0) {
        return fail("not a RIFF WAVE file");
    }
    unsigned format = 0;
    unsigned channels = 0;
    unsigned bits = 0;
    double rate = 0.0;
    const unsigned char* samples = nullptr;
    std::size_t sample_bytes = 0;
    std::size_t at = 12;
    while (at + 8 <= bytes.size()) {
        const unsigned char* chunk = bytes.data() + at;
        const std::size_t length = le32(chunk + 4);
        const std::size_t available = bytes.size() - at - 8;
        if (std::memcmp(chunk, "fmt ", 4) == 0) {
            if (length < 16 || length > available) {
                return fail("bad fmt chunk");
            }
            format = le16(chunk + 8);
            channels = le16(chunk + 10);
            rate = le32(chunk + 12);
            bits = le16(chunk + 22);
            if (format == 0xFFFE && length >= 40) {
                format = le16(chunk + 8 + 24);  // the sub-format GUID starts with the format code
            }
        } else if (std::memcmp(chunk, "data", 4) == 0) {
            samples = chunk + 8;
            sample_bytes = length < available ? length : available;
        }
        if (length > available) {
            break;
        }
        at += 8 + length + (length & 1u);
    }
    if (channels == 0 || channels > 256 || rate <= 0.0) {
        return fail("missing or bad fmt chunk");
    }
    const bool pcm = format == 1 && (bits == 16 || bits == 24 || bits == 32);
    const bool ieee_float = format == 3 && bits == 32;
    if (!pcm && !ieee_float) {
        return fail("unsupported sample format (PCM 16, 24, 32 bits or 32-bit float)");
    }
    if (samples == nullptr) {
        return fail("no data chunk");
    }
    const std::size_t bytes_per_sample = bits / 8;
    const std::size_t frames = sample_bytes / (bytes_per_sample * channels);
    if (frames == 0) {
        return fail("no audio frames");
    }
    data->channels = channels;
    data->sample_rate = rate;
    data->samples.resize(frames * channels);
    for (std::size_t i = 0; i < frames * channels; ++i) {
        const unsigned char* p = samples + i * bytes_per_sample;
        float value = 0.0f;
        if (ieee_float) {
            std::memcpy(&value, p, 4);
        } else if (bits == 16) {
            value = static_cast<float>(static_cast<std::int16_t>(le16(p))) / 32768.0f;
        } else if (bits == 24) {
            const std::int32_t raw = static_cast<std::int32_t>((static_cast<std::uint32_t>(p[0]) << 8) | (static_cast<std::uint32_t>(p[1]) << 16) |
                                                               (static_cast<std::uint32_t>(p[2]) << 24));
            value = static_cast<float>(raw / 256) / 8388608.0f;
        } else {
            value = static_cast<float>(static_cast<double>(static_cast<std::int32_t>(le32(p))) / 2147483648.0);
        }
        data->samples[i] = value;
    }
    return true;
}

WavWriter::~WavWriter() {
    close();
}

bool WavWriter::open(const std::string& path, unsigned channels, double sample_rate, std::string* error) {
    close();
    file_ = std::fopen(path.c_str(), "wb");
    if (file_ == nullptr) {
        *error = path + ": cannot create";
        return false;
    }
    buffer_.resize(1u << 16);
    std::setvbuf(file_, buffer_.data(), _IOFBF, buffer_.size());
    channels_ = channels;
    frames_written_ = 0;
    unsigned char header[44] = {};
    std::memcpy(header, "RIFF", 4);
    std::memcpy(header + 8, "WAVEfmt ", 8);
    put32(header + 16, 16);
    put16(header + 20, 3);
    put16(header + 22, static_cast<std::uint16_t>(channels));
    put32(header + 24, static_cast<std::uint32_t>(sample_rate));
    put32(header + 28, static_cast<std::uint32_t>(sample_rate) * channels * 4u);
    put16(header + 32, static_cast<std::uint16_t>(channels * 4u));
    put16(header + 34, 32);
    std::memcpy(header + 36, "data", 4);
    std::fwrite(header, 1, sizeof header, file_);
    return true;
}

void WavWriter::write(const float* interleaved, unsigned frames) {
    if (file_ == nullptr) {
        return;
    }
    // Little-endian hosts only, as everywhere in this project.
    frames_written_ += std::fwrite(interleaved, sizeof(float) * channels_, frames, file_);
}

void WavWriter::close() {
    if (file_ == nullptr) {
        return;
    }
    const unsigned long long data_bytes = frames_written_ * channels_ * 4u;
    const std::uint32_t clamped = data_bytes > 0xFFFFFFF0ull ? 0xFFFFFFF0u : static_cast<std::uint32_t>(data_bytes);
    unsigned char size_field[4];
    put32(size_field, clamped + 36u);
    std::fseek(file_, 4, SEEK_SET);
    std::fwrite(size_field, 1, 4, file_);
    put32(size_field, clamped);
    std::fseek(file_, 40, SEEK_SET);
    std::fwrite(size_field, 1, 4, file_);
    std::fclose(file_);
    file_ = nullptr;
}

} // namespace VelmoraCompat::Hal
