#pragma once

#include <functional>
#include <memory>
#include <optional>

#include "interface/MenuBarPanelManaging.h"
#include "interface/PanelContentView.h"
#include "platform/desktop/StatusBarDesktop.h"
#include "platform/runtime/NotificationCenter.h"
#include "platform/runtime/Duration.h"
#include "platform/runtime/SequenceChecker.h"

namespace velmo {

// The status item and its floating panel. A click of the item toggles the panel; the panel is
// made on first showing and reused; it hangs centred under the item (above it when the item
// sits at the bottom of the screen), kept inside the work area of the item's screen, and closes
// on "velmoDismissPanel" and, 0.3 s after a click outside it, when the application is active
// then. The placing is the card's: its window leaves room around the card for what the content
// draws past it (the card's shadow). Bound to the main thread.
class MenuBarPanelManager : public MenuBarPanelManaging, public std::enable_shared_from_this<MenuBarPanelManager> {
    struct PrivateTag {
        explicit PrivateTag() = default;
    };

public:
    using ContentFactory = std::function<std::shared_ptr<PanelContentView>(const std::shared_ptr<CompanionManager>&)>;

    static constexpr double panelWidth = 320;
    static constexpr double panelHeight = 380;
    static constexpr Seconds outsideClickDelay{0.3};

    // Uses the current status-bar desktop; without a content factory the panel hosts the
    // placeholder card.
    static std::shared_ptr<MenuBarPanelManager> create(std::shared_ptr<CompanionManager> companionManager, ContentFactory makeContent = {});
    MenuBarPanelManager(PrivateTag, std::shared_ptr<CompanionManager> companionManager, ContentFactory makeContent);
    ~MenuBarPanelManager() override;

    void statusItemClicked();
    void showPanel() override;
    void hidePanel() override;
    bool isPanelVisible() const override;
    // The content's height, picture or button frames changed: the panel takes the new height
    // and shows them (its hand-cursor regions follow the buttons).
    void contentDidChange();

    // The 18 x 18 template triangle, black on clear, premultiplied ARGB32.
    static StatusItemIcon makeMenuBarIcon();
    // Where the panel goes for an item whose button window has this frame (none: not known), on
    // these screens with these work areas (one each, in the same order).
    static Rect panelFrameFor(const std::optional<Rect>& buttonWindowFrame, double height, const std::vector<Rect>& screens,
                              const std::vector<Rect>& workAreas);

    const std::shared_ptr<StatusItem>& statusItem() const { return statusItem_; }
    const std::shared_ptr<PanelWindow>& panel() const { return panel_; }
    // Where the panel's card stands, global points. Its window is larger by the room the card's
    // shadow takes around it, and may reach past the work area by that much.
    Rect panelFrame() const { return cardFrame_; }
    // The panel window's frame for a card frame with these margins around it.
    static Rect windowFrameFor(const Rect& cardFrame, const PanelMargins& margins);
    bool hasClickOutsideMonitor() const { return clickOutsideMonitor_ != 0; }

private:
    [[no_unique_address]] SequenceChecker sequenceChecker_;
    void createStatusItem();
    void createPanel();
    void positionPanel();
    void redisplay();
    void removeClickOutsideMonitor();
    void handleClickOutside();

    std::shared_ptr<StatusBarDesktop> desktop_;
    std::shared_ptr<StatusItem> statusItem_;
    std::shared_ptr<PanelWindow> panel_;
    std::shared_ptr<PanelContentView> content_;
    Rect cardFrame_{0, 0, panelWidth, panelHeight};
    PanelMargins margins_;
    StatusBarDesktop::MonitorToken clickOutsideMonitor_ = 0;
    // Counts the showings: a delayed outside-click check belongs to the showing it was made in.
    std::uint64_t showing_ = 0;
    NotificationCenter::Token dismissPanelObserver_;
    std::shared_ptr<CompanionManager> companionManager_;
    ContentFactory makeContent_;
};

}  // namespace velmo
