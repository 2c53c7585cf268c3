#include <gtest/gtest.h>

#include "RideZav/exceptions/RideZavCrashReportConversion.h"
#include "RideZav/integrations/RideZavErrorTrackingConfig.h"
#include "crashreporter/report/ZVCrashReport.h"

using namespace ridezav;
using namespace zvcrash;

namespace {

const ZVCrashReportProcessorInfo kX86_64(1, 0x1000007, 3);

ZVCrashReportStackFrameInfo frame(uint64_t pc) { return ZVCrashReportStackFrameInfo(pc, std::nullopt); }
ZVCrashReportStackFrameInfo frame(uint64_t pc, const char* symbol, uint64_t start) {
    return ZVCrashReportStackFrameInfo(pc, ZVCrashReportSymbolInfo(symbol, start, 0));
}

std::vector<uint8_t> uuidBytes(uint8_t first) {
    std::vector<uint8_t> bytes(16);
    for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>(first + i);
    return bytes;
}

ZVCrashReport makeReport(std::vector<ZVCrashReportThreadInfo> threads, std::vector<ZVCrashReportBinaryImageInfo> images,
                         std::optional<ZVCrashReportExceptionInfo> exception = std::nullopt,
                         ZVCrashReportSignalInfo signal = ZVCrashReportSignalInfo("SIGSEGV", "SEGV_MAPERR", 0x10)) {
    return ZVCrashReport(ZVCrashReportSystemInfo(5, "6.1.0", 1, std::nullopt), std::nullopt,
                         ZVCrashReportApplicationInfo("com.velmo.Velmo", "42", std::nullopt), std::nullopt, std::move(signal), std::nullopt,
                         std::move(threads), std::move(images), std::move(exception), std::nullopt, std::nullopt);
}

// Velmo at 0x400000, libc at 0x7f0000000000, a nameless image at 0x500000, an unused one at 0x600000.
std::vector<ZVCrashReportBinaryImageInfo> standardImages() {
    return {ZVCrashReportBinaryImageInfo(kX86_64, 0x400000, 0x10000, "/opt/velmo/bin/Velmo", uuidBytes(0xA0)),
            ZVCrashReportBinaryImageInfo(kX86_64, 0x7f0000000000, 0x200000, "/usr/lib/x86_64-linux-gnu/libc.so.6", std::nullopt),
            ZVCrashReportBinaryImageInfo(kX86_64, 0x500000, 0x1000, "", uuidBytes(0x10)),
            ZVCrashReportBinaryImageInfo(kX86_64, 0x600000, 0x1000, "/usr/lib/libunused.so", uuidBytes(0x20))};
}

RideZavErrorTrackingConfig configWith(std::vector<std::string> includes, std::vector<std::string> excludes = {}, bool byDefault = true) {
    RideZavErrorTrackingConfig config;
    config.inAppIncludes = std::move(includes);
    config.inAppExcludes = std::move(excludes);
    config.inAppByDefault = byDefault;
    return config;
}

}  // namespace

TEST(RideZavCrashReportConversion, ASignalCrashGivesTheCrashedThreadsFramesTheSignalAndTheImagesTheyPointInto) {
    const auto report =
        makeReport({ZVCrashReportThreadInfo(0, {frame(0x7f0000001010, "futex_wait", 0x7f0000001000)}, false, {}),
                    ZVCrashReportThreadInfo(
                        7, {frame(0x401234, "crash_here", 0x401200), frame(0x7f0000002040), frame(0x500010), frame(0x900000)}, true, {})},
                   standardImages());
    const auto properties = exceptionProperties(report, configWith({"Velmo"}));

    const Object crashFrame{
        {"instruction_addr", "0x401234"}, {"platform", "apple"},      {"in_app", true},           {"module", "Velmo"}, {"package", "Velmo"},
        {"image_addr", "0x400000"},       {"function", "crash_here"}, {"symbol_addr", "0x401200"}};
    const Object libcFrame{
        {"instruction_addr", "0x7f0000002040"}, {"platform", "apple"}, {"in_app", true}, {"module", "libc.so.6"}, {"package", "libc.so.6"},
        {"image_addr", "0x7f0000000000"}};
    // An image without a name places the frame but gives it no module.
    const Object namelessFrame{{"instruction_addr", "0x500010"}, {"platform", "apple"}, {"in_app", false}, {"image_addr", "0x500000"}};
    // Outside every image: no module, package or image address, and never in-app.
    const Object strayFrame{{"instruction_addr", "0x900000"}, {"platform", "apple"}, {"in_app", false}};
    const Object expected{
        {"$exception_level", "fatal"},
        {"$exception_list",
         Array{Object{{"type", "SIGSEGV"},
                      {"value", "SIGSEGV (code SEGV_MAPERR) at address 0x10"},
                      {"mechanism", Object{{"type", "signal"},
                                           {"handled", false},
                                           {"synthetic", false},
                                           {"meta", Object{{"signal", Object{{"code", "SEGV_MAPERR"}, {"name", "SIGSEGV"}}}}}}},
                      {"stacktrace", Object{{"frames", Array{crashFrame, libcFrame, namelessFrame, strayFrame}}, {"type", "raw"}}},
                      {"thread_id", 7}}}},
        {"$debug_images", Array{Object{{"type", "macho"},
                                       {"code_file", "/opt/velmo/bin/Velmo"},
                                       {"image_addr", "0x400000"},
                                       {"image_size", std::uint64_t{0x10000}},
                                       {"debug_id", "A0A1A2A3-A4A5-A6A7-A8A9-AAABACADAEAF"},
                                       {"arch", "x86_64"}},
                                Object{{"type", "macho"},
                                       {"code_file", "/usr/lib/x86_64-linux-gnu/libc.so.6"},
                                       {"image_addr", "0x7f0000000000"},
                                       {"image_size", std::uint64_t{0x200000}},
                                       {"arch", "x86_64"}}}}};
    EXPECT_EQ(properties, expected);
}

TEST(RideZavCrashReportConversion, AnUncaughtExceptionGivesItsOwnTypeValueAndFramesWhenItHasThem) {
    const auto report =
        makeReport({ZVCrashReportThreadInfo(3, {frame(0x7f0000002040)}, true, {})}, standardImages(),
                   ZVCrashReportExceptionInfo("std::runtime_error", "boom", std::vector{frame(0x401500, "throw_it", 0x4014f0)}),
                   ZVCrashReportSignalInfo("SIGABRT", "#0", 0));
    const auto properties = exceptionProperties(report, configWith({"Velmo"}));
    const Object& exception = *properties.find("$exception_list")->get<Array>()->front().get<Object>();
    EXPECT_EQ(*exception.find("type"), Value("std::runtime_error"));
    EXPECT_EQ(*exception.find("value"), Value("boom"));
    EXPECT_EQ(*exception.find("mechanism"), Value(Object{{"type", "nsexception"}, {"handled", false}, {"synthetic", false}}));
    EXPECT_EQ(*exception.find("thread_id"), Value(3));
    const Array& frames = *exception.find("stacktrace")->get<Object>()->find("frames")->get<Array>();
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(*frames[0].get<Object>()->find("function"), Value("throw_it"));
    // Only the image the exception's frames point into.
    const Array& images = *properties.find("$debug_images")->get<Array>();
    ASSERT_EQ(images.size(), 1u);
    EXPECT_EQ(*images[0].get<Object>()->find("code_file"), Value("/opt/velmo/bin/Velmo"));
}

TEST(RideZavCrashReportConversion, AnExceptionWithoutFramesTakesTheCrashedThreadsFramesButKeepsItsTypeAndValue) {
    for (auto exceptionFrames : {std::optional<std::vector<ZVCrashReportStackFrameInfo>>(),
                                 std::optional<std::vector<ZVCrashReportStackFrameInfo>>(std::vector<ZVCrashReportStackFrameInfo>{})}) {
        const auto report = makeReport(
            {ZVCrashReportThreadInfo(0, {frame(0x7f0000001000)}, false, {}), ZVCrashReportThreadInfo(1, {frame(0x401234)}, false, {})},
            standardImages(), ZVCrashReportExceptionInfo("std::logic_error", "bad", exceptionFrames));
        const auto properties = exceptionProperties(report, configWith({"Velmo"}));
        const Object& exception = *properties.find("$exception_list")->get<Array>()->front().get<Object>();
        EXPECT_EQ(*exception.find("type"), Value("std::logic_error"));
        EXPECT_EQ(*exception.find("value"), Value("bad"));
        // No thread is marked: the first one stands for the crashed thread.
        EXPECT_EQ(*exception.find("thread_id"), Value(0));
        const Array& frames = *exception.find("stacktrace")->get<Object>()->find("frames")->get<Array>();
        ASSERT_EQ(frames.size(), 1u);
        EXPECT_EQ(*frames[0].get<Object>()->find("instruction_addr"), Value("0x7f0000001000"));
    }
}

TEST(RideZavCrashReportConversion, AReportWithoutThreadsHasNoThreadIdStacktraceOrImages) {
    const auto report = makeReport({}, standardImages(), std::nullopt, ZVCrashReportSignalInfo("SIGBUS", "", 4096));
    const auto properties = exceptionProperties(report, configWith({"Velmo"}));
    EXPECT_EQ(
        properties,
        (Object{{"$exception_level", "fatal"},
                {"$exception_list", Array{Object{{"type", "SIGBUS"},
                                                 {"value", "SIGBUS (code ) at address 0x1000"},
                                                 {"mechanism", Object{{"type", "signal"},
                                                                      {"handled", false},
                                                                      {"synthetic", false},
                                                                      {"meta", Object{{"signal", Object{{"name", "SIGBUS"}}}}}}}}}}}));
}

TEST(RideZavCrashReportConversion, FramesAreInAppByIncludeByExcludeAndByDefault) {
    const auto report =
        makeReport({ZVCrashReportThreadInfo(0, {frame(0x401000), frame(0x7f0000001000), frame(0x600010)}, true, {})}, standardImages());
    struct Case {
        const char* what;
        RideZavErrorTrackingConfig config;
        std::vector<bool> expected;  // Velmo, libc.so.6, libunused.so
    } cases[] = {
        // The application's own executable is in-app through the default's second include entry.
        {"default", configWith({"com.velmo.Velmo", "Velmo"}), {true, true, true}},
        {"by include", configWith({"libc"}, {}, false), {false, true, false}},
        {"by exclude", configWith({"Velmo"}, {"libc", "libunused"}), {true, false, false}},
        {"include before exclude", configWith({"lib"}, {"libc"}), {true, true, true}},
        {"by default off", configWith({"Velmo"}, {}, false), {true, false, false}},
    };
    for (const auto& c : cases) {
        const auto frames = crashReportFrames(report, c.config);
        ASSERT_EQ(frames.size(), 3u);
        for (size_t i = 0; i < frames.size(); ++i) EXPECT_EQ(frames[i].inApp, c.expected[i]) << c.what << " frame " << i;
    }
}

TEST(RideZavCrashReportConversion, ImageUUIDsAreNormalisedAndTheArchitectureComesFromTheCodeType) {
    struct Case {
        std::optional<ZVCrashReportProcessorInfo> codeType;
        std::optional<std::vector<uint8_t>> uuid;
        std::optional<std::string> arch;
        std::optional<std::string> debugId;
    } cases[] = {
        {ZVCrashReportProcessorInfo(1, 12, 9), uuidBytes(0x00), "armv7", "00010203-0405-0607-0809-0A0B0C0D0E0F"},
        {ZVCrashReportProcessorInfo(1, 12, 11), std::nullopt, "armv7s", std::nullopt},
        {ZVCrashReportProcessorInfo(1, 12, 6), std::vector<uint8_t>{0xAB, 0xCD, 0xEF}, "arm", "abcdef"},  // not 32 digits: as given
        {ZVCrashReportProcessorInfo(1, 0x1000007, 3), uuidBytes(0xF0), "x86_64", "F0F1F2F3-F4F5-F6F7-F8F9-FAFBFCFDFEFF"},
        {ZVCrashReportProcessorInfo(1, 0x100000C, 0), std::nullopt, "arm64", std::nullopt},
        {ZVCrashReportProcessorInfo(1, 7, 3), std::nullopt, std::nullopt, std::nullopt},
        {std::nullopt, std::nullopt, std::nullopt, std::nullopt},
    };
    for (const auto& c : cases) {
        const auto report = makeReport({ZVCrashReportThreadInfo(0, {frame(0x1010)}, true, {})},
                                       {ZVCrashReportBinaryImageInfo(c.codeType, 0x1000, 0x100, "/lib/libimage.so", c.uuid)});
        const auto properties = exceptionProperties(report, configWith({}));
        const Array& images = *properties.find("$debug_images")->get<Array>();
        ASSERT_EQ(images.size(), 1u);
        const Object& image = *images[0].get<Object>();
        const auto text = [&](const char* key) -> std::optional<std::string> {
            const Value* value = image.find(key);
            return value ? value->asString() : std::nullopt;
        };
        EXPECT_EQ(text("arch"), c.arch) << c.arch.value_or("<none>");
        EXPECT_EQ(text("debug_id"), c.debugId) << c.arch.value_or("<none>");
        EXPECT_TRUE(image.find("image_size")->isNumber());
        EXPECT_FALSE(image.contains("image_vmaddr"));
    }
}
