#include "RideZav/exceptions/RideZavStackFrame.h"

#include <array>
#include <cstdio>

#include "RideZav/integrations/RideZavErrorTrackingConfig.h"

namespace ridezav {

namespace {

constexpr std::array<std::string_view, 23> kSystemLibraryPrefixes = {
    "Foundation",
    "UIKit",
    "CoreFoundation",
    "libsystem_kernel.dylib",
    "libsystem_pthread.dylib",
    "libdispatch.dylib",
    "CoreGraphics",
    "QuartzCore",
    "Security",
    "SystemConfiguration",
    "CFNetwork",
    "CoreData",
    "CoreLocation",
    "AVFoundation",
    "Metal",
    "MetalKit",
    "SwiftUI",
    "Combine",
    "AppKit",
    "libswift",
    "IOKit",
    "WebKit",
    "GraphicsServices",
};

bool startsWithAny(const std::string& module, const auto& prefixes) {
    for (const auto& prefix : prefixes)
        if (std::string_view(module).starts_with(prefix)) return true;
    return false;
}

}  // namespace

std::string hexAddress(std::uint64_t address) {
    char text[24];
    std::snprintf(text, sizeof text, "0x%llx", static_cast<unsigned long long>(address));
    return text;
}

Object RideZavStackFrame::toDictionary() const {
    Object out;
    out.reserve(8);
    out.append("instruction_addr", hexAddress(instructionAddress));
    // The ingestion side reads "apple" frames as native ones: address, image and symbol, which is
    // what an ELF frame is too.
    out.append("platform", "apple");
    out.append("in_app", inApp);
    if (module) out.append("module", *module);
    if (package) out.append("package", *package);
    if (imageAddress) out.append("image_addr", hexAddress(*imageAddress));
    if (function) out.append("function", *function);
    if (symbolAddress) out.append("symbol_addr", hexAddress(*symbolAddress));
    return out;
}

bool isInApp(const std::optional<std::string>& module, const RideZavErrorTrackingConfig& config) {
    if (!module) return false;
    if (startsWithAny(*module, config.inAppIncludes)) return true;
    if (startsWithAny(*module, config.inAppExcludes)) return false;
    if (startsWithAny(*module, kSystemLibraryPrefixes)) return false;
    return config.inAppByDefault;
}

}  // namespace ridezav
