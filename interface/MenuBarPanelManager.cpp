#include "interface/MenuBarPanelManager.h"

#include <algorithm>

#include "companion/CompanionManager.h"
#include "platform/base/Logger.h"
#include "platform/runtime/MainLoop.h"
#include "platform/runtime/MainThreadBound.h"

namespace velmo {

namespace {
constexpr double gap = 4;
}

std::shared_ptr<MenuBarPanelManager> MenuBarPanelManager::create(std::shared_ptr<CompanionManager> companionManager,
                                                                 ContentFactory makeContent) {
    auto manager = makeMainBound<MenuBarPanelManager>(PrivateTag{}, std::move(companionManager), std::move(makeContent));
    manager->createStatusItem();
    std::weak_ptr<MenuBarPanelManager> weak = manager;
    manager->dismissPanelObserver_ = NotificationCenter::defaultCenter().addObserver(velmoDismissPanel, [weak](const Notification&) {
        if (auto self = weak.lock()) self->hidePanel();
    });
    return manager;
}

MenuBarPanelManager::MenuBarPanelManager(PrivateTag, std::shared_ptr<CompanionManager> companionManager, ContentFactory makeContent)
    : desktop_(StatusBarDesktop::current()),
      companionManager_(std::move(companionManager)),
      makeContent_(std::move(makeContent)) {
    if (!makeContent_) makeContent_ = [](const std::shared_ptr<CompanionManager>&) { return std::make_shared<PanelPlaceholderView>(); };
}

MenuBarPanelManager::~MenuBarPanelManager() {
    removeClickOutsideMonitor();
    if (dismissPanelObserver_) NotificationCenter::defaultCenter().removeObserver(dismissPanelObserver_);
    if (statusItem_) statusItem_->setAction(nullptr);
}

StatusItemIcon MenuBarPanelManager::makeMenuBarIcon() { return drawMenuBarIcon(); }

void MenuBarPanelManager::createStatusItem() {
    if (!desktop_) return;
    statusItem_ = desktop_->makeStatusItem();
    if (!statusItem_) {
        logLine(
            "⚠️ Velmo: This desktop has no status area for the menu-bar icon; the panel opens at the top-right corner of the screen");
        return;
    }
    statusItem_->setTemplateIcon(makeMenuBarIcon());
    statusItem_->setToolTip("Velmo");
    std::weak_ptr<MenuBarPanelManager> weak = weak_from_this();
    statusItem_->setAction([weak] {
        if (auto self = weak.lock()) self->statusItemClicked();
    });
}

void MenuBarPanelManager::statusItemClicked() {
    sequenceChecker_.check();
    if (panel_ && panel_->isVisible()) {
        hidePanel();
    } else {
        showPanel();
    }
}

void MenuBarPanelManager::createPanel() {
    if (!desktop_) return;
    content_ = makeContent_(companionManager_);
    if (content_) {
        std::weak_ptr<MenuBarPanelManager> weak = weak_from_this();
        content_->setNeedsDisplayHandler([weak] {
            if (auto self = weak.lock()) self->contentDidChange();
        });
    }
    panel_ = desktop_->makePanel({0, 0, panelWidth, panelHeight});
    if (panel_ && content_) {
        std::weak_ptr<PanelContentView> weakContent = content_;
        panel_->setClickHandler([weakContent](Point p) {
            if (auto content = weakContent.lock()) content->click(p);
        });
    }
}

Rect MenuBarPanelManager::panelFrameFor(const std::optional<Rect>& button, double height, const std::vector<Rect>& screens,
                                        const std::vector<Rect>& workAreas) {
    // The screen holding the item, else the primary one.
    std::size_t index = 0;
    if (button) {
        const Point centre{button->midX(), button->midY()};
        for (std::size_t i = 0; i < screens.size(); ++i)
            if (screens[i].contains(centre)) {
                index = i;
                break;
            }
    }
    if (screens.empty()) {
        if (!button) return {0, 0, panelWidth, height};
        return {button->midX() - panelWidth / 2, button->minY() - height - gap, panelWidth, height};
    }
    const Rect area = index < workAreas.size() && !workAreas[index].isEmpty() ? workAreas[index] : screens[index];
    Rect frame;
    if (button) {
        frame = {button->midX() - panelWidth / 2, button->minY() - height - gap, panelWidth, height};
        // An item at the bottom of the desktop: the panel stands above it instead.
        if (frame.minY() < area.minY()) frame.y = button->maxY() + gap;
    } else {
        // Nowhere to hang from: below the desktop's panels at the right.
        frame = {area.maxX() - panelWidth - gap, area.maxY() - height - gap, panelWidth, height};
    }
    // Whatever the item's place, the whole panel stays on screen and off the desktop's panels.
    frame.x = std::max(area.minX(), std::min(frame.x, area.maxX() - panelWidth));
    frame.y = std::min(area.maxY() - height, std::max(frame.y, area.minY()));
    return frame;
}

void MenuBarPanelManager::positionPanel() {
    if (!panel_) return;
    const double height = content_ ? content_->fittingHeight() : panelHeight;
    const std::vector<Rect> screens = desktop_->screenFrames();
    std::optional<Rect> button = statusItem_ ? statusItem_->buttonWindowFrame() : std::nullopt;
    if (button || !screens.empty()) panel_->setFrame(panelFrameFor(button, height, screens, desktop_->workAreas()));
    redisplay();
}

void MenuBarPanelManager::redisplay() {
    const Rect frame = panel_->frame();
    if (!content_ || frame.width < 1 || frame.height < 1) return;
    PanelPixels pixels = content_->render(frame.size());
    panel_->display(pixels.bytes.data(), pixels.width, pixels.height, pixels.stride);
    panel_->setPointingHandRegions(content_->pointerCursorRegions(frame.size()));
}

void MenuBarPanelManager::contentDidChange() {
    sequenceChecker_.check();
    // The content's height may have changed with it.
    if (panel_) positionPanel();
}

void MenuBarPanelManager::showPanel() {
    sequenceChecker_.check();
    if (!panel_) createPanel();
    if (!panel_) return;
    if (!panel_->isVisible()) ++showing_;
    positionPanel();
    panel_->orderFront();
    removeClickOutsideMonitor();
    std::weak_ptr<MenuBarPanelManager> weak = weak_from_this();
    clickOutsideMonitor_ = desktop_->addGlobalMonitorForEvents(MouseEventMask::leftMouseDown | MouseEventMask::rightMouseDown, [weak] {
        if (auto self = weak.lock()) self->handleClickOutside();
    });
}

void MenuBarPanelManager::hidePanel() {
    sequenceChecker_.check();
    if (panel_) panel_->orderOut();
    removeClickOutsideMonitor();
}

bool MenuBarPanelManager::isPanelVisible() const { return panel_ && panel_->isVisible(); }

void MenuBarPanelManager::removeClickOutsideMonitor() {
    if (clickOutsideMonitor_ == 0) return;
    desktop_->removeMonitor(clickOutsideMonitor_);
    clickOutsideMonitor_ = 0;
}

void MenuBarPanelManager::handleClickOutside() {
    if (!panel_) return;
    if (panel_->frame().contains(desktop_->mouseLocation())) return;
    // A press that closed the panel itself (a click of a desktop's own item) and a click that
    // opens it again within the delay leave the new showing open.
    MainLoop::postToMainAfter(outsideClickDelay, [self = shared_from_this(), panel = panel_, showing = showing_] {
        if (panel->isVisible() && showing == self->showing_ && self->desktop_->isApplicationActive()) self->hidePanel();
    });
}

}  // namespace velmo
