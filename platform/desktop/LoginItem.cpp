#include "platform/desktop/LoginItem.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "platform/foundation/Error.h"
#include "platform/runtime/ProcessWide.h"

namespace velmo {

namespace {

std::string configHome() {
    if (const char* xdg = std::getenv("XDG_CONFIG_HOME"); xdg && xdg[0] == '/') return xdg;
    const char* home = std::getenv("HOME");
    return std::string(home && home[0] ? home : "/tmp") + "/.config";
}

std::string currentExecutable() {
    std::error_code ec;
    auto path = std::filesystem::read_symlink("/proc/self/exe", ec);
    return ec ? std::string("velmo") : path.string();
}

// Exec lines quote arguments that hold spaces or the characters the format reserves.
std::string quotedExec(const std::string& path) {
    if (path.find_first_of(" \t\"'\\$`") == std::string::npos) return path;
    std::string out = "\"";
    for (char c : path) {
        if (c == '"' || c == '`' || c == '$' || c == '\\') out += '\\';
        out += c;
    }
    return out + "\"";
}

Error loginItemError(const std::string& message) { return Error("LoginItem", 1, message); }
}  // namespace

namespace {
ProcessWide<LoginItemService>& loginItems() {
    static ProcessWide<LoginItemService> instance([] { return XdgAutostartLoginItem::forCurrentExecutable(); });
    return instance;
}
}  // namespace

std::shared_ptr<LoginItemService> LoginItemService::mainApp() { return loginItems().current(); }

void LoginItemService::install(std::shared_ptr<LoginItemService> service) { loginItems().exchange(std::move(service)); }

XdgAutostartLoginItem::XdgAutostartLoginItem(std::string autostartDirectory, std::string entryName, std::string executablePath)
    : directory_(std::move(autostartDirectory)),
      entryPath_(directory_ + "/" + entryName + ".desktop"),
      executablePath_(std::move(executablePath)) {}

std::shared_ptr<XdgAutostartLoginItem> XdgAutostartLoginItem::forCurrentExecutable() {
    return std::make_shared<XdgAutostartLoginItem>(configHome() + "/autostart", "velmo", currentExecutable());
}

LoginItemStatus XdgAutostartLoginItem::status() {
    std::ifstream in(entryPath_);
    if (!in) return LoginItemStatus::notRegistered;
    std::string line;
    bool hasExec = false;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line == "Hidden=true" || line == "X-GNOME-Autostart-enabled=false") return LoginItemStatus::notRegistered;
        if (line.rfind("Exec=", 0) == 0) hasExec = true;
    }
    return hasExec ? LoginItemStatus::enabled : LoginItemStatus::notRegistered;
}

void XdgAutostartLoginItem::registerApp() {
    std::error_code ec;
    std::filesystem::create_directories(directory_, ec);
    if (ec) throw loginItemError("The autostart folder " + directory_ + " could not be created: " + ec.message());
    std::ostringstream entry;
    entry << "[Desktop Entry]\n"
          << "Type=Application\n"
          << "Name=Velmo\n"
          << "Comment=Voice-driven desktop assistant\n"
          << "Exec=" << quotedExec(executablePath_) << "\n"
          << "Terminal=false\n"
          << "X-GNOME-Autostart-enabled=true\n";
    const std::string text = entry.str();
    // Written beside the entry and renamed over it, so a crash never leaves half an entry.
    const std::string temporary = entryPath_ + ".tmp-" + std::to_string(::getpid());
    int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) throw loginItemError("The login item " + entryPath_ + " could not be written: " + std::strerror(errno));
    bool ok = ::write(fd, text.data(), text.size()) == ssize_t(text.size()) && ::fsync(fd) == 0;
    ok = (::close(fd) == 0) && ok;
    if (!ok || std::rename(temporary.c_str(), entryPath_.c_str()) != 0) {
        int saved = errno;
        std::filesystem::remove(temporary, ec);
        throw loginItemError("The login item " + entryPath_ + " could not be written: " + std::strerror(saved));
    }
}

void SimulatedLoginItem::registerApp() {
    ++registrations;
    if (failRegistration) throw Error("LoginItem", 1, "The login item could not be written: permission denied");
    currentStatus = LoginItemStatus::enabled;
}

}  // namespace velmo
