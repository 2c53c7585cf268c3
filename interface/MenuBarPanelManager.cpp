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
    if (content_) margins_ = content_->margins();
    panel_ = desktop_->makePanel(windowFrameFor(cardFrame_, margins_));
    if (panel_ && content_) {
        std::weak_ptr<MenuBarPanelManager> weak = weak_from_this();
        panel_->setClickHandler([weak](Point p) {
            auto self = weak.lock();
            if (!self || !self->content_) return;
            self->content_->click({p.x - self->margins_.left, p.y - self->margins_.top});
        });
    }
}

Rect MenuBarPanelManager::windowFrameFor(const Rect& card, const PanelMargins& m) {
    // Global points have y up: the bottom margin lowers the window's origin.
    return {card.minX() - m.left, card.minY() - m.bottom, card.width + m.left + m.right, card.height + m.top + m.bottom};
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
    if (button || !screens.empty()) cardFrame_ = panelFrameFor(button, height, screens, desktop_->workAreas());
    // The work area holds the card; the shadow's room around it may reach past it.
    if (content_) margins_ = content_->margins();
    panel_->setFrame(windowFrameFor(cardFrame_, margins_));
    panel_->setContentRect({margins_.left, margins_.top, cardFrame_.width, cardFrame_.height});
    redisplay();
}

void MenuBarPanelManager::redisplay() {
    const Size card = cardFrame_.size();
    if (!content_ || card.width < 1 || card.height < 1) return;
    PanelPixels pixels = content_->render(card);
    panel_->display(pixels.bytes.data(), pixels.width, pixels.height, pixels.stride);
    std::vector<Rect> regions = content_->pointerCursorRegions(card);
    for (Rect& r : regions) {
        r.x += margins_.left;
        r.y += margins_.top;
    }
    panel_->setPointingHandRegions(regions);
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
    if (cardFrame_.contains(desktop_->mouseLocation())) return;
    // A press that closed the panel itself (a click of a desktop's own item) and a click that
    // opens it again within the delay leave the new showing open.
    MainLoop::postToMainAfter(outsideClickDelay, [self = shared_from_this(), panel = panel_, showing = showing_] {
        if (panel->isVisible() && showing == self->showing_ && self->desktop_->isApplicationActive()) self->hidePanel();
    });
}

}  // namespace velmo
