// How a crash reporter is set up: which handlers catch a crash, whether frames are named, the
// size limit of a live report and where reports are kept. Immutable.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace zvcrash {

// Which handlers catch crashes.
enum ZVCrashReporterSignalHandlerType : uint64_t {
    ZVCrashReporterSignalHandlerTypeBSD = 0,
    // A Mach exception server where there is one; on Linux the same POSIX signal handlers.
    ZVCrashReporterSignalHandlerTypeMach = 1,
};

// Bits: how report frames are given names.
enum ZVCrashReporterSymbolicationStrategy : uint64_t {
    ZVCrashReporterSymbolicationStrategyNone = 0,
    ZVCrashReporterSymbolicationStrategySymbolTable = 1 << 0,
    ZVCrashReporterSymbolicationStrategyObjC = 1 << 1,
    ZVCrashReporterSymbolicationStrategyAll = ZVCrashReporterSymbolicationStrategySymbolTable | ZVCrashReporterSymbolicationStrategyObjC,
};

class ZVCrashReporterConfig {
public:
    static constexpr uint64_t defaultMaxReportBytes = 1048576;

    // POSIX signals, no symbols, the uncaught-exception handler, 1 MiB live reports, the caches folder.
    ZVCrashReporterConfig();
    explicit ZVCrashReporterConfig(std::optional<std::string> basePath);
    explicit ZVCrashReporterConfig(const char* basePath);
    ZVCrashReporterConfig(uint64_t signalHandlerType, uint64_t symbolicationStrategy);
    ZVCrashReporterConfig(uint64_t signalHandlerType, uint64_t symbolicationStrategy, std::optional<std::string> basePath);
    // Keeps a literal path from being taken for the flag below.
    ZVCrashReporterConfig(uint64_t signalHandlerType, uint64_t symbolicationStrategy, const char* basePath);
    ZVCrashReporterConfig(uint64_t signalHandlerType, uint64_t symbolicationStrategy, bool shouldRegisterUncaughtExceptionHandler);
    ZVCrashReporterConfig(uint64_t signalHandlerType, uint64_t symbolicationStrategy, bool shouldRegisterUncaughtExceptionHandler,
                          std::optional<std::string> basePath);
    ZVCrashReporterConfig(uint64_t signalHandlerType, uint64_t symbolicationStrategy, bool shouldRegisterUncaughtExceptionHandler,
                          std::optional<std::string> basePath, uint64_t maxReportBytes);

    static ZVCrashReporterConfig defaultConfiguration() { return ZVCrashReporterConfig(); }

    uint64_t signalHandlerType() const { return signalHandlerType_; }
    uint64_t symbolicationStrategy() const { return symbolicationStrategy_; }
    bool shouldRegisterUncaughtExceptionHandler() const { return shouldRegisterUncaughtExceptionHandler_; }
    // The byte limit of a live report; a crash report is always written whole.
    uint64_t maxReportBytes() const { return maxReportBytes_; }
    // The folder the reporter's own folder goes in; none means the user's caches folder.
    const std::optional<std::string>& basePath() const { return basePath_; }

private:
    uint64_t signalHandlerType_;
    uint64_t symbolicationStrategy_;
    bool shouldRegisterUncaughtExceptionHandler_;
    uint64_t maxReportBytes_;
    std::optional<std::string> basePath_;
};

}  // namespace zvcrash
