#include "platform/foundation/UserDefaults.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "platform/base/WholeFile.h"
#include "platform/foundation/Bundle.h"
#include "platform/base/LogCapture.h"
#include "platform/base/Logger.h"
#include "platform/foundation/BadPropertyLists.h"
#include "platform/foundation/TestDirectory.h"

namespace velmo {
namespace {

using Dict = PlistValue::Dictionary;
using Data = PlistValue::Data;

Dict fileContents(const std::string& path) {
    const PlistValue contents = PropertyList::readFile(path);
    return *contents.asDictionary();
}

TEST(UserDefaultsTest, GettersConvertBetweenNumbersAndBooleans) {
    UserDefaults d;
    d.setBool("yes", true);
    d.setInteger("seven", 7);
    d.setDouble("half", 2.5);
    d.setDouble("huge", 1e300);
    d.setString("text", "12");
    d.setData("bytes", Data{1, 2});
    struct Row {
        const char* key;
        bool asBool;
        std::int64_t asInteger;
        double asDouble;
    };
    const std::vector<Row> rows = {
        {"yes", true, 1, 1.0},   {"seven", true, 7, 7.0},  {"half", true, 2, 2.5},    {"huge", true, INT64_MAX, 1e300},
        {"text", false, 0, 0.0}, {"bytes", false, 0, 0.0}, {"absent", false, 0, 0.0},
    };
    for (const auto& r : rows) {
        EXPECT_EQ(d.boolForKey(r.key), r.asBool) << r.key;
        EXPECT_EQ(d.integerForKey(r.key), r.asInteger) << r.key;
        EXPECT_EQ(d.doubleForKey(r.key), r.asDouble) << r.key;
    }
    EXPECT_EQ(d.stringForKey("text"), "12");
    EXPECT_EQ(d.stringForKey("seven"), std::nullopt);
    EXPECT_EQ(d.dataForKey("bytes"), (Data{1, 2}));
    EXPECT_EQ(d.dataForKey("text"), std::nullopt);
    EXPECT_EQ(d.objectForKey("seven"), PlistValue(7));
    EXPECT_TRUE(d.objectForKey("absent").isNone());
    d.removeObject("seven");
    EXPECT_TRUE(d.objectForKey("seven").isNone());
}

TEST(UserDefaultsTest, SurvivesARestart) {
    test::TestDirectory dir;
    const std::string path = dir / "com.example.velmo/defaults.plist";  // the folder is made on first write
    {
        UserDefaults d(path);
        d.setBool("hasCompletedOnboarding", true);
        d.setString("name", "Grüße");
        d.setObject("nested", Dict{{"list", PlistValue::Array{1, "two"}}});
        d.setInteger("gone", 1);
        d.removeObject("gone");
    }
    UserDefaults again(path);
    EXPECT_TRUE(again.boolForKey("hasCompletedOnboarding"));
    EXPECT_EQ(again.stringForKey("name"), "Grüße");
    EXPECT_EQ(again.objectForKey("nested"), PlistValue(Dict{{"list", PlistValue::Array{1, "two"}}}));
    EXPECT_TRUE(again.objectForKey("gone").isNone());
}

TEST(UserDefaultsTest, StoringTheSameValueAgainWritesNothing) {
    test::TestDirectory dir;
    const std::string path = dir / "defaults.plist";
    UserDefaults d(path);
    d.setBool("flag", true);
    std::filesystem::remove(path);  // a rewrite would bring it back
    d.setBool("flag", true);
    EXPECT_FALSE(std::filesystem::exists(path));
    d.setBool("flag", false);
    EXPECT_TRUE(std::filesystem::exists(path));
}

// Observers hear the keys of real changes only, in order, on the changing thread.
TEST(UserDefaultsTest, ObserversHearEachChangedKeyOnce) {
    UserDefaults d;
    std::vector<std::string> heard;
    Cancellable observed = d.observeChanges([&](const std::string& key) { heard.push_back(key); });
    d.setBool("flag", true);
    d.setBool("flag", true);  // the same again: no change
    d.removeObject("absent");  // nothing to remove
    EXPECT_THROW(d.setString("flag", std::string("a\0b", 3)), PropertyListError);
    d.registerDefaults({{"fallback", 1}});
    d.removeObject("flag");
    EXPECT_EQ(heard, (std::vector<std::string>{"flag", "fallback", "flag"}));
    observed.cancel();
    d.setBool("flag", true);
    EXPECT_EQ(heard.size(), 3u);
}

TEST(UserDefaultsTest, RegisteredDefaultsSitUnderStoredValuesAndAreNotWritten) {
    test::TestDirectory dir;
    const std::string path = dir / "defaults.plist";
    UserDefaults d(path);
    d.registerDefaults({{"NSInitialToolTipDelay", 0}, {"Flag", true}});
    EXPECT_EQ(d.objectForKey("NSInitialToolTipDelay"), PlistValue(0));
    EXPECT_TRUE(d.boolForKey("Flag"));
    d.setInteger("NSInitialToolTipDelay", 5);
    EXPECT_EQ(d.integerForKey("NSInitialToolTipDelay"), 5);
    d.setBool("Other", false);
    EXPECT_EQ(fileContents(path), (Dict{{"NSInitialToolTipDelay", 5}, {"Other", false}}));
    d.removeObject("NSInitialToolTipDelay");
    EXPECT_EQ(d.integerForKey("NSInitialToolTipDelay"), 0);
    EXPECT_EQ(fileContents(path), (Dict{{"Other", false}}));
    EXPECT_TRUE(UserDefaults(path).objectForKey("Flag").isNone());
}

TEST(UserDefaultsTest, CorruptFileIsLoggedOnceSetAsideAndTakenAsEmpty) {
    for (const std::string& contents :
         {std::string("<plist><dict><key>x"), PropertyList::toXML(PlistValue::Array{1}), std::string("bplist00\xFF\xFF")}) {
        test::TestDirectory dir;
        const std::string path = dir.write("defaults.plist", contents);
        LogCapture log;
        UserDefaults d(path);
        EXPECT_EQ(log.linesStartingWith("⚠️ Velmo: Ignoring unreadable user defaults: ").size(), 1u);
        EXPECT_TRUE(d.objectForKey("x").isNone());
        d.setInteger("a", 1);
        d.setInteger("b", 2);
        EXPECT_EQ(log.lines().size(), 1u);
        EXPECT_EQ(velmo::readWholeFile(path + ".corrupt").value_or(""), contents);
        EXPECT_EQ(fileContents(path), (Dict{{"a", 1}, {"b", 2}}));
    }
}

TEST(UserDefaultsTest, FileThatCannotBeWrittenBackIsSetAsideAndChangesAreSaved) {
    for (const auto& [name, contents] : test::badPropertyLists()) {
        test::TestDirectory dir;
        const std::string path = dir.write("defaults.plist", contents);
        LogCapture log;
        UserDefaults d(path);
        const auto lines = log.linesStartingWith("⚠️ Velmo: Ignoring unreadable user defaults: " + path);
        EXPECT_EQ(lines.size(), 1u) << name;
        EXPECT_TRUE(d.objectForKey("k").isNone()) << name;
        EXPECT_NO_THROW(d.setBool("flag", true)) << name;
        EXPECT_EQ(log.lines().size(), 1u) << name;
        EXPECT_EQ(velmo::readWholeFile(path + ".corrupt").value_or(""), contents) << name;
        EXPECT_EQ(fileContents(path), (Dict{{"flag", true}})) << name;
    }
}

TEST(UserDefaultsTest, UnwritableValueChangesNothing) {
    test::TestDirectory dir;
    const std::string path = dir / "defaults.plist";
    UserDefaults d(path);
    d.setString("key", "old");
    EXPECT_THROW(d.setString("key", std::string("a\0b", 3)), PropertyListError);
    EXPECT_THROW(d.setObject("key", PlistValue::Array{PlistValue()}), PropertyListError);
    EXPECT_EQ(d.stringForKey("key"), "old");
    EXPECT_EQ(UserDefaults(path).stringForKey("key"), "old");
}

TEST(UserDefaultsTest, SaveFailureIsLoggedOnceAndValuesStayInMemory) {
    test::TestDirectory dir;
    const std::string blocker = dir.write("blocker", "a file where the folder should be");
    LogCapture log;
    UserDefaults d(blocker + "/defaults.plist");
    d.setInteger("a", 1);
    d.setInteger("b", 2);
    EXPECT_EQ(log.linesStartingWith("⚠️ Velmo: Could not save user defaults: ").size(), 1u);
    EXPECT_EQ(d.integerForKey("a"), 1);
    EXPECT_EQ(d.integerForKey("b"), 2);
}

TEST(UserDefaultsTest, LeftoverTemporaryFilesAreRemoved) {
    test::TestDirectory dir;
    dir.write("defaults.plist.tmp-AbC123", "<plist>half");
    dir.write("unrelated.tmp-x", "keep");
    UserDefaults d(dir / "defaults.plist");
    EXPECT_FALSE(std::filesystem::exists(dir / "defaults.plist.tmp-AbC123"));
    EXPECT_TRUE(std::filesystem::exists(dir / "unrelated.tmp-x"));
}

// A child rewrites one consistent state (a counter and a text derived from it) as fast as it can
// and is killed at some moment; the file must then hold one whole state, the last or an earlier.
TEST(UserDefaultsTest, KilledWriterLeavesAWholeState) {
    test::TestDirectory dir;
    const std::string path = dir / "defaults.plist";
    auto stateFor = [](std::int64_t n) { return Dict{{"n", n}, {"text", std::string(4000 + n % 997, static_cast<char>('a' + n % 26))}}; };
    std::int64_t last = -1;
    for (int round = 0; round < 8; ++round) {
        int ready[2];
        ASSERT_EQ(pipe(ready), 0);
        const pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            close(ready[0]);
            UserDefaults d(path);
            for (std::int64_t n = last + 1;; ++n) {
                d.setObject("state", stateFor(n));
                if (n == last + 1) (void)!write(ready[1], "1", 1);
            }
        }
        close(ready[1]);
        pollfd p{ready[0], POLLIN, 0};
        ASSERT_EQ(poll(&p, 1, 60000), 1);
        close(ready[0]);
        usleep(static_cast<useconds_t>(round * 1500));
        kill(child, SIGKILL);
        int status = 0;
        waitpid(child, &status, 0);
        ASSERT_TRUE(WIFSIGNALED(status));

        LogCapture log;
        UserDefaults after(path);
        EXPECT_TRUE(log.lines().empty()) << round;
        const PlistValue state = after.objectForKey("state");
        ASSERT_NE(state.asDictionary(), nullptr) << round;
        const std::int64_t n = *state.asDictionary()->at("n").asInteger();
        EXPECT_GT(n, last) << round;
        EXPECT_EQ(state, PlistValue(stateFor(n))) << round;
        last = n;
    }
    for (const auto& entry : std::filesystem::directory_iterator(dir.path())) EXPECT_EQ(entry.path().filename(), "defaults.plist");
}

TEST(UserDefaultsTest, ScopeReplacesTheStandardInstance) {
    UserDefaults& outside = UserDefaults::standard();
    {
        UserDefaults::Scope scope;
        EXPECT_EQ(&UserDefaults::standard(), &scope.defaults());
        EXPECT_EQ(UserDefaults::standard().filePath(), std::nullopt);
        UserDefaults::standard().setBool("hasCompletedOnboarding", true);
        {
            UserDefaults::Scope inner;
            EXPECT_FALSE(UserDefaults::standard().boolForKey("hasCompletedOnboarding"));
        }
        EXPECT_TRUE(UserDefaults::standard().boolForKey("hasCompletedOnboarding"));
    }
    EXPECT_EQ(&UserDefaults::standard(), &outside);
}

TEST(UserDefaultsTest, StandardFileLocation) {
    test::TestDirectory dir;
    dir.write("Id.app/Contents/Info.plist", PropertyList::toXML(Dict{{"CFBundleIdentifier", "com.example.velmo"}}));
    dir.write("Bad.app/Contents/Info.plist", PropertyList::toXML(Dict{{"CFBundleIdentifier", "../escape"}}));
    struct Row {
        const char* bundle;
        const char* xdg;  // null: unset
        std::string expected;
    };
    const std::vector<Row> rows = {
        {"Id.app", "/xdg", "/xdg/com.example.velmo/defaults.plist"},
        {"Id.app", nullptr, "/home/someone/.config/com.example.velmo/defaults.plist"},
        {"Id.app", "relative/ignored", "/home/someone/.config/com.example.velmo/defaults.plist"},
        {"None.app", "/xdg", "/xdg/velmo/defaults.plist"},
        {"Bad.app", "/xdg", "/xdg/velmo/defaults.plist"},
    };
    const char* savedHome = getenv("HOME");
    const char* savedXdg = getenv("XDG_CONFIG_HOME");
    const std::string home = savedHome ? savedHome : "", xdg = savedXdg ? savedXdg : "";
    setenv("HOME", "/home/someone", 1);
    for (const auto& r : rows) {
        Bundle::Scope bundle(dir / r.bundle);
        if (r.xdg)
            setenv("XDG_CONFIG_HOME", r.xdg, 1);
        else
            unsetenv("XDG_CONFIG_HOME");
        EXPECT_EQ(UserDefaults::standardFilePath(), r.expected) << r.bundle << " " << (r.xdg ? r.xdg : "unset");
    }
    if (savedHome)
        setenv("HOME", home.c_str(), 1);
    else
        unsetenv("HOME");
    if (savedXdg)
        setenv("XDG_CONFIG_HOME", xdg.c_str(), 1);
    else
        unsetenv("XDG_CONFIG_HOME");
}

}  // namespace
}  // namespace velmo
