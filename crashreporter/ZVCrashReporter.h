// The crash reporter as an application uses it: where the pending report lives, the one-shot
// enable that installs the crash handlers, the report left by the previous run, and reports of
// the running process on demand.
#pragma once

#include <sys/types.h>

#include <csignal>
#include <cstdint>
#include <exception>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "crashreporter/ZVCrashReporterConfig.h"
#include "crashreporter/ZVCrashReporterError.h"

namespace velmo {
class Bundle;
}

namespace zvcrash {

// Raised for misuse: the name is "ZVCrashReporterException", what() the reason.
class ZVCrashReporterException : public std::logic_error {
public:
    explicit ZVCrashReporterException(const std::string& reason)
        : std::logic_error(reason) {}
    static constexpr const char* name = "ZVCrashReporterException";
    const char* reason() const noexcept { return what(); }
};

// Called at crash time, in the signal handler, after the report was written: it must keep to
// what is safe there.
struct ZVCrashReporterCallbacks {
    // Must be 0.
    uint16_t version;
    void* context;
    void (*handleSignal)(siginfo_t* info, ucontext_t* uap, void* context);
};

// An exception to put in a live report.
struct ZVCrashReporterExceptionInfo {
    std::string name;
    std::string reason;
    std::vector<uint64_t> returnAddresses;

    // Name (the type, demangled) and reason (what()) of a caught exception.
    static ZVCrashReporterExceptionInfo fromException(const std::exception_ptr& exception);
};

class ZVCrashReporter {
public:
    // One per process, made on first use from the main bundle and the default configuration.
    static ZVCrashReporter& sharedReporter();

    ZVCrashReporter();
    explicit ZVCrashReporter(ZVCrashReporterConfig configuration);
    // Identifier and versions from the bundle. Without an identifier the process name stands in;
    // without that either, ZVCrashReporterException.
    ZVCrashReporter(const velmo::Bundle& bundle, ZVCrashReporterConfig configuration);
    // Creates nothing on disk.
    ZVCrashReporter(std::string applicationIdentifier, std::string applicationVersion,
                    std::optional<std::string> applicationMarketingVersion, ZVCrashReporterConfig configuration);

    ZVCrashReporter(const ZVCrashReporter&) = delete;
    ZVCrashReporter& operator=(const ZVCrashReporter&) = delete;

    const ZVCrashReporterConfig& config() const { return config_; }
    bool enabled() const;
    const std::string& applicationIdentifier() const { return applicationIdentifier_; }
    const std::string& applicationVersion() const { return applicationVersion_; }
    const std::optional<std::string>& applicationMarketingVersion() const { return applicationMarketingVersion_; }

    bool hasPendingCrashReport() const;
    std::optional<std::vector<uint8_t>> loadPendingCrashReportData(std::optional<ZVCrashReporterError>* error = nullptr) const;
    bool purgePendingCrashReport(std::optional<ZVCrashReporterError>* error = nullptr) const;

    // Installs the crash handlers. Only one attempt per process gets past the first step: every
    // later one fails with code 3, also after a first attempt that failed.
    bool enableCrashReporter(std::optional<ZVCrashReporterError>* error = nullptr);

    // A report of the running process, as if it had crashed with SIGTRAP, written to a temporary
    // file and read back. thread is a kernel thread id of this process.
    std::optional<std::vector<uint8_t>> generateLiveReportWithThread(pid_t thread, std::optional<ZVCrashReporterError>* error = nullptr);
    std::optional<std::vector<uint8_t>> generateLiveReportWithThread(pid_t thread, const ZVCrashReporterExceptionInfo* exception,
                                                                     std::optional<ZVCrashReporterError>* error = nullptr);
    std::optional<std::vector<uint8_t>> generateLiveReport(std::optional<ZVCrashReporterError>* error = nullptr);
    std::optional<std::vector<uint8_t>> generateLiveReportWithException(const ZVCrashReporterExceptionInfo& exception,
                                                                        std::optional<ZVCrashReporterError>* error = nullptr);

    // Before enabling only: ZVCrashReporterException once this instance is enabled.
    void setCrashCallbacks(const ZVCrashReporterCallbacks& callbacks);

    // Written into every report; a change after enabling reaches the next crash report.
    std::optional<std::vector<uint8_t>> customData() const;
    void setCustomData(std::optional<std::vector<uint8_t>> data);

    std::string crashReportPath() const { return crashReportDirectory_ + "/live_report.zvcrash"; }
    const std::string& crashReportDirectory() const { return crashReportDirectory_; }
    std::string queuedCrashReportDirectory() const { return crashReportDirectory_ + "/queued_reports"; }
    // Creates both folders (and the folders above them) when missing, mode 0755.
    bool populateCrashReportDirectory(std::optional<ZVCrashReporterError>* error = nullptr) const;

    static uint32_t mapToAsyncSymbolicationStrategy(uint64_t strategy) { return static_cast<uint32_t>(strategy & 3); }

    // The caches folder: $XDG_CACHE_HOME when it is an absolute path, else ~/.cache.
    static std::string userCachesDirectory();
    // The folder between the base folder and the application's own.
    static constexpr const char* dataDirectoryName = "app.velmo.crashreporter";

private:
    void publishCustomDataLocked();

    ZVCrashReporterConfig config_;
    bool enabled_ = false;
    std::string applicationIdentifier_;
    std::string applicationVersion_;
    std::optional<std::string> applicationMarketingVersion_;
    std::string crashReportDirectory_;

    mutable std::mutex customDataMutex_;
    std::optional<std::vector<uint8_t>> customData_;
};

}  // namespace zvcrash
