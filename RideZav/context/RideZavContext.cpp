#include "RideZav/context/RideZavContext.h"

#include <charconv>

#include "RideZav/core/RideZavSdkIdentity.h"
#include "RideZav/network/Reachability.h"
#include "platform/desktop/ApplicationNotifications.h"
#include "platform/desktop/ScreenLayer.h"
#include "platform/foundation/Bundle.h"
#include "platform/base/UTF8.h"
#include "platform/runtime/MainLoop.h"

namespace ridezav {
namespace {

// An Info.plist value as the analytics value it stands for; none for kinds events cannot carry.
std::optional<Value> infoValue(const velmo::PlistValue& value) {
    if (const auto* s = value.asString()) return Value(*s);
    if (const auto* i = value.asInteger()) return Value(static_cast<long long>(*i));
    if (const auto* b = value.asBool()) return Value(*b);
    if (const auto* r = value.asReal()) return Value(*r);
    return std::nullopt;
}

const velmo::Bundle& bundleOf(const RideZavContextSources& sources) { return sources.bundle ? *sources.bundle : velmo::Bundle::main(); }

// Once per process, whatever context asks first.
bool isSideloaded(const velmo::Bundle& bundle) {
    static const bool sideloaded = bundle.pathForResource("embedded", "mobileprovision").has_value();
    return sideloaded;
}

bool isTestflight() {
    static const bool testflight = false;  // a desktop bundle has no store receipt
    return testflight;
}

bool isIosRunningOnMac() {
    static const bool onMac = false;
    return onMac;
}

// Text as UTF-8, each invalid byte replaced by U+FFFD.
std::string repairUTF8(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
    for (std::size_t i = 0; i < text.size();) {
        const std::size_t length = velmo::utf8SequenceLength(bytes + i, text.size() - i);
        if (length == 0) {
            out += "\xEF\xBF\xBD";
            ++i;
        } else {
            out.append(text.substr(i, length));
            i += length;
        }
    }
    return out;
}

bool startsWith(std::string_view text, std::string_view prefix) { return text.substr(0, prefix.size()) == prefix; }

}  // namespace

Value appBuildValue(const std::string& text) {
    std::string_view digits = text;
    if (!digits.empty() && (digits.front() == '+' || digits.front() == '-')) digits.remove_prefix(1);
    if (digits.empty()) return Value(text);
    for (char c : digits)
        if (c < '0' || c > '9') return Value(text);
    // from_chars takes a leading minus but not a plus.
    std::string_view number = text.front() == '+' ? digits : std::string_view(text);
    long long value = 0;
    const auto [end, error] = std::from_chars(number.data(), number.data() + number.size(), value);
    if (error != std::errc() || end != number.data() + number.size()) return Value(text);
    return Value(value);
}

std::string macDeviceName(std::string_view model) {
    if (model.empty()) return "Mac";
    if (startsWith(model, "MacBookAir")) return "MacBook Air";
    if (startsWith(model, "MacBookPro")) return "MacBook Pro";
    if (startsWith(model, "MacBook")) return "MacBook";
    if (startsWith(model, "Macmini")) return "Mac mini";
    if (startsWith(model, "MacPro")) return "Mac Pro";
    if (startsWith(model, "MacStudio") || startsWith(model, "Mac13")) return "Mac Studio";
    if (startsWith(model, "iMac")) return "iMac";
    if (!startsWith(model, "Mac")) return startsWith(model, "VirtualMac") ? "Mac (Virtual)" : "Mac";
    for (std::string_view air : {"Mac14,2", "Mac14,15", "Mac15,3", "Mac15,6", "Mac15,7"})
        if (startsWith(model, air)) return "MacBook Air";
    if (startsWith(model, "Mac14") || startsWith(model, "Mac15")) return "MacBook Pro";
    return "Mac";
}

std::optional<ScreenSize> pointerScreenSize() {
    auto layer = velmo::ScreenLayer::installed();
    if (!layer) return std::nullopt;
    const std::vector<velmo::Screen> screens = layer->screens();
    if (screens.empty()) return std::nullopt;
    const velmo::Point pointer = layer->mouseLocation();
    const velmo::Screen* chosen = &screens.front();
    for (const auto& screen : screens)
        if (screen.frame.contains(pointer)) {
            chosen = &screen;
            break;
        }
    return ScreenSize{chosen->frame.width, chosen->frame.height};
}

std::shared_ptr<RideZavContext> RideZavContext::create(std::shared_ptr<Reachability> reachability, RideZavContextSources sources) {
    std::shared_ptr<RideZavContext> context(new RideZavContext(std::move(reachability), std::move(sources)));
    std::weak_ptr<RideZavContext> weak = context;
    auto& center = velmo::NotificationCenter::defaultCenter();
    for (const char* name : {velmo::ApplicationNotification::windowDidBecomeKey, velmo::ApplicationNotification::windowDidChangeScreen,
                             velmo::ApplicationNotification::didBecomeActive})
        context->observers_.push_back(center.addObserver(name, [weak](const velmo::Notification&) {
            if (auto self = weak.lock()) self->onShouldUpdateScreenSize();
        }));
    return context;
}

RideZavContext::RideZavContext(std::shared_ptr<Reachability> reachability, RideZavContextSources sources)
    : reachability_(std::move(reachability)),
      sources_(std::move(sources)) {}

RideZavContext::~RideZavContext() {
    auto& center = velmo::NotificationCenter::defaultCenter();
    for (const auto& token : observers_) center.removeObserver(token);
}

void RideZavContext::onShouldUpdateScreenSize() {
    if (velmo::MainLoop::isMainThread()) {
        measureScreenSize();
        return;
    }
    std::weak_ptr<RideZavContext> weak = weak_from_this();
    velmo::MainLoop::postToMain([weak] {
        if (auto self = weak.lock()) self->measureScreenSize();
    });
}

void RideZavContext::measureScreenSize() {
    std::optional<ScreenSize> size;
    if (sources_.screenSize) size = sources_.screenSize();
    screenSize_.setValue(size);
}

Object RideZavContext::computeStaticContext() const {
    const velmo::Bundle& bundle = bundleOf(sources_);
    Object context;
    auto name = infoValue(bundle.objectForInfoDictionaryKey("CFBundleName"));
    if (!name) name = infoValue(bundle.objectForInfoDictionaryKey("CFBundleDisplayName"));
    if (name) context.append("$app_name", *name);
    if (auto version = infoValue(bundle.objectForInfoDictionaryKey("CFBundleShortVersionString"))) context.append("$app_version", *version);
    const velmo::PlistValue build = bundle.objectForInfoDictionaryKey("CFBundleVersion");
    if (const auto* text = build.asString()) context.append("$app_build", appBuildValue(*text));
    context.append("$is_testflight", isTestflight());
    context.append("$is_sideloaded", isSideloaded(bundle));
    context.append("$app_namespace", bundle.bundleIdentifier().value_or("com.ridezav.unknown"));

    const velmo::DmiInfo dmi = velmo::readDmi(sources_.dmiFolder);
    const velmo::KernelInfo kernel = sources_.kernel ? sources_.kernel() : velmo::KernelInfo{};
    if (dmi.sysVendor) context.append("$device_manufacturer", repairUTF8(*dmi.sysVendor));
    context.append("$device_model", repairUTF8(kernel.machine));
    context.append("$device_type", "Desktop");
    context.append("$is_emulator", false);
    context.append("$is_ios_running_on_mac", isIosRunningOnMac());
    context.append("$is_mac_catalyst_app", false);
    if (dmi.productName) context.append("$device_name", repairUTF8(*dmi.productName));

    // The distribution names the system and its version; the kernel stands in without one.
    const auto osRelease = velmo::readOsRelease(sources_.osReleasePaths);
    const auto field = [&](const char* key) -> std::optional<std::string> {
        auto it = osRelease.find(key);
        if (it == osRelease.end() || it->second.empty()) return std::nullopt;
        return repairUTF8(it->second);
    };
    if (auto osName = field("NAME"))
        context.append("$os_name", *osName);
    else
        context.append("$os_name", kernel.sysname.empty() ? std::string("Linux") : kernel.sysname);
    if (auto osVersion = field("VERSION_ID"))
        context.append("$os_version", *osVersion);
    else if (auto numbers = velmo::kernelVersionNumbers(kernel.release))
        context.append("$os_version", *numbers);
    return context;
}

Object RideZavContext::staticContext() {
    std::lock_guard lock(cacheMutex_);
    if (!theStaticContext_) theStaticContext_ = computeStaticContext();
    return *theStaticContext_;
}

Object RideZavContext::sdkInfo() {
    std::lock_guard lock(cacheMutex_);
    if (!theSdkInfo_) theSdkInfo_ = Object{{"$lib", rideZavSdkName()}, {"$lib_version", rideZavVersion()}};
    return *theSdkInfo_;
}

Object RideZavContext::personPropertiesContext() {
    {
        std::lock_guard lock(cacheMutex_);
        if (thePersonPropertiesContext_) return *thePersonPropertiesContext_;
    }
    const Object staticValues = staticContext();
    Object properties;
    for (const char* key : {"$app_version", "$app_build", "$app_namespace", "$os_name", "$os_version", "$device_type"})
        if (const Value* value = staticValues.find(key)) properties.append(key, *value);
    for (const auto& [key, value] : sdkInfo()) properties.insertIfAbsent(key, value);
    std::lock_guard lock(cacheMutex_);
    if (!thePersonPropertiesContext_) thePersonPropertiesContext_ = std::move(properties);
    return *thePersonPropertiesContext_;
}

Object RideZavContext::dynamicContext() {
    Object context;
    // The screen at capture time: the pointer may have moved to another monitor since the last
    // window notification.
    measureScreenSize();
    if (const auto size = screenSize_.value()) {
        context.append("$screen_width", static_cast<float>(size->width));
        context.append("$screen_height", static_cast<float>(size->height));
    }
    if (auto locale = velmo::messagesLocale(sources_.environment))
        if (auto language = velmo::localeLanguageCode(*locale)) context.append("$locale", *language);
    context.append("$timezone", velmo::currentTimeZoneIdentifier({sources_.environment, sources_.timezoneFile, sources_.localtimeLink}));
    if (reachability_) {
        if (!reachability_->flags()) {
            try {
                reachability_->setReachabilityFlags();
            } catch (const ReachabilityError&) {
                // Unknown flags read as no Wi-Fi.
            }
        }
        context.append("$network_wifi", connectionFor(reachability_->flags()) == Connection::wifi);
        context.append("$network_cellular", false);
    }
    return context;
}

}  // namespace ridezav
