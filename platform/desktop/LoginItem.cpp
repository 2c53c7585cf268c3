#include "platform/desktop/LoginItem.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "platform/base/Error.h"
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

// One argument of an Exec line: quoted when it holds a reserved character, with the quoting's
// own escapes, then the escapes every string value of a desktop entry takes.
std::string execArgument(const std::string& argument) {
    std::string quoted = argument;
    if (argument.find_first_of(" \t\n\"'\\><~|&;$*?#()`") != std::string::npos) {
        quoted = "\"";
        for (char c : argument) {
            if (c == '"' || c == '`' || c == '$' || c == '\\') quoted += '\\';
            quoted += c;
        }
        quoted += "\"";
    }
    std::string out;
    for (char c : quoted) {
        if (c == '\\')
            out += "\\\\";
        else if (c == '\n')
            out += "\\n";
        else if (c == '\t')
            out += "\\t";
        else if (c == '\r')
            out += "\\r";
        else if (c == '%')
            out += "%%";  // not a field code
        else
            out += c;
    }
    return out;
}

Error loginItemError(const std::string& message) { return Error("LoginItem", 1, message); }
}  // namespace

namespace {
ProcessWide<LoginItemService>& loginItems() {
    static ProcessWide<LoginItemService> instance("login item service");
    return instance;
}
}  // namespace

std::shared_ptr<LoginItemService> LoginItemService::mainApp() { return loginItems().current(); }

void LoginItemService::install(std::shared_ptr<LoginItemService> service) { loginItems().exchange(std::move(service)); }

XdgAutostartLoginItem::XdgAutostartLoginItem(std::string autostartDirectory, std::string entryName, std::string executablePath,
                                             std::string bundlePath)
    : directory_(std::move(autostartDirectory)),
      entryPath_(directory_ + "/" + entryName + ".desktop"),
      executablePath_(std::move(executablePath)),
      bundlePath_(std::move(bundlePath)) {}

std::string XdgAutostartLoginItem::execLine() const {
    if (bundlePath_.empty()) return execArgument(executablePath_);
    return "env " + execArgument("VELMO_BUNDLE=" + bundlePath_) + " " + execArgument(executablePath_);
}

std::shared_ptr<XdgAutostartLoginItem> XdgAutostartLoginItem::forCurrentExecutable() {
    // The login session starts elsewhere, so a relative bundle path is made absolute now.
    std::string bundle;
    if (const char* path = std::getenv("VELMO_BUNDLE"); path && *path) {
        std::error_code ec;
        auto absolute = std::filesystem::absolute(path, ec);
        bundle = ec ? std::string(path) : absolute.lexically_normal().string();
    }
    return std::make_shared<XdgAutostartLoginItem>(configHome() + "/autostart", "velmo", currentExecutable(), bundle);
}

LoginItemStatus XdgAutostartLoginItem::status() {
    std::ifstream in(entryPath_);
    if (!in) return LoginItemStatus::notRegistered;
    std::string line;
    bool hasExec = false;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line == "Hidden=true" || line == "X-GNOME-Autostart-enabled=false") return LoginItemStatus::requiresApproval;
        if (line.rfind("Exec=", 0) == 0) hasExec = true;
    }
    return hasExec ? LoginItemStatus::enabled : LoginItemStatus::notRegistered;
}

void XdgAutostartLoginItem::registerApp() {
    if (status() == LoginItemStatus::requiresApproval)
        throw loginItemError("The login item " + entryPath_ + " was turned off by the user; it is left as it is");
    std::error_code ec;
    std::filesystem::create_directories(directory_, ec);
    if (ec) throw loginItemError("The autostart folder " + directory_ + " could not be created: " + ec.message());
    std::ostringstream entry;
    entry << "[Desktop Entry]\n"
          << "Type=Application\n"
          << "Name=Velmo\n"
          << "Comment=Voice-driven desktop assistant\n"
          << "Exec=" << execLine() << "\n"
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

}  // namespace velmo
