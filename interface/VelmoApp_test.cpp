// The velmo executable's own ending: the X server going away mid-run ends it with one line and
// exit status 1, through the same stop path as SIGTERM, leaving its files whole.
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

#include "platform/foundation/PropertyList.h"
#include "platform/foundation/TestDirectory.h"
#include "testing/PulseAudioServer.h"
#include "testing/XvfbServer.h"

namespace {

struct ProcessResult {
    int status = -1;
    std::string output;
    bool timedOut = false;
};

// Runs velmo with these environment additions; `onLine` hears every output line and may act
// (it is called until it returns true).
ProcessResult runVelmo(const std::vector<std::pair<std::string, std::string>>& env, std::function<bool(const std::string&)> onLine) {
    int out[2];
    if (pipe(out) != 0) return {};
    pid_t pid = fork();
    if (pid == 0) {
        dup2(out[1], 1);
        dup2(out[1], 2);
        close(out[0]);
        for (const auto& [name, value] : env) setenv(name.c_str(), value.c_str(), 1);
        execl(VELMO_EXECUTABLE, "velmo", (char*)nullptr);
        _exit(127);
    }
    close(out[1]);
    ProcessResult result;
    std::string pending;
    bool listening = true;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(40);
    for (;;) {
        pollfd p{out[0], POLLIN, 0};
        if (poll(&p, 1, 200) > 0) {
            char buf[4096];
            ssize_t n = read(out[0], buf, sizeof buf);
            if (n <= 0) break;
            result.output.append(buf, std::size_t(n));
            pending.append(buf, std::size_t(n));
            for (std::size_t nl; (nl = pending.find('\n')) != std::string::npos;) {
                std::string line = pending.substr(0, nl);
                pending.erase(0, nl + 1);
                if (listening && onLine(line)) listening = false;
            }
        }
        if (std::chrono::steady_clock::now() > deadline) {
            kill(pid, SIGKILL);
            result.timedOut = true;
            break;
        }
    }
    close(out[0]);
    waitpid(pid, &result.status, 0);
    return result;
}

std::size_t occurrences(const std::string& text, const std::string& what) {
    std::size_t n = 0;
    for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

std::string contentsOf(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

struct Situation {
    const char* name;
    bool onboarded;  // with every permission granted: the cursor overlay shows and follows the mouse
};

TEST(VelmoApp, KillingTheXServerEndsVelmoWithExitStatusOneAndOneLineLeavingItsFilesWhole) {
    for (const Situation& situation : {Situation{"first launch, panel open", false}, Situation{"onboarded, overlay showing", true}}) {
        SCOPED_TRACE(situation.name);
        velmo::test::XvfbServer x("1280x800x24");
        ASSERT_TRUE(x.isRunning()) << x.failure();
        velmo::test::PulseAudioServer pulse("velmo_gone_sink");
        ASSERT_TRUE(pulse.isRunning()) << pulse.failure();
        velmo::test::TestDirectory config;
        const std::string defaultsPath = config / "com.korvale.velmo/defaults.plist";
        if (situation.onboarded)
            config.write("com.korvale.velmo/defaults.plist",
                         velmo::PropertyList::toXML(velmo::PlistValue::Dictionary{{"hasCompletedOnboarding", true},
                                                                                  {"hasScreenContentPermission", true}}));
        const std::string awaited = situation.onboarded ? "🔑 Velmo start — accessibility: true, screen: true, mic: true"
                                                        : "🎯 Velmo: Registered as login item";
        auto result = runVelmo({{"DISPLAY", x.display()},
                                {"XDG_CONFIG_HOME", config.path()},
                                {"XDG_DATA_HOME", config / "data"},
                                {"PULSE_SERVER", pulse.serverAddress()}},
                               [&](const std::string& line) {
                                   if (line.rfind(awaited, 0) != 0) return false;
                                   // The panel's 0.3 s and a few cursor frames.
                                   usleep(800 * 1000);
                                   x.kill();
                                   return true;
                               });
        ASSERT_FALSE(result.timedOut) << result.output;
        ASSERT_TRUE(WIFEXITED(result.status)) << "ended by signal " << WTERMSIG(result.status) << "\n" << result.output;
        EXPECT_EQ(WEXITSTATUS(result.status), 1) << result.output;
        const std::string line = "⚠️ Velmo: The X server of display " + x.display() + " went away; Velmo quits\n";
        EXPECT_EQ(occurrences(result.output, line), 1u) << result.output;
        EXPECT_NE(result.output.find(awaited), std::string::npos) << result.output;
        EXPECT_EQ(result.output.find("XIO"), std::string::npos) << result.output;  // not Xlib's own ending
        // The line is the last thing velmo says (a sanitizer's summary may follow it).
        const std::string after = result.output.substr(result.output.rfind(line) + line.size());
        EXPECT_EQ(after.find("Velmo"), std::string::npos) << result.output;

        // Whatever was written is whole: the defaults parse, the autostart entry is complete, and
        // no temporary file is left beside them.
        if (std::filesystem::exists(defaultsPath)) {
            auto defaults = velmo::PropertyList::parse(contentsOf(defaultsPath));
            ASSERT_NE(defaults.asDictionary(), nullptr);
            if (situation.onboarded) {
                EXPECT_TRUE(defaults.asDictionary()->count("hasCompletedOnboarding"));
            }
        }
        const std::string entry = contentsOf(config / "autostart/velmo.desktop");
        EXPECT_EQ(entry.rfind("[Desktop Entry]\n", 0), 0u) << entry;
        EXPECT_EQ(entry.back(), '\n') << entry;
        for (const char* folder : {"com.korvale.velmo", "autostart"}) {
            if (!std::filesystem::exists(config / folder)) continue;
            for (const auto& file : std::filesystem::directory_iterator(config / folder)) {
                const std::string name = file.path().filename();
                EXPECT_TRUE(name == "defaults.plist" || name == "velmo.desktop") << name;
            }
        }
    }
}

}  // namespace
