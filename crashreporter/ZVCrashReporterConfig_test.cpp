#include "crashreporter/ZVCrashReporterConfig.h"

#include <gtest/gtest.h>

namespace zvcrash {
namespace {

struct Expected {
    uint64_t type;
    uint64_t strategy;
    bool registerHandler;
    std::optional<std::string> basePath;
    uint64_t maxReportBytes;
};

void expectConfig(const ZVCrashReporterConfig& config, const Expected& expected, const char* name) {
    EXPECT_EQ(config.signalHandlerType(), expected.type) << name;
    EXPECT_EQ(config.symbolicationStrategy(), expected.strategy) << name;
    EXPECT_EQ(config.shouldRegisterUncaughtExceptionHandler(), expected.registerHandler) << name;
    EXPECT_EQ(config.basePath(), expected.basePath) << name;
    EXPECT_EQ(config.maxReportBytes(), expected.maxReportBytes) << name;
}

TEST(ZVCrashReporterConfigTest, EachInitialiserFillsTheDefaultsItIsNotGiven) {
    const std::string path = "/var/reports";
    expectConfig(ZVCrashReporterConfig(), {0, 0, true, std::nullopt, 0x100000}, "init");
    expectConfig(ZVCrashReporterConfig::defaultConfiguration(), {0, 0, true, std::nullopt, 0x100000}, "defaultConfiguration");
    expectConfig(ZVCrashReporterConfig(path), {0, 0, true, path, 0x100000}, "basePath");
    expectConfig(ZVCrashReporterConfig("/var/reports"), {0, 0, true, path, 0x100000}, "basePath literal");
    expectConfig(ZVCrashReporterConfig(1, 3), {1, 3, true, std::nullopt, 0x100000}, "type, strategy");
    expectConfig(ZVCrashReporterConfig(1, 2, path), {1, 2, true, path, 0x100000}, "type, strategy, basePath");
    // A literal path is a path, not the handler flag.
    expectConfig(ZVCrashReporterConfig(1, 2, "/var/reports"), {1, 2, true, path, 0x100000}, "type, strategy, literal basePath");
    expectConfig(ZVCrashReporterConfig(0, 1, false), {0, 1, false, std::nullopt, 0x100000}, "type, strategy, handler");
    expectConfig(ZVCrashReporterConfig(0, 1, false, path), {0, 1, false, path, 0x100000}, "type, strategy, handler, basePath");
    expectConfig(ZVCrashReporterConfig(1, 3, false, std::nullopt, 4096), {1, 3, false, std::nullopt, 4096}, "designated");
}

}  // namespace
}  // namespace zvcrash
