#include "fake_engine_state.h"

#include <velmora/engine_host/engine_host_program.h>
#include <velmora/engine_host/engine_host_protocol.h>
#include <velmora/engine_host/utf8_path.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using namespace VelmoraEngineHostProtocol;

bool fake_state(void*, VelmoraEngineState& state) {
    VelmoraHostTest::fill_fake_engine_state(state, 7);
    return true;
}

bool failing_state(void*, VelmoraEngineState&) {
    return false;
}

// Copies the state handed in through user_data.
bool given_state(void* user_data, VelmoraEngineState& state) {
    state = *static_cast<const VelmoraEngineState*>(user_data);
    return true;
}

TEST(EngineHostProtocol, TrimsTrailingBlanksAndLeadingSpacesOnly) {
    struct Case {
        std::string input;
        std::string expected;
    };
    const Case cases[] = {
        {"GET_STATE\r\n", "GET_STATE"},
        {"  GET_STATE", "GET_STATE"},
        {std::string("GET_STATE\0", 10), "GET_STATE"},
        {"\t GET_STATE \t\r\n", "GET_STATE"},
        {"GET_STATE more", "GET_STATE more"},
        {"\rGET_STATE", "\rGET_STATE"},
        {"", ""},
        {" \t\r\n", ""},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(trim_command(c.input.data(), c.input.size()), c.expected) << '"' << c.input << '"';
    }
    EXPECT_EQ(trim_command(nullptr, 5), "");
}

TEST(EngineHostProtocol, DispatchesExactCommandWordsOnly) {
    const DispatchResult state = dispatch_command("GET_STATE", fake_state, nullptr);
    EXPECT_FALSE(state.stop);
    EXPECT_EQ(state.reply, VelmoraHostTest::fake_engine_state_json(7));
    const DispatchResult stop = dispatch_command("STOP", fake_state, nullptr);
    EXPECT_TRUE(stop.stop);
    EXPECT_EQ(stop.reply, "{\"ok\":true}\n");

    for (const char* unknown : {"get_state", "GET_STATE more", "", "STOP ", "Stop"}) {
        const DispatchResult result = dispatch_command(unknown, fake_state, nullptr);
        EXPECT_FALSE(result.stop) << unknown;
        EXPECT_EQ(result.reply, "{\"ok\":false,\"error\":\"unknown command\"}\n") << unknown;
    }
    EXPECT_EQ(dispatch_command("GET_STATE", failing_state, nullptr).reply,
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
    state.recovery_event_count = 8;
    for (unsigned i = 0; i < 8; ++i) {
        state.recovery_events[i].sequence = 16 + i;
    }
    std::string reply = dispatch_command("GET_STATE", given_state, &state).reply;
    std::size_t position = 0;
    for (unsigned sequence = 16; sequence <= 23; ++sequence) {
        position = reply.find("{\"sequence\":" + std::to_string(sequence) + ",", position);
        ASSERT_NE(position, std::string::npos) << sequence;
    }

    state = VelmoraEngineState{};
    state.recovery_event_count = 9; // more than the ring holds: eight are listed
    state.last_error_key = 53;
    state.recovery_events[0].reason = 13;
    state.recovery_events[0].message_key = 99;
    state.input_level_count = 40;
    reply = dispatch_command("GET_STATE", given_state, &state).reply;
    EXPECT_NE(reply.find("\"lastErrorKey\":\"\""), std::string::npos);
    EXPECT_NE(reply.find("\"healthMessageKey\":\"\""), std::string::npos);
    EXPECT_NE(reply.find("\"recoveryEventCount\":9,"), std::string::npos);
    EXPECT_NE(reply.find("\"typeName\":\"none\",\"reasonName\":\"unknown\""), std::string::npos);
    EXPECT_NE(reply.find("\"messageKey\":\"\"}"), std::string::npos);
    EXPECT_EQ(count_of(reply, "{\"sequence\""), 8u);
    EXPECT_EQ(count_of(reply, "{\"driverChannel\""), 32u);
    EXPECT_TRUE(reply.ends_with(",\"outputLevels\":[]}\n"));
}

TEST(EngineHostProtocol, NameTables) {
    EXPECT_STREQ(message_key_to_text(1), "engine_message.config_path_empty");
    EXPECT_STREQ(message_key_to_text(37), "engine_message.playback_underrun");
    EXPECT_STREQ(message_key_to_text(38), "diagnostics.recovery_detail_requested");
    EXPECT_STREQ(message_key_to_text(51), "diagnostics.recovery_detail_runtime_exhausted");
    EXPECT_STREQ(message_key_to_text(52), "engine_message.protocol_mismatch");
    EXPECT_STREQ(message_key_to_text(0), "");
    EXPECT_STREQ(message_key_to_text(4294967295u), "");
    EXPECT_STREQ(recovery_event_type_name(5), "exhausted");
    EXPECT_STREQ(recovery_event_type_name(6), "none");
    EXPECT_STREQ(health_reason_name(12), "protocol_mismatch");
    EXPECT_STREQ(health_reason_name(13), "unknown");
}

TEST(EngineHostProtocol, ErrorTextIsEscaped) {
    EXPECT_EQ(error_json("say \"hi\"\tnow"), "{\"ok\":false,\"error\":\"say \\\"hi\\\"\\tnow\"}\n");
    EXPECT_EQ(error_json("a\\b\b\f\n\r"), "{\"ok\":false,\"error\":\"a\\\\b\\b\\f\\n\\r\"}\n");
    EXPECT_EQ(error_json("\x01\x1f"), "{\"ok\":false,\"error\":\"\\u0001\\u001f\"}\n");
    EXPECT_EQ(error_json("caf\xc3\xa9 \x7f"), "{\"ok\":false,\"error\":\"caf\xc3\xa9 \x7f\"}\n");
    EXPECT_EQ(error_json(nullptr), "{\"ok\":false,\"error\":\"\"}\n");
    EXPECT_EQ(error_json(""), "{\"ok\":false,\"error\":\"\"}\n");
}

TEST(EngineHostUtf8Path, DecodesStrictly) {
    struct Case {
        const char* text;
        bool ok;
        std::wstring expected;
    };
    const Case cases[] = {
        {"", true, L""},
        {"/tmp/a.ini", true, L"/tmp/a.ini"},
        {"caf\xc3\xa9", true, L"caf\u00e9"},
        {"\xe2\x82\xac", true, L"\u20ac"},
        {"\xf0\x9f\x8e\xb5", true, std::wstring(1, static_cast<wchar_t>(0x1F3B5))},
        {"\xf4\x8f\xbf\xbf", true, std::wstring(1, static_cast<wchar_t>(0x10FFFF))},
        {"\x80", false, L""},                 // continuation byte as lead
        {"\xf8\x88\x80\x80\x80", false, L""}, // 5-byte lead
        {"\xc3", false, L""},                 // missing continuation
        {"\xe2\x82", false, L""},
        {"\xc0\xaf", false, L""}, // overlong '/'
        {"\xe0\x80\xaf", false, L""},
        {"\xf0\x80\x80\xaf", false, L""},
        {"\xf4\x90\x80\x80", false, L""}, // above U+10FFFF
        {"\xed\xa0\x80", false, L""},     // surrogate U+D800
        {"\xed\xbf\xbf", false, L""},     // surrogate U+DFFF
    };
    for (const Case& c : cases) {
        std::wstring out = L"junk";
        EXPECT_EQ(VelmoraMac::utf8_path_to_wide(c.text, out), c.ok) << c.text;
        EXPECT_EQ(out, c.expected) << c.text;
    }
    std::wstring out = L"junk";
    EXPECT_FALSE(VelmoraMac::utf8_path_to_wide(nullptr, out));
    EXPECT_TRUE(out.empty());
}

TEST(EngineHostCommandLine, ChoosesTheMode) {
    using VelmoraMac::EngineHostMode;
    struct Case {
        std::vector<const char*> arguments;
        EngineHostMode mode;
    };
    const Case cases[] = {
        {{}, EngineHostMode::usage},
        {{"--config", "a.ini", "--client-id", "5"}, EngineHostMode::run},
        {{"-c", "a.ini", "--client-id", "5", "--parent-pid", "0"}, EngineHostMode::run},
        {{"--client-id", "4294967295", "--config", "a.ini"}, EngineHostMode::run},
        {{"--config", "a.ini", "--client-id", "0"}, EngineHostMode::usage},
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
        {{"--self-test"}, EngineHostMode::self_test},
        {{"--self-test", "x"}, EngineHostMode::usage},
        {{"--print-socket-path"}, EngineHostMode::print_socket_path},
        {{"--serve"}, EngineHostMode::serve},
        {{"--serve", "/tmp/x.sock", "--parent-pid", "12"}, EngineHostMode::serve},
        {{"--serve-once", "--parent-pid", "12", "/tmp/x.sock"}, EngineHostMode::serve_once},
        {{"--serve", "/tmp/x.sock", "/tmp/y.sock"}, EngineHostMode::usage},
        {{"--serve", "--parent-pid"}, EngineHostMode::usage},
        {{"--serve", "--parent-pid", "x"}, EngineHostMode::usage},
        {{"--send-command", "/tmp/x.sock", "GET_STATE"}, EngineHostMode::send_command},
        {{"--send-command", "/tmp/x.sock"}, EngineHostMode::usage},
        {{"--command", "STOP"}, EngineHostMode::command},
        {{"--command"}, EngineHostMode::usage},
        {{"--bogus"}, EngineHostMode::usage},
    };
    for (const Case& c : cases) {
        std::vector<const char*> argv{"velmora_macos_engine_host"};
        argv.insert(argv.end(), c.arguments.begin(), c.arguments.end());
        const auto parsed =
            VelmoraMac::parse_engine_host_command_line(static_cast<int>(argv.size()), argv.data());
        std::string joined;
        for (const char* argument : c.arguments) {
            joined += std::string(argument) + " ";
        }
        EXPECT_EQ(parsed.mode, c.mode) << joined;
    }

    const char* run[] = {"host", "-c", "x.ini", "--client-id", "42", "--parent-pid", "77"};
    const auto parsed = VelmoraMac::parse_engine_host_command_line(7, run);
    EXPECT_EQ(parsed.config_path, "x.ini");
    EXPECT_EQ(parsed.client_id, 42u);
    EXPECT_EQ(parsed.parent_pid, 77);
    const char* serve[] = {"host", "--serve"};
    EXPECT_EQ(VelmoraMac::parse_engine_host_command_line(2, serve).socket_path,
              "/tmp/velmora-engine-host.sock");
}

} // namespace
