#pragma once

#include <memory>
#include <string>

namespace velmo {

enum class LoginItemStatus { notRegistered, enabled, requiresApproval, notFound };

// Registration of the application to start at login. On Linux it is an XDG autostart entry:
// "$XDG_CONFIG_HOME/autostart/<name>.desktop" (~/.config when the variable is unset).
class LoginItemService {
public:
    virtual ~LoginItemService() = default;
    virtual LoginItemStatus status() = 0;
    // Throws velmo::Error when the entry cannot be written.
    virtual void registerApp() = 0;

    // The process-wide service: the XDG one main installed, or a test's; none is a fault.
    static std::shared_ptr<LoginItemService> mainApp();
    static void install(std::shared_ptr<LoginItemService> service);
};

class XdgAutostartLoginItem : public LoginItemService {
public:
    // A non-empty `bundlePath` is passed on as VELMO_BUNDLE to the process started at login.
    XdgAutostartLoginItem(std::string autostartDirectory, std::string entryName, std::string executablePath, std::string bundlePath = {});
    // The entry for this executable in the user's autostart folder.
    static std::shared_ptr<XdgAutostartLoginItem> forCurrentExecutable();

    // An entry the user turned off (Hidden, or disabled) is `requiresApproval` and never rewritten.
    LoginItemStatus status() override;
    void registerApp() override;
    const std::string& entryPath() const { return entryPath_; }
    // The entry's Exec value, quoted and escaped as desktop entries require.
    std::string execLine() const;

private:
    std::string directory_;
    std::string entryPath_;
    std::string executablePath_;
    std::string bundlePath_;
};

}  // namespace velmo
