#include <velmora/audio_server/server_options.h>

#include <gtest/gtest.h>

namespace {

using namespace VelmoraAudioServer;

bool parse(std::vector<const char*> arguments, ServerOptions& options, std::string& error) {
    arguments.insert(arguments.begin(), "velmora_server");
    return parse_server_options(static_cast<int>(arguments.size()), arguments.data(), options, error);
}

TEST(ServerOptions, EveryOptionIsRead) {
    ServerOptions options;
    std::string error;
    ASSERT_TRUE(parse({"--rate", "96000", "--frames", "256", "--play", "wav:/tmp/a.wav", "--record", "/tmp/in.wav",
                       "--duration", "2.5", "--config", "/tmp/v.ini", "--driver", "/tmp/X.driver", "--timing-report"},
                      options, error))
        << error;
    EXPECT_EQ(options.sample_rate, 96000u);
    EXPECT_EQ(options.buffer_frames, 256u);
    EXPECT_EQ(options.play, PlayKind::wav);
    EXPECT_EQ(options.wav_path, "/tmp/a.wav");
    EXPECT_EQ(options.record_path, "/tmp/in.wav");
    EXPECT_EQ(options.duration_seconds, 2.5);
    EXPECT_EQ(options.config_path, "/tmp/v.ini");
    EXPECT_EQ(options.driver_path, "/tmp/X.driver");
    EXPECT_TRUE(options.timing_report);
    ASSERT_TRUE(parse({"-h"}, options, error));
    EXPECT_TRUE(options.help);
}

TEST(ServerOptions, BadValuesAreNamed) {
    struct Case {
        std::vector<const char*> arguments;
        const char* error;
    };
    const std::vector<Case> cases = {
        {{"--bogus"}, "unknown option --bogus"},
        {{"--rate"}, "--rate needs a value"},
        {{"--rate", "fast"}, "--rate needs a sample rate in Hz, not \"fast\""},
        {{"--frames", "0"}, "--frames needs a frame count, not \"0\""},
        {{"--frames", "99999999999"}, "--frames needs a frame count, not \"99999999999\""},
        {{"--play", "noise"}, "--play takes silence, tone, click, echo or wav:PATH, not \"noise\""},
        {{"--play", "wav:"}, "--play takes silence, tone, click, echo or wav:PATH, not \"wav:\""},
        {{"--duration", "0"}, "--duration needs a number of seconds above 0, not \"0\""},
        {{"--duration", "3s"}, "--duration needs a number of seconds above 0, not \"3s\""},
        {{"--record", ""}, "--record needs a path"},
    };
    for (const Case& test : cases) {
        ServerOptions options;
        std::string error;
        EXPECT_FALSE(parse(test.arguments, options, error)) << test.error;
        EXPECT_EQ(error, test.error);
    }
}

} // namespace
