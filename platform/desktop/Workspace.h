#pragma once

// Opening addresses and showing files the way the desktop does. The real workspace maps each
// known settings link to the desktop's own settings page and spawns it detached; tests install
// a simulated one. Main thread only.

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace velmo {

class Workspace {
public:
    virtual ~Workspace() = default;
    // Returns at once; false when nothing could be opened for the address.
    virtual bool openURL(const std::string& url) = 0;
    // Shows a file-manager window with these paths selected.
    virtual void activateFileViewerSelecting(const std::vector<std::string>& paths) = 0;

    // The workspace main installed (a test its simulated one); none installed is a fault.
    static std::shared_ptr<Workspace> shared();
    static void install(std::shared_ptr<Workspace> workspace);
};

// The real workspace: xdg-open, the desktop's settings programs, the file manager over D-Bus.
std::shared_ptr<Workspace> makeXdgWorkspace();

// The desktop command (program and arguments) that shows the page a settings link names on the
// running desktop (XDG_CURRENT_DESKTOP), when the desktop has one and its program is on PATH.
std::optional<std::vector<std::string>> settingsCommandForLink(const std::string& url, const std::string& currentDesktop);

// Starts a program detached from this process (in a session of its own); the intermediate child
// is reaped before this returns, so nothing is left behind as a zombie. False when it could not
// be started.
bool spawnDetached(const std::vector<std::string>& argv);

}  // namespace velmo
