#include <velmora/audio_server/plist_reader.h>

#include <gtest/gtest.h>

namespace {

using VelmoraAudioServer::parse_plist;
using VelmoraAudioServer::PlistValue;

TEST(PlistReader, ReadsAPlugInBundlesInfo) {
    const std::string document = R"(<?xml version="1.0" encoding="UTF-8"?>
<!DOCTYPE plist PUBLIC "-//Apple//DTD PLIST 1.0//EN" "http://www.apple.com/DTDs/PropertyList-1.0.dtd">
<plist version="1.0">
<!-- a comment -->
<dict>
    <key>CFBundleExecutable</key>
    <string>Driver</string>
    <key>CFPlugInDynamicRegistration</key>
    <false/>
    <key>CFPlugInFactories</key>
    <dict>
        <key>1B2C3D4E-0000-4000-8000-000000000001</key>
        <string>Factory</string>
    </dict>
    <key>CFPlugInTypes</key>
    <dict>
        <key>443ABAB8-E7B3-491A-B985-BEB9187030DB</key>
        <array><string>1B2C3D4E-0000-4000-8000-000000000001</string></array>
    </dict>
    <key>AudioServerPlugIn_Network</key>
    <true/>
    <key>Count</key><integer>-12</integer><key>Empty</key><string/>
    <key>Text</key><string>a &amp; b &lt;c&gt; &#233;&#x41;</string>
</dict>
</plist>
)";
    PlistValue root;
    std::string error;
    ASSERT_TRUE(parse_plist(document, root, error)) << error;
    EXPECT_EQ(root.string_at("CFBundleExecutable"), "Driver");
    ASSERT_NE(root.find("CFPlugInDynamicRegistration"), nullptr);
    EXPECT_FALSE(root.find("CFPlugInDynamicRegistration")->boolean);
    EXPECT_TRUE(root.find("AudioServerPlugIn_Network")->boolean);
    const PlistValue* types = root.find("CFPlugInTypes");
    ASSERT_NE(types, nullptr);
    const PlistValue* list = types->find("443ABAB8-E7B3-491A-B985-BEB9187030DB");
    ASSERT_NE(list, nullptr);
    ASSERT_EQ(list->array.size(), 1u);
    EXPECT_EQ(list->array[0].text, "1B2C3D4E-0000-4000-8000-000000000001");
    EXPECT_EQ(root.find("CFPlugInFactories")->string_at("1B2C3D4E-0000-4000-8000-000000000001"), "Factory");
    EXPECT_EQ(root.find("Count")->type, PlistValue::Type::integer);
    EXPECT_EQ(root.find("Count")->text, "-12");
    EXPECT_EQ(root.string_at("Text"), "a & b <c> \xC3\xA9"
                                      "A");
    EXPECT_EQ(root.string_at("Empty"), "");
}

TEST(PlistReader, MalformedDocumentsSayWhere) {
    struct Case {
        const char* document;
        const char* error;
    };
    const Case cases[] = {
        {"", "line 1: expected <plist>"},
        {"<plist>\n<dict>\n<string>x</string>\n</dict></plist>", "line 3: expected <key> in <dict>"},
        {"<plist><dict><key>a</key><string>x</dict></plist>", "line 1: expected </string>"},
        {"<plist><array><integer>1</integer>", "line 1: expected a value"},
        {"<plist><string>a &bogus; b</string></plist>", "line 1: unknown entity &bogus;"},
        {"<plist><string>x</string></plist> trailing", "line 1: text after </plist>"},
        {"<plist><widget/></plist>", "line 1: unknown element <widget>"},
    };
    for (const Case& test : cases) {
        PlistValue root;
        std::string error;
        EXPECT_FALSE(parse_plist(test.document, root, error)) << test.document;
        EXPECT_EQ(error, test.error) << test.document;
    }
    std::string deep = "<plist>";
    for (int i = 0; i < 100; ++i) {
        deep += "<array>";
    }
    PlistValue root;
    std::string error;
    EXPECT_FALSE(parse_plist(deep, root, error));
    EXPECT_EQ(error, "line 1: nesting too deep");
}

} // namespace
