#include <velmora/engine_host/engine_host_program.h>
#include <velmora/engine_host/engine_host_protocol.h>
#include <velmora/engine_host/utf8_path.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using namespace VelmoraEngineHostProtocol;

// Copies the state handed in through user_data.
bool given_state(void* user_data, VelmoraEngineState& state) {
    state = *static_cast<const VelmoraEngineState*>(user_data);
    return true;
}

TEST(EngineHostProtocol, DispatchesExactCommandWordsOnly) {
    for (const char* unknown : {"get_state", "GET_STATE more", "", "STOP ", "Stop"}) {
        const DispatchResult result = dispatch_command(unknown, given_state, nullptr);
        EXPECT_FALSE(result.stop) << unknown;
        EXPECT_EQ(result.reply, "{\"ok\":false,\"error\":\"unknown command\"}\n") << unknown;
    }
    EXPECT_TRUE(dispatch_command("STOP", nullptr, nullptr).stop);
    EXPECT_EQ(trim_command(nullptr, 5), "");
    EXPECT_EQ(dispatch_command(
                  "GET_STATE", [](void*, VelmoraEngineState&) { return false; }, nullptr)
                  .reply,
              "{\"ok\":false,\"error\":\"get_state failed\"}\n");
    EXPECT_EQ(dispatch_command("GET_STATE", nullptr, nullptr).reply,
              "{\"ok\":false,\"error\":\"get_state failed\"}\n");
}

std::size_t count_of(const std::string& text, const std::string& part) {
    std::size_t count = 0;
    for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) {
        ++count;
    }
    return count;
}

TEST(EngineHostProtocol, ListsAtMostEightEventsOldestFirstAndPrintsFallbackNames) {
    VelmoraEngineState state{};
    state.recovery_event_count = 9; // more than the ring holds: eight are listed
    for (unsigned i = 0; i < 8; ++i) {
        state.recovery_events[i].sequence = 16 + i;
    }
    state.last_error_key = 53;
    state.health_message_key = 52;
    state.recovery_events[0].type = 5;
    state.recovery_events[0].reason = 13;
    state.recovery_events[0].message_key = 99;
    state.recovery_events[1].type = 6;
    state.recovery_events[1].reason = 12;
    state.input_level_count = 40;
    const std::string reply = dispatch_command("GET_STATE", given_state, &state).reply;
    std::size_t position = 0;
    for (unsigned sequence = 16; sequence <= 23; ++sequence) {
        position = reply.find("{\"sequence\":" + std::to_string(sequence) + ",", position);
        ASSERT_NE(position, std::string::npos) << sequence;
    }
    for (const char* part :
         {"\"lastErrorKey\":\"\"", "\"healthMessageKey\":\"engine_message.protocol_mismatch\"",
          "\"recoveryEventCount\":9,", "\"typeName\":\"exhausted\",\"reasonName\":\"unknown\"",
          "\"typeName\":\"none\",\"reasonName\":\"protocol_mismatch\"", "\"messageKey\":\"\"}"}) {
        EXPECT_NE(reply.find(part), std::string::npos) << part;
    }
    EXPECT_EQ(count_of(reply, "{\"sequence\""), 8u);
    EXPECT_EQ(count_of(reply, "{\"driverChannel\""), 32u);
    EXPECT_TRUE(reply.ends_with(",\"outputLevels\":[]}\n"));
    EXPECT_STREQ(message_key_to_text(51), "diagnostics.recovery_detail_runtime_exhausted");
}

TEST(EngineHostProtocol, ErrorTextIsEscaped) {
    EXPECT_EQ(error_json("say \"hi\"\tnow"), "{\"ok\":false,\"error\":\"say \\\"hi\\\"\\tnow\"}\n");
    EXPECT_EQ(error_json("a\\b\b\f\n\r"), "{\"ok\":false,\"error\":\"a\\\\b\\b\\f\\n\\r\"}\n");
    EXPECT_EQ(error_json("\x01\x1f caf\xc3\xa9 \x7f"),
              "{\"ok\":false,\"error\":\"\\u0001\\u001f caf\xc3\xa9 \x7f\"}\n");
    EXPECT_EQ(error_json(nullptr), "{\"ok\":false,\"error\":\"\"}\n");
}

TEST(EngineHostUtf8Path, DecodesStrictly) {
    const std::pair<const char*, std::wstring> good[] = {
        {"/tmp/caf\xc3\xa9 \xe2\x82\xac", L"/tmp/caf\u00e9 \u20ac"},
        {"\xf4\x8f\xbf\xbf", std::wstring(1, static_cast<wchar_t>(0x10FFFF))},
    };
    for (const auto& [text, expected] : good) {
        std::wstring out = L"junk";
        EXPECT_TRUE(VelmoraMac::utf8_path_to_wide(text, out)) << text;
        EXPECT_EQ(out, expected) << text;
    }
    // A continuation byte as lead, a 5-byte lead, missing continuations, overlong forms, above
    // U+10FFFF, surrogates.
    for (const char* bad : std::vector<const char*>{
             "\x80", "\xf8\x88\x80\x80\x80", "\xc3", "\xe2\x82", "\xc0\xaf", "\xe0\x80\xaf",
             "\xf0\x80\x80\xaf", "\xf4\x90\x80\x80", "\xed\xa0\x80", "\xed\xbf\xbf", nullptr}) {
        std::wstring out = L"junk";
        EXPECT_FALSE(VelmoraMac::utf8_path_to_wide(bad, out)) << (bad ? bad : "null");
        EXPECT_TRUE(out.empty());
    }
}

TEST(EngineHostCommandLine, ChoosesTheMode) {
    using VelmoraMac::EngineHostMode;
    const std::pair<std::vector<const char*>, EngineHostMode> cases[] = {
        {{"--config", "a.ini", "--client-id", "5"}, EngineHostMode::run},
        {{"-c", "a.ini", "--client-id", "5", "--parent-pid", "0"}, EngineHostMode::run},
        {{"--client-id", "4294967295", "--config", "a.ini"}, EngineHostMode::run},
        {{"--config", "a.ini", "--client-id", "12x"}, EngineHostMode::usage},
        {{"--config", "a.ini", "--client-id", "4294967296"}, EngineHostMode::usage},
        {{"--config", "a.ini", "--client-id", "+5"}, EngineHostMode::usage},
        {{"--config", "a.ini", "--client-id", "5", "--parent-pid", "-5"}, EngineHostMode::usage},
        {{"--config", "a.ini", "--client-id", "5", "--parent-pid", "2147483648"}, EngineHostMode::usage},
        {{"--config", "", "--client-id", "5"}, EngineHostMode::usage},
        {{"--config", "\xff.ini", "--client-id", "5"}, EngineHostMode::usage},
        {{"--config", "a.ini"}, EngineHostMode::usage},
        {{"--client-id", "5"}, EngineHostMode::usage},
        {{"--config", "a.ini", "--client-id", "5", "--extra"}, EngineHostMode::usage},
        {{"--check-engine", "x.dylib"}, EngineHostMode::check_engine},
        {{"--check-engine"}, EngineHostMode::usage},
        {{"--self-test", "x"}, EngineHostMode::usage},
        {{"--serve"}, EngineHostMode::serve},
        {{"--serve", "/tmp/x.sock", "--parent-pid", "12"}, EngineHostMode::serve},
        {{"--serve-once", "--parent-pid", "12", "/tmp/x.sock"}, EngineHostMode::serve_once},
        {{"--serve", "/tmp/x.sock", "/tmp/y.sock"}, EngineHostMode::usage},
        {{"--serve", "--parent-pid"}, EngineHostMode::usage},
        {{"--serve", "--parent-pid", "x"}, EngineHostMode::usage},
        {{"--send-command", "/tmp/x.sock", "GET_STATE"}, EngineHostMode::send_command},
        {{"--send-command", "/tmp/x.sock"}, EngineHostMode::usage},
        {{"--command"}, EngineHostMode::usage},
    };
    for (const auto& [arguments, mode] : cases) {
        std::vector<const char*> argv{"velmora_macos_engine_host"};
        argv.insert(argv.end(), arguments.begin(), arguments.end());
        EXPECT_EQ(VelmoraMac::parse_engine_host_command_line(static_cast<int>(argv.size()), argv.data()).mode,
                  mode)
            << ::testing::PrintToString(arguments);
    }
    const char* serve[] = {"host", "--serve"};
    EXPECT_EQ(VelmoraMac::parse_engine_host_command_line(2, serve).socket_path,
              "/tmp/velmora-engine-host.sock");
}

} // namespace
