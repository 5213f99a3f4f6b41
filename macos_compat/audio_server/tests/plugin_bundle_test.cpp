#include <velmora/audio_server/plugin_bundle.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include <unistd.h>

namespace {

using VelmoraAudioServer::PlugInBundle;

class BundleFolder {
public:
    BundleFolder() {
        root_ = std::filesystem::temp_directory_path() / ("velmora_bundle_test_" + std::to_string(::getpid()) + "_" +
                                                          std::to_string(counter_++) + ".driver");
        std::filesystem::create_directories(root_ / "Contents" / "MacOS");
    }
    ~BundleFolder() {
        std::error_code ignored;
        std::filesystem::remove_all(root_, ignored);
    }
    void info(const std::string& executable, const std::string& type_entry, const std::string& factories) const {
        std::ofstream(root_ / "Contents" / "Info.plist")
            << "<plist version=\"1.0\"><dict><key>CFBundleExecutable</key><string>" << executable
            << "</string><key>CFPlugInTypes</key><dict>" << type_entry << "</dict><key>CFPlugInFactories</key><dict>"
            << factories << "</dict></dict></plist>";
    }
    void link_code(const std::string& name, const std::string& target) const {
        std::filesystem::create_symlink(target, root_ / "Contents" / "MacOS" / name);
    }
    std::string path() const { return root_.string(); }

private:
    static inline int counter_ = 0;
    std::filesystem::path root_;
};

const std::string kType = "<key>443ABAB8-E7B3-491A-B985-BEB9187030DB</key><array><string>aaaaaaaa-0000-4000-8000-000000000001</string></array>";
const std::string kFactory = "<key>AAAAAAAA-0000-4000-8000-000000000001</key><string>MissingFactory</string>";

TEST(PlugInBundle, ReportsWhatIsMissing) {
    std::string error;
    EXPECT_EQ(PlugInBundle::load("/nonexistent/X.driver", error), nullptr);
    EXPECT_EQ(error, "cannot read /nonexistent/X.driver/Contents/Info.plist");

    struct Case {
        std::string executable;
        std::string type;
        std::string factories;
        std::string error_tail;
    };
    const std::vector<Case> cases = {
        {"", kType, kFactory, "/Contents/Info.plist: no usable CFBundleExecutable"},
        {"Code", "", kFactory,
         "/Contents/Info.plist: no factory registered for the audio server plug-in type 443ABAB8-E7B3-491A-B985-BEB9187030DB"},
        {"Code", kType, "<key>OTHER</key><string>F</string>",
         "/Contents/Info.plist: the plug-in type's factory UUID is not in CFPlugInFactories"},
        {"Absent", kType, kFactory, "/Contents/MacOS/Absent: cannot open shared object file: No such file or directory"},
        {"Code", kType, kFactory, "/Contents/MacOS/Code has no factory function MissingFactory"},
    };
    for (const Case& test : cases) {
        BundleFolder bundle;
        bundle.info(test.executable, test.type, test.factories);
        bundle.link_code("Code", VELMORA_TEST_SHARED_OBJECT);
        EXPECT_EQ(PlugInBundle::load(bundle.path(), error), nullptr);
        ASSERT_GE(error.size(), test.error_tail.size()) << error;
        EXPECT_EQ(error.substr(error.size() - test.error_tail.size()), test.error_tail);
    }
}

} // namespace
