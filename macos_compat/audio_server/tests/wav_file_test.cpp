#include <velmora/audio_server/input_recorder.h>
#include <velmora_compat/wav_file.h>

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>

#include <unistd.h>

namespace {

using namespace VelmoraAudioServer;
using namespace VelmoraCompat;

std::vector<unsigned char> wav_bytes(std::uint16_t format, std::uint16_t channels, std::uint32_t rate,
                                     std::uint16_t bits, const std::vector<unsigned char>& data,
                                     std::uint32_t claimed_data_size, bool extensible = false) {
    std::vector<unsigned char> out;
    auto put = [&](std::uint64_t value, int bytes) {
        for (int i = 0; i < bytes; ++i) {
            out.push_back(static_cast<unsigned char>(value >> (8 * i)));
        }
    };
    auto text = [&](const char* tag) {
        for (int i = 0; i < 4; ++i) {
            out.push_back(static_cast<unsigned char>(tag[i]));
        }
    };
    text("RIFF");
    put(0, 4);
    text("WAVE");
    text("LIST"); // a chunk to skip
    put(3, 4);
    put(0, 4); // 3 bytes and a pad byte
    text("fmt ");
    put(extensible ? 40 : 16, 4);
    put(extensible ? 0xFFFE : format, 2);
    put(channels, 2);
    put(rate, 4);
    put(rate * channels * bits / 8, 4);
    put(channels * bits / 8, 2);
    put(bits, 2);
    if (extensible) {
        put(22, 2);
        put(bits, 2);
        put(0, 4);
        put(format, 2);
        put(0, 8); // the rest of the sub-format GUID
        put(0, 6);
    }
    text("data");
    put(claimed_data_size, 4);
    for (unsigned char byte : data) {
        out.push_back(byte);
    }
    return out;
}

TEST(WavFile, ReadsIntegerAndFloatEncodings) {
    WavAudio audio;
    std::string error;
    // 16-bit stereo: 0x4000 = 0.5, 0x8000 = -1.
    ASSERT_TRUE(parse_wav(wav_bytes(1, 2, 44100, 16, {0x00, 0x40, 0x00, 0x80}, 4), audio, error)) << error;
    EXPECT_EQ(audio.sample_rate, 44100u);
    EXPECT_EQ(audio.channels, 2u);
    EXPECT_EQ(audio.samples, (std::vector<float>{0.5f, -1.0f}));
    // 24-bit mono through an extensible header: 0xC00000 = -0.5.
    ASSERT_TRUE(
        parse_wav(wav_bytes(1, 1, 48000, 24, {0x00, 0x00, 0xC0, 0x00, 0x00, 0x40}, 6, true), audio, error))
        << error;
    EXPECT_EQ(audio.samples, (std::vector<float>{-0.5f, 0.5f}));
    // 32-bit float, with a data chunk claiming more than the file holds (a recording cut short).
    const float values[3] = {0.25f, -0.75f, 1.0f};
    std::vector<unsigned char> data(sizeof values);
    std::memcpy(data.data(), values, sizeof values);
    ASSERT_TRUE(parse_wav(wav_bytes(3, 1, 96000, 32, data, 0xFFFFFFF0u), audio, error)) << error;
    EXPECT_EQ(audio.samples, (std::vector<float>{0.25f, -0.75f, 1.0f}));
}

TEST(WavFile, RefusesWhatItCannotPlay) {
    WavAudio audio;
    std::string error;
    EXPECT_FALSE(parse_wav({'R', 'I', 'F', 'F'}, audio, error));
    EXPECT_EQ(error, "not a RIFF/WAVE file");
    EXPECT_FALSE(parse_wav(wav_bytes(1, 2, 44100, 8, {1, 2}, 2), audio, error));
    EXPECT_EQ(error, "unsupported encoding (format 1, 8 bits, 2 channels)");
    EXPECT_FALSE(parse_wav(wav_bytes(2, 2, 44100, 16, {1, 2}, 2), audio, error));
    EXPECT_FALSE(read_wav_file("/nonexistent.wav", audio, error));
    EXPECT_EQ(error, "/nonexistent.wav: cannot open");
}

TEST(InputRecorder, RecordsEveryCycleInOrderAndCountsWhatDidNotFit) {
    const std::string path =
        (std::filesystem::temp_directory_path() / ("velmora_recorder_" + std::to_string(::getpid()) + ".wav")).string();
    InputRecorder recorder;
    std::string error;
    ASSERT_TRUE(recorder.start(path, 48000, 2, 8, error)) << error;
    std::vector<float> cycle(2 * 3);
    float next = 0;
    std::vector<float> expected;
    // Pushes of 3 frames into an 8-frame ring: with the writer draining every 50 ms, the first
    // two fit at once, the third does not until the writer has run.
    for (int i = 0; i < 3; ++i) {
        for (float& sample : cycle) {
            sample = next++;
        }
        if (recorder.push(cycle.data(), 3)) {
            expected.insert(expected.end(), cycle.begin(), cycle.end());
        }
    }
    EXPECT_EQ(recorder.dropped_frames(), 3u);
    for (int i = 0; i < 20; ++i) {
        for (float& sample : cycle) {
            sample = next++;
        }
        while (!recorder.push(cycle.data(), 3)) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        expected.insert(expected.end(), cycle.begin(), cycle.end());
    }
    ASSERT_TRUE(recorder.stop());
    WavAudio audio;
    ASSERT_TRUE(read_wav_file(path, audio, error)) << error;
    EXPECT_EQ(audio.samples, expected);
    EXPECT_EQ(audio.sample_rate, 48000u);
    EXPECT_EQ(audio.channels, 2u);
    EXPECT_EQ(std::filesystem::file_size(path), 44u + expected.size() * 4);
    std::filesystem::remove(path);
    EXPECT_FALSE(recorder.start("/nonexistent/dir/x.wav", 48000, 2, 8, error));
    EXPECT_EQ(error.rfind("cannot create /nonexistent/dir/x.wav", 0), 0u) << error;
}

} // namespace
