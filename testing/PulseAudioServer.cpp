#include "testing/PulseAudioServer.h"

#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <thread>

namespace velmo::test {

namespace {
int shell(const std::string& command) { return std::system(command.c_str()); }
}  // namespace

PulseAudioServer::PulseAudioServer(const std::string& sinkName)
    : sink_(sinkName) {
    char tmpl[] = "/tmp/velmo-pulse-XXXXXX";
    if (!mkdtemp(tmpl)) {
        failure_ = "mkdtemp failed";
        return;
    }
    runtimeDir_ = tmpl;
    std::string socket = runtimeDir_ + "/native";
    address_ = "unix:" + socket;
    std::string env = "XDG_RUNTIME_DIR=" + runtimeDir_ + " HOME=" + runtimeDir_ + " PULSE_RUNTIME_PATH=" + runtimeDir_ +
                      " PULSE_STATE_PATH=" + runtimeDir_ + " ";
    std::string command = env +
                          "pulseaudio --daemonize=yes --exit-idle-time=-1 --system=false -n --use-pid-file=yes"
                          " --load=\"module-null-sink sink_name=" +
                          sink_ + "\"" + " --load=\"module-native-protocol-unix socket=" + socket + " auth-anonymous=1\"" +
                          " >/dev/null 2>&1";
    if (shell(command) != 0) {
        failure_ = "pulseaudio did not start (is the pulseaudio package installed?)";
        return;
    }
    for (int i = 0; i < 100; ++i) {
        if (std::filesystem::exists(socket)) {
            running_ = true;
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    failure_ = "pulseaudio socket did not appear";
}

PulseAudioServer::~PulseAudioServer() {
    if (!runtimeDir_.empty()) {
        shell("XDG_RUNTIME_DIR=" + runtimeDir_ + " HOME=" + runtimeDir_ + " PULSE_RUNTIME_PATH=" + runtimeDir_ +
              " pulseaudio --kill >/dev/null 2>&1");
        std::error_code ec;
        std::filesystem::remove_all(runtimeDir_, ec);
    }
}

void PulseAudioServer::exportToEnvironment() const { setenv("PULSE_SERVER", address_.c_str(), 1); }

}  // namespace velmo::test
