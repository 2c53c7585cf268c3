#include "platform/foundation/Bundle.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>

#include "platform/base/LogCapture.h"
#include "platform/base/Logger.h"
#include "platform/foundation/TestDirectory.h"

namespace velmo {
namespace {

using Dict = PlistValue::Dictionary;

TEST(BundleTest, ReadsInfoDictionaryAndResources) {
    test::TestDirectory dir;
    const std::string app = dir / "Velmo.app";
    dir.write("Velmo.app/Contents/Info.plist", PropertyList::toXML(Dict{{"CFBundleIdentifier", "com.example.velmo"}, {"Number", 7}}));
    const std::string music = dir.write("Velmo.app/Contents/Resources/ff.mp3", "ID3");
    const std::string plain = dir.write("Velmo.app/Contents/Resources/LICENSE", "text");

    const Bundle bundle(app);
    EXPECT_EQ(bundle.bundlePath(), app);
    EXPECT_EQ(bundle.infoDictionary().size(), 2u);
    EXPECT_EQ(bundle.objectForInfoDictionaryKey("Number"), PlistValue(7));
    EXPECT_TRUE(bundle.objectForInfoDictionaryKey("Absent").isNone());
    EXPECT_EQ(bundle.bundleIdentifier(), "com.example.velmo");
    EXPECT_EQ(bundle.pathForResource("ff", "mp3"), music);
    EXPECT_EQ(bundle.pathForResource("LICENSE", ""), plain);
    EXPECT_EQ(bundle.pathForResource("ff", "wav"), std::nullopt);
}

TEST(BundleTest, MissingOrBrokenBundleIsEmpty) {
    test::TestDirectory dir;
    dir.write("Broken.app/Contents/Info.plist", "<plist><dict><key>a</key>");
    dir.write("Array.app/Contents/Info.plist", PropertyList::toXML(PlistValue::Array{1}));
    dir.write("NoId.app/Contents/Info.plist", PropertyList::toXML(Dict{{"CFBundleIdentifier", ""}}));
    dir.write("Folder.app/Contents/Info.plist/x", "");
    const std::vector<std::pair<std::string, std::optional<std::string>>> cases = {{"Missing.app", std::nullopt},
                                                                                   {"Broken.app", "property list is malformed"},
                                                                                   {"Array.app", "not a dictionary"},
                                                                                   {"Folder.app", "Is a directory"},
                                                                                   {"NoId.app", std::nullopt}};
    for (const auto& [name, problem] : cases) {
        LogCapture log;
        const Bundle bundle(dir / name);
        EXPECT_EQ(bundle.infoDictionary().size(), name == "NoId.app" ? 1u : 0u) << name;
        EXPECT_EQ(bundle.bundleIdentifier(), std::nullopt) << name;
        EXPECT_EQ(bundle.pathForResource("Info", "plist"), std::nullopt) << name;
        EXPECT_EQ(bundle.infoProblem(), problem) << name;
        EXPECT_TRUE(log.lines().empty()) << name;  // start-up reports it, not every reader
    }
}

TEST(BundleTest, MainBundleLocation) {
    const char* saved = getenv("VELMO_BUNDLE");
    const std::string previous = saved ? saved : "";
    setenv("VELMO_BUNDLE", "/opt/somewhere/Velmo.app", 1);
    EXPECT_EQ(Bundle::mainBundlePath(), "/opt/somewhere/Velmo.app");
    unsetenv("VELMO_BUNDLE");
    const auto exe = std::filesystem::read_symlink("/proc/self/exe");
    EXPECT_EQ(Bundle::mainBundlePath(), (exe.parent_path() / "Velmo.app").string());
    if (saved) setenv("VELMO_BUNDLE", previous.c_str(), 1);
}

TEST(BundleTest, ScopesReplaceTheMainBundleAndNest) {
    test::TestDirectory dir;
    dir.write("A.app/Contents/Info.plist", PropertyList::toXML(Dict{{"CFBundleIdentifier", "a"}}));
    dir.write("B.app/Contents/Info.plist", PropertyList::toXML(Dict{{"CFBundleIdentifier", "b"}}));
    const Bundle* outside = &Bundle::main();
    {
        Bundle::Scope a(dir / "A.app");
        EXPECT_EQ(Bundle::main().bundleIdentifier(), "a");
        {
            Bundle::Scope b(dir / "B.app");
            EXPECT_EQ(&Bundle::main(), &b.bundle());
            EXPECT_EQ(Bundle::main().bundleIdentifier(), "b");
        }
        EXPECT_EQ(Bundle::main().bundleIdentifier(), "a");
    }
    EXPECT_EQ(&Bundle::main(), outside);
}

}  // namespace
}  // namespace velmo
