#include "RideZav/integrations/RideZavErrorTrackingAutoCaptureIntegration.h"

#include <cerrno>
#include <charconv>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string_view>

#include "RideZav/RideZavSDK.h"
#include "RideZav/RideZavSDKState.h"
#include "RideZav/core/InternalRideZavError.h"
#include "RideZav/core/RideZavLog.h"
#include "RideZav/core/RideZavUtils.h"
#include "RideZav/delivery/RideZavQueue.h"
#include "RideZav/delivery/RideZavRemoteConfig.h"
#include "RideZav/exceptions/RideZavCrashReportConversion.h"
#include "RideZav/storage/RideZavStorageManager.h"
#include "RideZav/integrations/ProcessWideInstallSlot.h"
#include "crashreporter/report/ZVCrashReport.h"
#include "crashreporter/ZVCrashReporter.h"
#include "platform/foundation/Bundle.h"

namespace ridezav {

namespace {

ProcessWideInstallSlot& installSlot() {
    static auto* slot = new ProcessWideInstallSlot();  // never released
    return *slot;
}

struct Hooks {
    std::mutex mutex;
    RideZavErrorTrackingAutoCaptureIntegration::CrashReporterMaker maker;  // guarded by mutex
    std::function<bool()> debuggerCheck;  // guarded by mutex
};
Hooks& hooks() {
    static auto* made = new Hooks();  // never released
    return *made;
}

// The crash reporter's facade behind the integration's view of it.
class FacadeCrashReporter final : public ErrorTrackingCrashReporter {
public:
    explicit FacadeCrashReporter(std::unique_ptr<zvcrash::ZVCrashReporter> reporter)
        : reporter_(std::move(reporter)) {}
    bool hasPendingCrashReport() override { return reporter_->hasPendingCrashReport(); }
    std::optional<std::vector<std::uint8_t>> loadPendingCrashReportData(std::optional<std::string>& failure) override {
        std::optional<zvcrash::ZVCrashReporterError> error;
        auto data = reporter_->loadPendingCrashReportData(&error);
        if (error) failure = error->description();
        return data;
    }
    bool purgePendingCrashReport() override { return reporter_->purgePendingCrashReport(); }
    bool enableCrashReporter(std::optional<std::string>& failure) override {
        std::optional<zvcrash::ZVCrashReporterError> error;
        const bool enabled = reporter_->enableCrashReporter(&error);
        if (error) failure = error->description();
        return enabled;
    }
    void setCustomData(std::vector<std::uint8_t> data) override { reporter_->setCustomData(std::move(data)); }

private:
    std::unique_ptr<zvcrash::ZVCrashReporter> reporter_;
};

std::unique_ptr<ErrorTrackingCrashReporter> makeCrashReporter() {
    RideZavErrorTrackingAutoCaptureIntegration::CrashReporterMaker maker;
    {
        std::lock_guard lock(hooks().mutex);
        maker = hooks().maker;
    }
    if (maker) return maker();
    // The exception-server mode, which on Linux is served with POSIX signals; no symbolication,
    // since the ingestion side names frames from the debug images; the terminate handler on.
    const zvcrash::ZVCrashReporterConfig config(zvcrash::ZVCrashReporterSignalHandlerTypeMach,
                                                zvcrash::ZVCrashReporterSymbolicationStrategyNone, true);
    try {
        return std::make_unique<FacadeCrashReporter>(std::make_unique<zvcrash::ZVCrashReporter>(velmo::Bundle::main(), config));
    } catch (const std::exception&) {
        return nullptr;  // no identifier for the application's reports
    }
}

std::optional<Date> reportTimestamp(const zvcrash::ZVCrashReport& report) { return report.systemInfo().timestamp(); }

}  // namespace

RideZavErrorTrackingAutoCaptureIntegration::RideZavErrorTrackingAutoCaptureIntegration() = default;

RideZavErrorTrackingAutoCaptureIntegration::~RideZavErrorTrackingAutoCaptureIntegration() {
    // One dropped while bound must not keep every later facade from installing.
    if (boundTo_) installSlot().release();
}

void RideZavErrorTrackingAutoCaptureIntegration::install(RideZavSDK& rideZav) {
    if (auto remote = rideZav.remoteConfig(); remote && !remote->autoCaptureExceptions())
        throw InternalRideZavError("Error tracking auto capture integration disabled in remote config.");
    installSlot().claim("Error tracking auto capture integration already installed to another RideZavSDK instance.");
    boundTo_ = &rideZav;
    auto reporter = makeCrashReporter();
    if (!reporter) {
        ridezavLog("Failed to create ZVCrashReporter instance");
        return;
    }
    crashReporter_ = std::move(reporter);
    rideZav_ = rideZav.weak_from_this();
    if (crashReporter_->hasPendingCrashReport()) {
        ridezavLog("Found pending crash report, processing...");
        processPendingCrashReport();
    }
    enableCrashReporter();
}

void RideZavErrorTrackingAutoCaptureIntegration::processPendingCrashReport() {
    auto sdk = rideZav_.lock();
    if (!crashReporter_ || !sdk) return;

    std::optional<std::string> failure;
    std::optional<zvcrash::ZVCrashReport> report;
    if (auto data = crashReporter_->loadPendingCrashReportData(failure)) {
        std::optional<velmo::Error> error;
        report = zvcrash::ZVCrashReport::fromData(*data, &error);
        if (!report) failure = error ? error->description() : "the report could not be decoded";
    } else if (!failure) {
        failure = "Unable to open live crash report for reading";
    }
    if (!report) {
        ridezavLog("Failed to process crash report: " + *failure);
        // A report that cannot be read would fail the same way at every launch.
        crashReporter_->purgePendingCrashReport();
        return;
    }

    Object custom;
    if (const auto& bytes = report->customData()) {
        if (auto parsed = parseJSON(std::string_view(reinterpret_cast<const char*>(bytes->data()), bytes->size())))
            if (const Object* object = parsed->get<Object>()) custom = *object;
    }
    std::optional<std::string> storedDistinctId;
    if (const Value* id = custom.find("distinct_id")) storedDistinctId = id->asString();
    Object properties;
    if (const Value* stored = custom.find("event_properties"))
        if (const Object* object = stored->get<Object>()) properties = *object;

    auto state = sdk->state();
    if (!state || !state->config) return;
    for (auto& [key, value] : exceptionProperties(*report, state->config->errorTrackingConfig())) properties.set(key, std::move(value));
    const Date timestamp = reportTimestamp(*report).value_or(facade::presentTime());

    // False only when an event was made and its file could not be written: the report is then
    // kept, so a full disk does not lose the crash.
    bool keep = false;
    if (!sdk->setupGuard()) {
        // The facade logged why.
    } else if (state->config->optOut()) {
        ridezavLog("RideZav is in OptOut state.");
    } else if (state->queue) {
        const std::string distinctId = storedDistinctId        ? *storedDistinctId
                                       : state->storageManager ? state->storageManager->getDistinctId()
                                                               : "";
        if (auto event = sdk->buildEvent("$exception", distinctId, std::move(properties), timestamp)) keep = !state->queue->add(*event);
    }
    if (keep) {
        ridezavLog("Crash report processed, but its event could not be written; the report is kept for the next launch");
        return;
    }
    ridezavLog("Crash report processed and captured");
    crashReporter_->purgePendingCrashReport();
}

void RideZavErrorTrackingAutoCaptureIntegration::enableCrashReporter() {
    std::function<bool()> check;
    {
        std::lock_guard lock(hooks().mutex);
        check = hooks().debuggerCheck;
    }
    if (check ? check() : isDebuggerAttached()) {
        ridezavLog("Crash handler is disabled because a debugger is attached. Crashes will be caught by the debugger instead.");
        return;
    }
    std::optional<std::string> failure;
    if (crashReporter_->enableCrashReporter(failure))
        ridezavLog("ZVCrashReporter enabled successfully");
    else
        ridezavLog("Failed to enable ZVCrashReporter: " + failure.value_or("unknown error"));
}

std::optional<bool> RideZavErrorTrackingAutoCaptureIntegration::tracerIn(std::string_view status) {
    constexpr std::string_view key = "TracerPid:";
    while (!status.empty()) {
        const auto end = status.find('\n');
        std::string_view line = status.substr(0, end);
        status = end == std::string_view::npos ? std::string_view() : status.substr(end + 1);
        if (!line.starts_with(key)) continue;
        line.remove_prefix(key.size());
        while (!line.empty() && (line.front() == ' ' || line.front() == '\t')) line.remove_prefix(1);
        long pid = 0;
        const auto [last, failure] = std::from_chars(line.data(), line.data() + line.size(), pid);
        if (failure != std::errc() || last == line.data()) return std::nullopt;
        return pid != 0;
    }
    return std::nullopt;
}

bool RideZavErrorTrackingAutoCaptureIntegration::isDebuggerAttached() {
    std::ifstream file("/proc/self/status");
    std::ostringstream text;
    if (file) text << file.rdbuf();
    const int failure = file ? 0 : errno;
    if (auto traced = tracerIn(text.str())) return *traced;
    // The status file names its tracer on every Linux; without it, the reading's errno.
    ridezavLog("Failed to check for debugger. sysctl failed with error code: " + std::to_string(failure ? failure : -1));
    return false;
}

void RideZavErrorTrackingAutoCaptureIntegration::eventContextDidChange(const Object& context) {
    if (!crashReporter_) return;
    auto data = jsonData(context);
    if (!data) {
        ridezavLog("Failed to serialize crash context: the context is not valid JSON");
        return;
    }
    crashReporter_->setCustomData(std::vector<std::uint8_t>(data->begin(), data->end()));
}

void RideZavErrorTrackingAutoCaptureIntegration::uninstall(RideZavSDK& rideZav) {
    if (auto bound = rideZav_.lock(); bound && bound.get() != &rideZav) return;
    // The handlers the reporter installed stay for the rest of the process; only this object's
    // hold on it ends.
    crashReporter_.reset();
    rideZav_.reset();
    if (boundTo_) {
        boundTo_ = nullptr;
        installSlot().release();
    }
}

RideZavErrorTrackingAutoCaptureIntegration::CrashReporterMaker RideZavErrorTrackingAutoCaptureIntegration::setCrashReporterMakerForTesting(
    CrashReporterMaker maker) {
    std::lock_guard lock(hooks().mutex);
    return std::exchange(hooks().maker, std::move(maker));
}

void RideZavErrorTrackingAutoCaptureIntegration::setDebuggerCheckForTesting(std::function<bool()> check) {
    std::lock_guard lock(hooks().mutex);
    hooks().debuggerCheck = std::move(check);
}

}  // namespace ridezav
