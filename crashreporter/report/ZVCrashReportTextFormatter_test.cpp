#include "crashreporter/report/ZVCrashReportTextFormatter.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>

#include "crashreporter/async/zvcrash_writer_pack.h"
#include "crashreporter/report/ZVCrashReportTesting.h"
#include "platform/base/LogCapture.h"

namespace zvcrash {
namespace {

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

std::string format(const ZVCrashReport& report) {
    return ZVCrashReportTextFormatter(ZVCrashReportTextFormat::iOS, ZVCrashReportStringEncoding::UTF8).formatReport(report);
}

ZVCrashReport reportWith(uint32_t os, std::vector<ZVCrashReportThreadInfo> threads, std::vector<ZVCrashReportBinaryImageInfo> images,
                         std::optional<ZVCrashReportMachineInfo> machine = std::nullopt) {
    return ZVCrashReport(ZVCrashReportSystemInfo(os, "1.0", ZVCRASH_ARCH_X86_64, std::nullopt), std::move(machine),
                         ZVCrashReportApplicationInfo("id", "1", std::nullopt), std::nullopt, ZVCrashReportSignalInfo("SIGSEGV", "#0", 0),
                         std::nullopt, std::move(threads), std::move(images), std::nullopt, std::nullopt, std::nullopt);
}

// No process information, a duplicate image base and five registers: the golden text holds the
// "???" lines, one line for both images on 0x400000 and a register line of four then one.
TEST(ZVCrashReportTextFormatter, FixtureReportMatchesTheGoldenText) {
    velmo::LogCapture log;
    EXPECT_EQ(readFile(VELMO_CRASH_FIXTURES "/fixture.txt"), format(testing::fixtureCrashReport()));
    // The frame at address 0 has no image and says nothing about it.
    EXPECT_TRUE(log.linesStartingWith("[ZVCrashReporter]").empty());
}

TEST(ZVCrashReportTextFormatter, FrameOutsideEveryImage) {
    velmo::LogCapture log;
    auto report = reportWith(ZVCRASH_OS_LINUX, {}, {ZVCrashReportBinaryImageInfo(std::nullopt, 0x1000, 0x100, "/lib/a.so", std::nullopt)});
    ZVCrashReportStackFrameInfo outside(0x9000, std::nullopt);
    EXPECT_EQ("3   ???                                 0x0000000000009000 0x0 + 36864\n",
              ZVCrashReportTextFormatter::formatStackFrame(outside, 3, report, true));
    EXPECT_EQ((std::vector<std::string>{"[ZVCrashReporter] Cannot find image for 0x9000"}), log.linesStartingWith("[ZVCrashReporter]"));
    ZVCrashReportStackFrameInfo inside(0x1010, std::nullopt);
    EXPECT_EQ("0   a.so                                0x00001010 0x1000 + 16\n",
              ZVCrashReportTextFormatter::formatStackFrame(inside, 0, report, false));
}

TEST(ZVCrashReportTextFormatter, SymbolPrefixByOperatingSystem) {
    ZVCrashReportStackFrameInfo frame(0x1010, ZVCrashReportSymbolInfo("_main", 0x1000, 0));
    ZVCrashReportStackFrameInfo single(0x1010, ZVCrashReportSymbolInfo("_", 0x1000, 0));
    struct Case {
        uint32_t os;
        std::string text;
        bool logs;
    } cases[] = {
        {ZVCRASH_OS_MAC_OS_X, "main + 16", false},         {ZVCRASH_OS_IPHONE_OS, "main + 16", false},
        {ZVCRASH_OS_IPHONE_SIMULATOR, "main + 16", false}, {ZVCRASH_OS_APPLE_TVOS, "main + 16", false},
        {ZVCRASH_OS_LINUX, "_main + 16", false},           {ZVCRASH_OS_UNKNOWN, "_main + 16", true},
    };
    for (const auto& c : cases) {
        velmo::LogCapture log;
        auto report = reportWith(c.os, {}, {});
        std::string line = ZVCrashReportTextFormatter::formatStackFrame(frame, 0, report, true);
        EXPECT_EQ(c.text + "\n", line.substr(line.size() - c.text.size() - 1)) << c.os;
        EXPECT_EQ(c.logs, log.contains("[ZVCrashReporter] Symbol \"_main\" prefix rules are unknown for this OS!")) << c.os;
    }
    auto apple = reportWith(ZVCRASH_OS_MAC_OS_X, {}, {});
    EXPECT_NE(std::string::npos, ZVCrashReportTextFormatter::formatStackFrame(single, 0, apple, true).find(" _ + 16\n"));
}

TEST(ZVCrashReportTextFormatter, ThirtyTwoBitReportsAndARMRegisterNames) {
    ZVCrashReportProcessorInfo armv7(ZVCRASH_TYPE_ENCODING_MACH, 12, 9);
    auto report = reportWith(
        99, {ZVCrashReportThreadInfo(0, {}, true, {ZVCrashReportRegisterInfo("r12", 0xAB), ZVCrashReportRegisterInfo("pc", 0x10)})},
        {ZVCrashReportBinaryImageInfo(armv7, 0x1000, 0, "/app/Main", std::nullopt)}, ZVCrashReportMachineInfo(std::nullopt, armv7, 1, 1));
    std::string text = format(report);
    EXPECT_NE(std::string::npos, text.find("Code Type:       ARM\n"));
    EXPECT_NE(std::string::npos, text.find("OS Version:      Unknown (99) 1.0 (?\?\?)\n"));
    EXPECT_NE(std::string::npos, text.find("Date/Time:       ???\n"));
    EXPECT_NE(std::string::npos, text.find("Thread 0 crashed with ARM Thread State:\n    ip: 0x000000ab     pc: 0x00000010 \n\n"));
    // A zero-sized image ends where it begins.
    EXPECT_NE(std::string::npos, text.find("    0x1000 -     0x1000  Main armv7  <?\?\?> /app/Main\n"));
}

TEST(ZVCrashReportTextFormatter, CodeTypeFallsBackToTheSystemProcessor) {
    auto unknownType = ZVCrashReport(ZVCrashReportSystemInfo(ZVCRASH_OS_LINUX, "1", std::nullopt, ZVCRASH_ARCH_X86_64,
                                                             ZVCrashReportProcessorInfo(1, 0x42, 0), std::nullopt),
                                     std::nullopt, ZVCrashReportApplicationInfo("id", "1", std::nullopt), std::nullopt,
                                     ZVCrashReportSignalInfo("SIGSEGV", "#0", 0), std::nullopt, {},
                                     {ZVCrashReportBinaryImageInfo(ZVCrashReportProcessorInfo(0, 7, 3), 0, 1, "x", std::nullopt)},
                                     std::nullopt, std::nullopt, std::nullopt);
    EXPECT_NE(std::string::npos, format(unknownType).find("Code Type:       Unknown (66)\n"));
    auto unknownEncoding =
        ZVCrashReport(ZVCrashReportSystemInfo(ZVCRASH_OS_LINUX, "1", std::nullopt, ZVCRASH_ARCH_X86_64, ZVCrashReportProcessorInfo(0, 7, 3),
                                              std::nullopt),
                      std::nullopt, ZVCrashReportApplicationInfo("id", "1", std::nullopt), std::nullopt,
                      ZVCrashReportSignalInfo("SIGSEGV", "#0", 0), std::nullopt, {}, {}, std::nullopt, std::nullopt, std::nullopt);
    EXPECT_NE(std::string::npos, format(unknownEncoding).find("Code Type:       Unknown\n"));
}

TEST(ZVCrashReportTextFormatter, OutputIsWellFormedUTF8) {
    auto report = reportWith(ZVCRASH_OS_LINUX, {}, {ZVCrashReportBinaryImageInfo(std::nullopt, 0, 1, "/lib/bad\xff.so", std::nullopt)});
    EXPECT_NE(std::string::npos, format(report).find("/lib/bad\xEF\xBF\xBD.so\n"));
}

// Writes the fixture files again from the fixture report; run by hand after a deliberate change
// (--gtest_also_run_disabled_tests --gtest_filter=*RegenerateFixtures).
TEST(ZVCrashReportTextFormatter, DISABLED_RegenerateFixtures) {
    auto bytes = testing::encodeCrashReport(testing::fixtureCrashReport());
    std::ofstream(VELMO_CRASH_FIXTURES "/fixture.zvcrash", std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    std::ofstream(VELMO_CRASH_FIXTURES "/fixture.txt", std::ios::binary) << format(testing::fixtureCrashReport());
    const std::string corpus = VELMO_CRASH_FIXTURES "/../fuzz/report/";
    struct Seed {
        const char* name;
        std::vector<uint8_t> bytes;
    } seeds[] = {
        {"fixture.zvcrash", bytes},
        {"full.zvcrash", testing::encodeCrashReport(testing::fullCrashReport(), true)},
        {"large.zvcrash", testing::encodeCrashReport(testing::largeCrashReport(3, 8, 4))},
    };
    for (const auto& seed : seeds) {
        std::ofstream(corpus + seed.name, std::ios::binary).write(reinterpret_cast<const char*>(seed.bytes.data()), seed.bytes.size());
    }
}

}  // namespace
}  // namespace zvcrash
