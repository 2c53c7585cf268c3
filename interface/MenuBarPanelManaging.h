#pragma once

#include <memory>

#include "platform/runtime/NotificationCenter.h"

namespace velmo {

class CompanionManager;

// What the start-up needs of the menu-bar panel manager: it exists for the life of the process
// around the companion object, and can be asked to open its panel.
class MenuBarPanelManaging {
public:
    virtual ~MenuBarPanelManaging() = default;
    virtual void showPanel() = 0;
    virtual void hidePanel() = 0;
    virtual bool isPanelVisible() const = 0;
};

// The panel manager without a status item or a panel on screen: it keeps the panel's
// visibility, hides it on "velmoDismissPanel" as the real one does, and draws nothing.
class HeadlessMenuBarPanelManager : public MenuBarPanelManaging, public std::enable_shared_from_this<HeadlessMenuBarPanelManager> {
public:
    static std::shared_ptr<HeadlessMenuBarPanelManager> create(std::shared_ptr<CompanionManager> companionManager);
    ~HeadlessMenuBarPanelManager() override;

    void showPanel() override;
    void hidePanel() override { panelVisible_ = false; }
    bool isPanelVisible() const override { return panelVisible_; }
    int showCount() const { return showCount_; }

    explicit HeadlessMenuBarPanelManager(std::shared_ptr<CompanionManager> companionManager);

private:
    std::shared_ptr<CompanionManager> companionManager_;
    NotificationCenter::Token dismissPanelObserver_;
    bool panelVisible_ = false;
    int showCount_ = 0;
};

}  // namespace velmo
