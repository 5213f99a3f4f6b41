#include <velmora_compat/wav_file.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>

namespace VelmoraCompat {
namespace {

constexpr std::uint16_t kFormatPcm = 1;
constexpr std::uint16_t kFormatFloat = 3;
constexpr std::uint16_t kFormatExtensible = 0xFFFE;
// A 32-bit RIFF size field holds at most this much data.
constexpr std::uint64_t kMaxRiffData = 0xFFFFFFFFull - 36;
// What a device file or a command line may make the stand-ins read into memory.
constexpr std::uint64_t kMaxFileBytes = 256ull * 1024 * 1024;

std::uint32_t le32(const unsigned char* p) {
    return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
           static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}
std::uint16_t le16(const unsigned char* p) {
    return static_cast<std::uint16_t>(p[0] | p[1] << 8);
}

void put32(unsigned char* p, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) {
        p[i] = static_cast<unsigned char>(value >> (8 * i));
    }
}
void put16(unsigned char* p, std::uint16_t value) {
    p[0] = static_cast<unsigned char>(value);
    p[1] = static_cast<unsigned char>(value >> 8);
}

float decode(const unsigned char* p, std::uint16_t format, std::uint16_t bits) {
    if (format == kFormatFloat && bits == 32) {
        float value;
        std::memcpy(&value, p, sizeof value);
        return value;
    }
    if (format == kFormatFloat) {
        double value;
        std::memcpy(&value, p, sizeof value);
        return static_cast<float>(value);
    }
    switch (bits) {
    case 16:
        return static_cast<float>(static_cast<std::int16_t>(le16(p))) / 32768.0f;
    case 24: {
        const std::int32_t value = static_cast<std::int32_t>(le32(p) << 8 & 0xFFFFFF00u) >> 8;
        return static_cast<float>(value) / 8388608.0f;
    }
    default:
        return static_cast<float>(static_cast<double>(static_cast<std::int32_t>(le32(p))) / 2147483648.0);
    }
}

} // namespace

bool parse_wav(const std::vector<unsigned char>& bytes, WavAudio& audio, std::string& error) {
    audio = WavAudio{};
    if (bytes.size() < 12 || std::memcmp(bytes.data(), "RIFF", 4) != 0 ||
        std::memcmp(bytes.data() + 8, "WAVE", 4) != 0) {
        error = "not a RIFF/WAVE file";
        return false;
    }
    std::uint16_t format = 0;
    std::uint16_t channels = 0;
    std::uint16_t bits = 0;
    std::uint32_t rate = 0;
    bool have_format = false;
    std::size_t pos = 12;
    while (pos + 8 <= bytes.size()) {
        const unsigned char* chunk = bytes.data() + pos;
        const std::uint64_t size = le32(chunk + 4);
        const std::size_t body = pos + 8;
        // A data chunk may claim more than the file holds (a recording cut short): take what is there.
        const std::size_t available =
            static_cast<std::size_t>(std::min<std::uint64_t>(size, bytes.size() - body));
        if (std::memcmp(chunk, "fmt ", 4) == 0) {
            if (available < 16) {
                error = "format chunk too short";
                return false;
            }
            format = le16(bytes.data() + body);
            channels = le16(bytes.data() + body + 2);
            rate = le32(bytes.data() + body + 4);
            bits = le16(bytes.data() + body + 14);
            if (format == kFormatExtensible) {
                if (available < 26) {
                    error = "extensible format chunk too short";
                    return false;
                }
                format = le16(bytes.data() + body + 24);
            }
            have_format = true;
        } else if (std::memcmp(chunk, "data", 4) == 0) {
            if (!have_format) {
                error = "data before the format chunk";
                return false;
            }
            const bool supported = (format == kFormatPcm && (bits == 16 || bits == 24 || bits == 32)) ||
                                   (format == kFormatFloat && (bits == 32 || bits == 64));
            if (!supported || channels == 0 || rate == 0) {
                error = "unsupported encoding (format " + std::to_string(format) + ", " +
                        std::to_string(bits) + " bits, " + std::to_string(channels) + " channels)";
                return false;
            }
            const std::size_t frame_bytes = static_cast<std::size_t>(channels) * (bits / 8);
            const std::size_t frames = available / frame_bytes;
            if (frames == 0) {
                error = "no audio frames";
                return false;
            }
            audio.sample_rate = rate;
            audio.channels = channels;
            audio.samples.resize(frames * channels);
            for (std::size_t i = 0; i < audio.samples.size(); ++i) {
                audio.samples[i] = decode(bytes.data() + body + i * (bits / 8), format, bits);
            }
            return true;
        }
        pos = body + static_cast<std::size_t>(size) + (size & 1);
        if (pos < body) {
            break;
        }
    }
    error = "no data chunk";
    return false;
}

bool read_wav_file(const std::string& path, WavAudio& audio, std::string& error) {
    std::ifstream file(path, std::ios::binary | std::ios::ate);
    if (!file) {
        error = path + ": cannot open";
        return false;
    }
    const std::streamoff size = file.tellg();
    if (size < 0 || static_cast<std::uint64_t>(size) > kMaxFileBytes) {
        error = path + ": larger than 256 MiB";
        return false;
    }
    file.seekg(0);
    std::vector<unsigned char> bytes(static_cast<std::size_t>(size));
    if (!file.read(reinterpret_cast<char*>(bytes.data()), size)) {
        error = path + ": cannot read";
        return false;
    }
    if (!parse_wav(bytes, audio, error)) {
        error = path + ": " + error;
        return false;
    }
    return true;
}

WavWriter::~WavWriter() {
    close();
}

bool WavWriter::open(const std::string& path, std::uint32_t sample_rate, std::uint32_t channels,
                     std::string& error) {
    close();
    failed_ = false;
    frames_ = 0;
    channels_ = channels;
    file_ = std::fopen(path.c_str(), "wb");
    if (file_ == nullptr) {
        error = "cannot create " + path + ": " + std::strerror(errno);
        return false;
    }
    // The stream's buffer exists before the first write, so writing never allocates.
    buffer_.resize(1U << 16);
    std::setvbuf(file_, buffer_.data(), _IOFBF, buffer_.size());
    unsigned char header[44] = {};
    std::memcpy(header, "RIFF", 4);
    put32(header + 4, 36);
    std::memcpy(header + 8, "WAVEfmt ", 8);
    put32(header + 16, 16);
    put16(header + 20, kFormatFloat);
    put16(header + 22, static_cast<std::uint16_t>(channels));
    put32(header + 24, sample_rate);
    put32(header + 28, sample_rate * channels * 4);
    put16(header + 32, static_cast<std::uint16_t>(channels * 4));
    put16(header + 34, 32);
    std::memcpy(header + 36, "data", 4);
    put32(header + 40, 0);
    if (std::fwrite(header, 1, sizeof header, file_) != sizeof header) {
        error = "cannot write " + path;
        std::fclose(file_);
        file_ = nullptr;
        return false;
    }
    return true;
}

bool WavWriter::write(const float* interleaved, std::size_t frames) {
    if (file_ == nullptr || failed_) {
        return false;
    }
    // Little-endian hosts write float samples as they are.
    const std::size_t count = frames * channels_;
    if (std::fwrite(interleaved, sizeof(float), count, file_) != count) {
        failed_ = true;
        return false;
    }
    frames_ += frames;
    return true;
}

bool WavWriter::close() {
    if (file_ == nullptr) {
        return !failed_;
    }
    const std::uint64_t data_bytes = std::min<std::uint64_t>(frames_ * channels_ * 4, kMaxRiffData);
    unsigned char size[4];
    put32(size, static_cast<std::uint32_t>(36 + data_bytes));
    bool ok = std::fseek(file_, 4, SEEK_SET) == 0 && std::fwrite(size, 1, 4, file_) == 4;
    put32(size, static_cast<std::uint32_t>(data_bytes));
    ok = ok && std::fseek(file_, 40, SEEK_SET) == 0 && std::fwrite(size, 1, 4, file_) == 4;
    ok = std::fclose(file_) == 0 && ok;
    file_ = nullptr;
    failed_ = failed_ || !ok;
    return !failed_;
}

} // namespace VelmoraCompat
