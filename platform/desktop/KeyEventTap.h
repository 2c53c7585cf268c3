#pragma once

// A listen-only view of the keyboard of the whole session, whichever window has the focus.
//
// A tap is created from the process's tap factory with an event mask and a callback. It delivers
// nothing until its run-loop source has been added to the main loop and it is enabled; then every
// event whose type is in the mask reaches the callback on the main loop. The callback returns the
// event to pass on; the tap only observes, so nothing the callback does can hold an event back
// from the application in front. A tap the system disables tells its callback so with one of the
// two "disabled" types (whatever the mask), and stays disabled until it is enabled again.
// Invalidating a tap ends it for good: its source leaves the main loop and nothing more arrives.
//
// All of it lives on the main thread.

#include <cstdint>
#include <memory>
#include <optional>

namespace velmo {

enum class KeyEventType : std::uint32_t {
    null = 0,
    keyDown = 10,
    keyUp = 11,
    flagsChanged = 12,  // a modifier key went down or up
    tapDisabledByTimeout = 0xFFFFFFFE,
    tapDisabledByUserInput = 0xFFFFFFFF,
};

// One bit per event type, bit number = type value.
using KeyEventMask = std::uint64_t;
constexpr KeyEventMask keyEventMaskBit(KeyEventType type) {
    auto n = static_cast<std::uint32_t>(type);
    return n < 64 ? KeyEventMask(1) << n : 0;
}

// The modifier-flags word of an event: one bit per modifier that is down (caps lock: locked).
using KeyEventFlags = std::uint64_t;
namespace KeyEventFlag {
constexpr KeyEventFlags alphaShift = 0x10000;  // caps lock
constexpr KeyEventFlags shift = 0x20000;
constexpr KeyEventFlags control = 0x40000;
constexpr KeyEventFlags alternate = 0x80000;  // option (Alt on a PC keyboard)
constexpr KeyEventFlags command = 0x100000;  // the Super/Windows key on a PC keyboard
}  // namespace KeyEventFlag

struct KeyEvent {
    KeyEventType type = KeyEventType::null;
    KeyEventFlags flags = 0;
    bool operator==(const KeyEvent&) const = default;
};

// Where the tap sits, where in the chain of taps, and what it may do. X11 offers only a
// listen-only view of the whole session, so these are the only values there are.
enum class KeyEventTapLocation : std::uint32_t { session = 1 };
enum class KeyEventTapPlacement : std::uint32_t { headInsert = 0 };
enum class KeyEventTapOptions : std::uint32_t { listenOnly = 1 };

// Called on the main loop with the event's type, the event and the user-info pointer given at
// creation (the tap does not own what it points to). Returns the event to pass on.
using KeyEventTapCallback = KeyEvent (*)(KeyEventType type, const KeyEvent& event, void* userInfo);

class KeyEventTapRunLoopSource;

class KeyEventTap : public std::enable_shared_from_this<KeyEventTap> {
public:
    KeyEventTap(const KeyEventTap&) = delete;
    KeyEventTap& operator=(const KeyEventTap&) = delete;
    virtual ~KeyEventTap();

    // Enabling an invalidated tap does nothing.
    void setEnabled(bool enabled);
    bool isEnabled() const { return enabled_; }
    bool isValid() const { return valid_; }
    // Idempotent. Also takes the tap's source out of the main loop.
    void invalidate();

    // The source through which the tap's events reach the main loop; null when it cannot be made
    // (the tap is invalid, no main loop is installed, or the backend refuses). A tap has at most
    // one source: asking again while it lives returns the same one.
    std::shared_ptr<KeyEventTapRunLoopSource> createRunLoopSource();
    bool isInMainLoop() const { return attached_; }

    KeyEventMask eventMask() const { return mask_; }
    void* userInfo() const { return userInfo_; }

protected:
    KeyEventTap(KeyEventMask mask, KeyEventTapCallback callback, void* userInfo);

    // Hands one event to the callback when the tap is valid, in the main loop, enabled and the
    // mask holds the event's type. Returns what the callback passed on, or nothing when the event
    // went by unseen.
    std::optional<KeyEvent> dispatch(const KeyEvent& event);
    // The system turns the tap off: it is disabled at once, and the callback hears `reason`
    // (one of the two disabled types) on the main loop while the tap is valid and in the loop.
    void disableBySystem(KeyEventType reason);

    // Backend hooks. The backend may refuse a source (return false).
    virtual bool canMakeRunLoopSource() { return true; }
    virtual void attachToMainLoop() {}
    virtual void detachFromMainLoop() {}
    virtual void didInvalidate() {}

private:
    friend class KeyEventTapRunLoopSource;
    void attach();
    void detach();

    KeyEventMask mask_;
    KeyEventTapCallback callback_;
    void* userInfo_;
    bool valid_ = true;
    bool enabled_ = false;
    bool attached_ = false;
    std::weak_ptr<KeyEventTapRunLoopSource> source_;
};

class KeyEventTapRunLoopSource {
public:
    KeyEventTapRunLoopSource(const KeyEventTapRunLoopSource&) = delete;
    KeyEventTapRunLoopSource& operator=(const KeyEventTapRunLoopSource&) = delete;
    ~KeyEventTapRunLoopSource();

    // Events of the tap start reaching the main loop. Does nothing once the tap is invalid.
    void addToMainLoop();
    void removeFromMainLoop();
    bool isInMainLoop() const;

private:
    friend class KeyEventTap;
    explicit KeyEventTapRunLoopSource(std::weak_ptr<KeyEventTap> tap)
        : tap_(std::move(tap)) {}
    std::weak_ptr<KeyEventTap> tap_;
};

// Makes taps. The process has one current factory: the X11 one main installed, or a test's.
class KeyEventTapFactory {
public:
    virtual ~KeyEventTapFactory() = default;

    // Null when the keyboard of the session cannot be observed (no X11 display, a Wayland session
    // without X11, a display without the input extension). The tap starts disabled.
    virtual std::shared_ptr<KeyEventTap> createTap(KeyEventTapLocation location, KeyEventTapPlacement placement, KeyEventTapOptions options,
                                                   KeyEventMask mask, KeyEventTapCallback callback, void* userInfo) = 0;

    // None installed is a fault of the program.
    static std::shared_ptr<KeyEventTapFactory> current();
    // Returns the one installed before.
    static std::shared_ptr<KeyEventTapFactory> install(std::shared_ptr<KeyEventTapFactory> factory);
};

}  // namespace velmo
