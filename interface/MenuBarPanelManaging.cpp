#include "interface/MenuBarPanelManaging.h"

#include "companion/CompanionManager.h"
#include "platform/runtime/MainThreadBound.h"

namespace velmo {

std::shared_ptr<HeadlessMenuBarPanelManager> HeadlessMenuBarPanelManager::create(std::shared_ptr<CompanionManager> companionManager) {
    auto manager = makeMainBound<HeadlessMenuBarPanelManager>(std::move(companionManager));
    std::weak_ptr<HeadlessMenuBarPanelManager> weak = manager;
    manager->dismissPanelObserver_ = NotificationCenter::defaultCenter().addObserver(velmoDismissPanel, [weak](const Notification&) {
        if (auto self = weak.lock()) self->hidePanel();
    });
    return manager;
}

HeadlessMenuBarPanelManager::HeadlessMenuBarPanelManager(std::shared_ptr<CompanionManager> companionManager)
    : companionManager_(std::move(companionManager)) {}

HeadlessMenuBarPanelManager::~HeadlessMenuBarPanelManager() {
    if (dismissPanelObserver_) NotificationCenter::defaultCenter().removeObserver(dismissPanelObserver_);
}

void HeadlessMenuBarPanelManager::showPanel() {
    panelVisible_ = true;
    ++showCount_;
}

}  // namespace velmo
