#include "platform/desktop/Workspace.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <sstream>

#include "platform/base/Logger.h"
#include "platform/runtime/ProcessWide.h"

namespace velmo {

namespace {

struct SettingsPage {
    const char* link;
    const char* desktop;  // an entry of XDG_CURRENT_DESKTOP
    std::vector<std::string> command;
};

const std::vector<SettingsPage>& settingsPages() {
    static const std::vector<SettingsPage> pages{
        {"x-apple.systempreferences:com.apple.preference.security?Privacy_Accessibility",
         "GNOME",
         {"gnome-control-center", "universal-access"}},
        {"x-apple.systempreferences:com.apple.preference.security?Privacy_Accessibility", "KDE", {"systemsettings", "kcm_access"}},
        {"x-apple.systempreferences:com.apple.preference.security?Privacy_ScreenCapture", "GNOME", {"gnome-control-center", "privacy"}},
        {"x-apple.systempreferences:com.apple.preference.security?Privacy_Microphone", "GNOME", {"gnome-control-center", "sound"}},
        {"x-apple.systempreferences:com.apple.preference.security?Privacy_Microphone", "KDE", {"systemsettings", "kcm_pulseaudio"}},
    };
    return pages;
}

bool isOnPath(const std::string& program) {
    const char* path = std::getenv("PATH");
    std::stringstream dirs(path ? path : "/usr/bin:/bin");
    for (std::string dir; std::getline(dirs, dir, ':');)
        if (!dir.empty() && access((dir + "/" + program).c_str(), X_OK) == 0) return true;
    return false;
}

std::string fileURI(const std::string& path) {
    static const char* hex = "0123456789ABCDEF";
    std::string uri = "file://";
    for (unsigned char c : path) {
        if (std::isalnum(c) || std::strchr("/-._~", c)) {
            uri += char(c);
        } else {
            uri += '%';
            uri += hex[c >> 4];
            uri += hex[c & 15];
        }
    }
    return uri;
}

std::string parentFolder(const std::string& path) {
    std::string p = path;
    while (p.size() > 1 && p.back() == '/') p.pop_back();
    auto slash = p.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : p.substr(0, slash);
}

// Asks the session's file manager to show the items, without waiting for it; false when no
// file manager offers the interface on the session bus.
bool showItemsOverDBus(const std::vector<std::string>& paths) {
    sd_bus* bus = nullptr;
    if (sd_bus_open_user(&bus) < 0) return false;
    const char* name = "org.freedesktop.FileManager1";
    bool offered = false;
    sd_bus_error error = SD_BUS_ERROR_NULL;
    sd_bus_message* reply = nullptr;
    int hasOwner = 0;
    if (sd_bus_call_method(bus, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", "NameHasOwner", &error, &reply,
                           "s", name) >= 0 &&
        sd_bus_message_read(reply, "b", &hasOwner) >= 0)
        offered = hasOwner != 0;
    reply = sd_bus_message_unref(reply);
    sd_bus_error_free(&error);
    if (!offered && sd_bus_call_method(bus, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", "ListActivatableNames",
                                       &error, &reply, "") >= 0) {
        char** names = nullptr;
        if (sd_bus_message_read_strv(reply, &names) >= 0 && names) {
            for (char** n = names; *n; ++n) {
                offered = offered || std::strcmp(*n, name) == 0;
                std::free(*n);
            }
            std::free(names);
        }
    }
    sd_bus_message_unref(reply);
    sd_bus_error_free(&error);
    bool sent = false;
    if (offered) {
        sd_bus_message* call = nullptr;
        std::vector<std::string> uris;
        for (const auto& p : paths) uris.push_back(fileURI(p));
        std::vector<char*> strv;
        for (auto& u : uris) strv.push_back(u.data());
        strv.push_back(nullptr);
        if (sd_bus_message_new_method_call(bus, &call, name, "/org/freedesktop/FileManager1", name, "ShowItems") >= 0 &&
            sd_bus_message_append_strv(call, strv.data()) >= 0 && sd_bus_message_append(call, "s", "") >= 0 &&
            sd_bus_message_set_expect_reply(call, 0) >= 0 && sd_bus_send(bus, call, nullptr) >= 0)
            sent = sd_bus_flush(bus) >= 0;
        sd_bus_message_unref(call);
    }
    sd_bus_flush_close_unref(bus);
    return sent;
}

class XdgWorkspace final : public Workspace {
public:
    bool openURL(const std::string& url) override {
        if (url.rfind("x-apple.systempreferences:", 0) == 0) {
            const char* desktop = std::getenv("XDG_CURRENT_DESKTOP");
            auto command = settingsCommandForLink(url, desktop ? desktop : "");
            if (command && spawnDetached(*command)) return true;
            logLine("⚠️ Velmo: This desktop has no settings page to open for " + url);
            return false;
        }
        return spawnDetached({"xdg-open", url});
    }

    void activateFileViewerSelecting(const std::vector<std::string>& paths) override {
        if (paths.empty() || showItemsOverDBus(paths)) return;
        spawnDetached({"xdg-open", parentFolder(paths.front())});
    }
};

ProcessWide<Workspace>& workspaces() {
    static ProcessWide<Workspace> instance("workspace");
    return instance;
}

}  // namespace

std::shared_ptr<Workspace> makeXdgWorkspace() { return std::make_shared<XdgWorkspace>(); }

std::shared_ptr<Workspace> Workspace::shared() { return workspaces().current(); }
void Workspace::install(std::shared_ptr<Workspace> workspace) { workspaces().exchange(std::move(workspace)); }

std::optional<std::vector<std::string>> settingsCommandForLink(const std::string& url, const std::string& currentDesktop) {
    std::vector<std::string> desktops;
    std::stringstream entries(currentDesktop);
    for (std::string entry; std::getline(entries, entry, ':');) desktops.push_back(entry);
    for (const auto& desktop : desktops)
        for (const auto& page : settingsPages())
            if (url == page.link && desktop == page.desktop && isOnPath(page.command.front())) return page.command;
    return std::nullopt;
}

bool spawnDetached(const std::vector<std::string>& argv) {
    if (argv.empty() || !isOnPath(argv.front())) return false;
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    // The child starts the program in a grandchild and exits at once; init adopts the grandchild.
    pid_t child = fork();
    if (child < 0) return false;
    if (child == 0) {
        setsid();
        if (fork() == 0) {
            int devnull = open("/dev/null", O_RDWR);
            if (devnull >= 0) {
                dup2(devnull, 0);
                dup2(devnull, 1);
                dup2(devnull, 2);
            }
            sigset_t none;
            sigemptyset(&none);
            sigprocmask(SIG_SETMASK, &none, nullptr);
            execvp(args[0], args.data());
            _exit(127);
        }
        _exit(0);
    }
    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

}  // namespace velmo
