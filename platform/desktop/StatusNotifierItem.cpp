#include "platform/desktop/StatusNotifierItem.h"

#include <systemd/sd-bus.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>

#include "platform/runtime/MainLoop.h"

namespace velmo {

namespace {

constexpr const char* watcherName = "org.kde.StatusNotifierWatcher";
constexpr const char* itemPath = "/StatusNotifierItem";
constexpr const char* itemInterface = "org.kde.StatusNotifierItem";
constexpr double buttonSide = 24;
constexpr std::uint32_t lightTint = 0xFFFFFF;

class DBusStatusNotifierItem final : public StatusItem, public std::enable_shared_from_this<DBusStatusNotifierItem> {
public:
    DBusStatusNotifierItem(sd_bus* bus, StatusNotifierItemOptions options)
        : bus_(bus),
          options_(std::move(options)) {
        static std::atomic<int> serial{0};
        name_ = "org.kde.StatusNotifierItem-" + std::to_string(getpid()) + "-" + std::to_string(++serial);
    }
    ~DBusStatusNotifierItem() override {
        watch_.cancel();
        sd_bus_slot_unref(vtableSlot_);
        sd_bus_slot_unref(matchSlot_);
        sd_bus_flush_close_unref(bus_);
    }

    bool start() {
        if (sd_bus_add_object_vtable(bus_, &vtableSlot_, itemPath, itemInterface, vtable(), this) < 0) return false;
        if (sd_bus_request_name(bus_, name_.c_str(), 0) < 0) return false;
        if (sd_bus_match_signal(bus_, &matchSlot_, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                                "NameOwnerChanged", &DBusStatusNotifierItem::onNameOwnerChanged, this) < 0)
            return false;
        if (!registerWithWatcher()) return false;
        if (auto loop = MainLoop::current()) {
            std::weak_ptr<DBusStatusNotifierItem> weak = weak_from_this();
            watch_ = loop->watchFd(sd_bus_get_fd(bus_), FdReadable, [weak](unsigned) {
                if (auto self = weak.lock()) self->process();
            });
            loop->post([weak] {
                if (auto self = weak.lock()) self->process();
            });
        }
        return true;
    }

    void setTemplateIcon(StatusItemIcon icon) override {
        icon_ = std::move(icon);
        sd_bus_emit_signal(bus_, itemPath, itemInterface, "NewIcon", "");
        sd_bus_flush(bus_);
    }
    void setToolTip(const std::string& text) override {
        toolTip_ = text;
        sd_bus_emit_signal(bus_, itemPath, itemInterface, "NewToolTip", "");
        sd_bus_flush(bus_);
    }
    void setAction(std::function<void()> action) override { action_ = std::move(action); }
    std::optional<Rect> buttonWindowFrame() const override { return frame_; }

private:
    void process() {
        while (sd_bus_process(bus_, nullptr) > 0) {
        }
        sd_bus_flush(bus_);
    }

    bool registerWithWatcher() {
        sd_bus_error error = SD_BUS_ERROR_NULL;
        // Without waiting: the watcher may ask for our properties before it answers.
        int r = sd_bus_call_method_async(bus_, nullptr, watcherName, "/StatusNotifierWatcher", watcherName, "RegisterStatusNotifierItem",
                                         nullptr, nullptr, "s", name_.c_str());
        sd_bus_error_free(&error);
        sd_bus_flush(bus_);
        return r >= 0;
    }

    void activated(int x, int y) {
        if (options_.globalPointFromScreen) frame_ = statusNotifierButtonFrame(x, y, options_.globalPointFromScreen);
        if (options_.activated) options_.activated();
        // After the method's reply has gone; calls queued meanwhile make one click, not one
        // panel change each.
        if (!action_ || actionPending_) return;
        actionPending_ = true;
        std::weak_ptr<DBusStatusNotifierItem> weak = weak_from_this();
        MainLoop::postToMain([weak] {
            auto self = weak.lock();
            if (!self) return;
            self->process();
            self->actionPending_ = false;
            if (self->action_) self->action_();
        });
    }

    static int onNameOwnerChanged(sd_bus_message* m, void* userdata, sd_bus_error*) {
        const char *name = nullptr, *oldOwner = nullptr, *newOwner = nullptr;
        if (sd_bus_message_read(m, "sss", &name, &oldOwner, &newOwner) < 0) return 0;
        if (std::strcmp(name, watcherName) == 0 && newOwner && *newOwner)
            static_cast<DBusStatusNotifierItem*>(userdata)->registerWithWatcher();
        return 0;
    }

    static int onActivate(sd_bus_message* m, void* userdata, sd_bus_error*) {
        int x = 0, y = 0;
        if (sd_bus_message_read(m, "ii", &x, &y) >= 0) static_cast<DBusStatusNotifierItem*>(userdata)->activated(x, y);
        return sd_bus_reply_method_return(m, "");
    }
    static int onIgnored(sd_bus_message* m, void*, sd_bus_error*) { return sd_bus_reply_method_return(m, ""); }

    static int appendPixmap(sd_bus_message* reply, const StatusItemIcon& icon) {
        int r = sd_bus_message_open_container(reply, 'a', "(iiay)");
        if (r < 0) return r;
        if (icon.width > 0) {
            auto bytes = statusNotifierPixmapBytes(icon, lightTint);
            if ((r = sd_bus_message_open_container(reply, 'r', "iiay")) < 0) return r;
            if ((r = sd_bus_message_append(reply, "ii", icon.width, icon.height)) < 0) return r;
            if ((r = sd_bus_message_append_array(reply, 'y', bytes.data(), bytes.size())) < 0) return r;
            if ((r = sd_bus_message_close_container(reply)) < 0) return r;
        }
        return sd_bus_message_close_container(reply);
    }

    static int getProperty(sd_bus*, const char*, const char*, const char* property, sd_bus_message* reply, void* userdata, sd_bus_error*) {
        auto* self = static_cast<DBusStatusNotifierItem*>(userdata);
        if (std::strcmp(property, "Category") == 0) return sd_bus_message_append(reply, "s", "ApplicationStatus");
        if (std::strcmp(property, "Id") == 0) return sd_bus_message_append(reply, "s", "velmo");
        if (std::strcmp(property, "Title") == 0) return sd_bus_message_append(reply, "s", "Velmo");
        if (std::strcmp(property, "Status") == 0) return sd_bus_message_append(reply, "s", "Active");
        if (std::strcmp(property, "IconName") == 0) return sd_bus_message_append(reply, "s", "");
        if (std::strcmp(property, "ItemIsMenu") == 0) return sd_bus_message_append(reply, "b", 0);
        if (std::strcmp(property, "IconPixmap") == 0) return appendPixmap(reply, self->icon_);
        if (std::strcmp(property, "ToolTip") == 0) {
            int r = sd_bus_message_open_container(reply, 'r', "sa(iiay)ss");
            if (r < 0) return r;
            if ((r = sd_bus_message_append(reply, "s", "")) < 0) return r;
            if ((r = appendPixmap(reply, StatusItemIcon{})) < 0) return r;
            if ((r = sd_bus_message_append(reply, "ss", self->toolTip_.c_str(), "")) < 0) return r;
            return sd_bus_message_close_container(reply);
        }
        return -EINVAL;
    }

    static const sd_bus_vtable* vtable() {
        static const sd_bus_vtable table[] = {
            SD_BUS_VTABLE_START(0),
            SD_BUS_PROPERTY("Category", "s", getProperty, 0, SD_BUS_VTABLE_PROPERTY_CONST),
            SD_BUS_PROPERTY("Id", "s", getProperty, 0, SD_BUS_VTABLE_PROPERTY_CONST),
            SD_BUS_PROPERTY("Title", "s", getProperty, 0, SD_BUS_VTABLE_PROPERTY_CONST),
            SD_BUS_PROPERTY("Status", "s", getProperty, 0, 0),
            SD_BUS_PROPERTY("IconName", "s", getProperty, 0, 0),
            SD_BUS_PROPERTY("IconPixmap", "a(iiay)", getProperty, 0, 0),
            SD_BUS_PROPERTY("ToolTip", "(sa(iiay)ss)", getProperty, 0, 0),
            SD_BUS_PROPERTY("ItemIsMenu", "b", getProperty, 0, SD_BUS_VTABLE_PROPERTY_CONST),
            SD_BUS_METHOD("Activate", "ii", "", onActivate, SD_BUS_VTABLE_UNPRIVILEGED),
            SD_BUS_METHOD("SecondaryActivate", "ii", "", onActivate, SD_BUS_VTABLE_UNPRIVILEGED),
            SD_BUS_METHOD("ContextMenu", "ii", "", onIgnored, SD_BUS_VTABLE_UNPRIVILEGED),
            SD_BUS_METHOD("Scroll", "is", "", onIgnored, SD_BUS_VTABLE_UNPRIVILEGED),
            SD_BUS_SIGNAL("NewIcon", "", 0),
            SD_BUS_SIGNAL("NewToolTip", "", 0),
            SD_BUS_VTABLE_END,
        };
        return table;
    }

    sd_bus* bus_;
    StatusNotifierItemOptions options_;
    std::string name_;
    sd_bus_slot* vtableSlot_ = nullptr;
    sd_bus_slot* matchSlot_ = nullptr;
    FdWatch watch_;
    StatusItemIcon icon_;
    std::string toolTip_;
    std::function<void()> action_;
    std::optional<Rect> frame_;
    bool actionPending_ = false;
};

bool watcherIsPresent(sd_bus* bus) {
    sd_bus_error error = SD_BUS_ERROR_NULL;
    sd_bus_message* reply = nullptr;
    int hasOwner = 0;
    if (sd_bus_call_method(bus, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", "NameHasOwner", &error, &reply,
                           "s", watcherName) >= 0)
        sd_bus_message_read(reply, "b", &hasOwner);
    sd_bus_message_unref(reply);
    sd_bus_error_free(&error);
    return hasOwner != 0;
}

}  // namespace

Rect statusNotifierButtonFrame(int x, int y, const std::function<Point(int x, int y)>& globalPointFromScreen) {
    // Any bus client may call with any ints; X11 coordinates are 16-bit.
    x = std::clamp(x, -32768, 32767);
    y = std::clamp(y, -32768, 32767);
    Point p = globalPointFromScreen(x, y);
    return Rect{p.x - buttonSide / 2, p.y - buttonSide / 2, buttonSide, buttonSide};
}

std::vector<std::uint8_t> statusNotifierPixmapBytes(const StatusItemIcon& icon, std::uint32_t rgb) {
    const StatusItemIcon shown = tintedOutlinedIcon(icon, rgb);
    std::vector<std::uint8_t> bytes;
    bytes.reserve(shown.argb.size() * 4);
    for (std::uint32_t pixel : shown.argb) {
        // Straight alpha on the bus.
        const std::uint32_t alpha = pixel >> 24;
        auto straight = [&](int shift) {
            return alpha ? std::uint8_t(std::min<std::uint32_t>(255, (((pixel >> shift) & 0xFF) * 255 + alpha / 2) / alpha))
                         : std::uint8_t(0);
        };
        bytes.push_back(std::uint8_t(alpha));
        bytes.push_back(straight(16));
        bytes.push_back(straight(8));
        bytes.push_back(straight(0));
    }
    return bytes;
}

std::shared_ptr<StatusItem> makeStatusNotifierItem(StatusNotifierItemOptions options) {
    sd_bus* bus = nullptr;
    int r = 0;
    if (options.busAddress.empty()) {
        r = sd_bus_open_user(&bus);
    } else if ((r = sd_bus_new(&bus)) >= 0) {
        sd_bus_set_address(bus, options.busAddress.c_str());
        sd_bus_set_bus_client(bus, 1);
        r = sd_bus_start(bus);
    }
    if (r < 0) {
        sd_bus_unref(bus);
        return nullptr;
    }
    if (!watcherIsPresent(bus)) {
        sd_bus_flush_close_unref(bus);
        return nullptr;
    }
    auto item = std::make_shared<DBusStatusNotifierItem>(bus, std::move(options));
    if (!item->start()) return nullptr;
    return item;
}

}  // namespace velmo
