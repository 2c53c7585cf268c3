#pragma once

namespace velmo::ApplicationNotification {

// Posted on the default notification centre by the application as its state changes; the
// analytics library listens for them. The names are the system's own.
inline constexpr const char* didFinishLaunching = "NSApplicationDidFinishLaunchingNotification";
inline constexpr const char* didBecomeActive = "NSApplicationDidBecomeActiveNotification";
inline constexpr const char* didResignActive = "NSApplicationDidResignActiveNotification";
inline constexpr const char* windowDidBecomeKey = "NSWindowDidBecomeKeyNotification";
inline constexpr const char* windowDidChangeScreen = "NSWindowDidChangeScreenNotification";

}  // namespace velmo::ApplicationNotification
