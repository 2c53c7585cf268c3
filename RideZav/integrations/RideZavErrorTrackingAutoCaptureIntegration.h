#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "RideZav/integrations/RideZavIntegration.h"

namespace ridezav {

// What error tracking asks of the crash reporter. The real one is the crash reporter's facade;
// tests give their own through setCrashReporterMakerForTesting.
class ErrorTrackingCrashReporter {
public:
    virtual ~ErrorTrackingCrashReporter() = default;
    virtual bool hasPendingCrashReport() = 0;
    // The stored report's bytes; none, with the error's description in failure, when they cannot be read.
    virtual std::optional<std::vector<std::uint8_t>> loadPendingCrashReportData(std::optional<std::string>& failure) = 0;
    virtual bool purgePendingCrashReport() = 0;
    // Installs the crash handlers; false, with the error's description in failure, when it cannot.
    virtual bool enableCrashReporter(std::optional<std::string>& failure) = 0;
    // Bytes kept for every report written from now on.
    virtual void setCustomData(std::vector<std::uint8_t> data) = 0;
};

// Turns a crash of the previous run into one "$exception" event. Install creates the crash
// reporter (one facade per process), queues the event of a report the last run left, then
// enables the reporter unless a debugger is attached; while installed, every event context
// becomes the reporter's custom data, so a crash carries the identity and session it happened in.
// Thread contract: install, uninstall and eventContextDidChange are serialised by the facade.
class RideZavErrorTrackingAutoCaptureIntegration : public RideZavIntegration {
public:
    RideZavErrorTrackingAutoCaptureIntegration();
    ~RideZavErrorTrackingAutoCaptureIntegration() override;

    bool requiresSwizzling() const override { return false; }
    // Throws InternalRideZavError when the remote configuration turns exception capture off or
    // another facade holds the integration.
    void install(RideZavSDK& rideZav) override;
    void uninstall(RideZavSDK& rideZav) override;
    void eventContextDidChange(const Object& context) override;

    // Queues the pending report's event and purges the report, unless the event could not be
    // written: then the report stays for the next launch.
    void processPendingCrashReport();

    // Whether a tracer (a debugger) is attached to this process: TracerPid of /proc/self/status.
    static bool isDebuggerAttached();
    // The same for a status file's text; none when it holds no TracerPid line.
    static std::optional<bool> tracerIn(std::string_view status);

    bool hasCrashReporter() const { return crashReporter_ != nullptr; }

    using CrashReporterMaker = std::function<std::unique_ptr<ErrorTrackingCrashReporter>()>;
    // Replaces how reporters are made (none: the crash reporter's facade); returns the previous.
    static CrashReporterMaker setCrashReporterMakerForTesting(CrashReporterMaker maker);
    // Replaces the debugger check (none: isDebuggerAttached).
    static void setDebuggerCheckForTesting(std::function<bool()> check);

private:
    void enableCrashReporter();

    std::weak_ptr<RideZavSDK> rideZav_;
    const RideZavSDK* boundTo_ = nullptr;  // compared only; set while this holds the process's slot
    std::unique_ptr<ErrorTrackingCrashReporter> crashReporter_;
};

}  // namespace ridezav
