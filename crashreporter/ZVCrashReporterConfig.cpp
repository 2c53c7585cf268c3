#include "crashreporter/ZVCrashReporterConfig.h"

namespace zvcrash {

ZVCrashReporterConfig::ZVCrashReporterConfig()
    : ZVCrashReporterConfig(ZVCrashReporterSignalHandlerTypeBSD, ZVCrashReporterSymbolicationStrategyNone) {}

ZVCrashReporterConfig::ZVCrashReporterConfig(std::optional<std::string> basePath)
    : ZVCrashReporterConfig(ZVCrashReporterSignalHandlerTypeBSD, ZVCrashReporterSymbolicationStrategyNone, true, std::move(basePath)) {}

ZVCrashReporterConfig::ZVCrashReporterConfig(const char* basePath)
    : ZVCrashReporterConfig(basePath ? std::optional<std::string>(basePath) : std::nullopt) {}

ZVCrashReporterConfig::ZVCrashReporterConfig(uint64_t signalHandlerType, uint64_t symbolicationStrategy)
    : ZVCrashReporterConfig(signalHandlerType, symbolicationStrategy, true, std::nullopt) {}

ZVCrashReporterConfig::ZVCrashReporterConfig(uint64_t signalHandlerType, uint64_t symbolicationStrategy,
                                             std::optional<std::string> basePath)
    : ZVCrashReporterConfig(signalHandlerType, symbolicationStrategy, true, std::move(basePath)) {}

ZVCrashReporterConfig::ZVCrashReporterConfig(uint64_t signalHandlerType, uint64_t symbolicationStrategy, const char* basePath)
    : ZVCrashReporterConfig(signalHandlerType, symbolicationStrategy, true,
                            basePath ? std::optional<std::string>(basePath) : std::nullopt) {}

ZVCrashReporterConfig::ZVCrashReporterConfig(uint64_t signalHandlerType, uint64_t symbolicationStrategy,
                                             bool shouldRegisterUncaughtExceptionHandler)
    : ZVCrashReporterConfig(signalHandlerType, symbolicationStrategy, shouldRegisterUncaughtExceptionHandler, std::nullopt) {}

ZVCrashReporterConfig::ZVCrashReporterConfig(uint64_t signalHandlerType, uint64_t symbolicationStrategy,
                                             bool shouldRegisterUncaughtExceptionHandler, std::optional<std::string> basePath)
    : ZVCrashReporterConfig(signalHandlerType, symbolicationStrategy, shouldRegisterUncaughtExceptionHandler, std::move(basePath),
                            defaultMaxReportBytes) {}

ZVCrashReporterConfig::ZVCrashReporterConfig(uint64_t signalHandlerType, uint64_t symbolicationStrategy,
                                             bool shouldRegisterUncaughtExceptionHandler, std::optional<std::string> basePath,
                                             uint64_t maxReportBytes)
    : signalHandlerType_(signalHandlerType),
      symbolicationStrategy_(symbolicationStrategy),
      shouldRegisterUncaughtExceptionHandler_(shouldRegisterUncaughtExceptionHandler),
      maxReportBytes_(maxReportBytes),
      basePath_(std::move(basePath)) {}

}  // namespace zvcrash
