#include "crashreporter/report/ZVCrashReport.h"

#include <gtest/gtest.h>

#include <fstream>
#include <functional>
#include <iterator>
#include <string>

#include "crashreporter/async/zvcrash_writer_pack.h"
#include "crashreporter/report/ZVCrashReportExtraction.h"
#include "crashreporter/report/ZVCrashReportTesting.h"
#include "crashreporter/report/zvcrash.pb-c.h"

namespace zvcrash {
namespace {

using Bytes = std::vector<uint8_t>;

std::optional<ZVCrashReport> read(const Bytes& bytes, std::string* error = nullptr) {
    std::optional<velmo::Error> failure;
    auto report = ZVCrashReport::fromData(bytes, &failure);
    if (error != nullptr) *error = failure ? failure->message() : "";
    if (report) {
        EXPECT_FALSE(failure);
    } else {
        EXPECT_TRUE(failure);
        if (failure) {
            EXPECT_EQ(ZVCrashReporterErrorDomain, failure->domain());
            EXPECT_EQ(2, failure->code());
        }
    }
    return report;
}

Bytes withHeader(const Bytes& body) {
    Bytes file = {'z', 'v', 'c', 'r', 'a', 's', 'h', 1};
    file.insert(file.end(), body.begin(), body.end());
    return file;
}

Bytes packed(const Zvcrash__CrashReport& message) {
    Bytes body(zvcrash__crash_report__get_packed_size(&message));
    zvcrash__crash_report__pack(&message, body.data());
    return body;
}

// The top-level field numbers of a report body, in file order.
std::vector<uint32_t> topLevelFields(const Bytes& file) {
    std::vector<uint32_t> fields;
    size_t i = ZVCRASH_REPORT_FILE_HEADER_LENGTH;
    auto varint = [&] {
        uint64_t value = 0;
        for (int shift = 0; i < file.size(); shift += 7) {
            uint8_t byte = file[i++];
            value |= static_cast<uint64_t>(byte & 0x7f) << shift;
            if ((byte & 0x80) == 0) break;
        }
        return value;
    };
    while (i < file.size()) {
        uint64_t tag = varint();
        fields.push_back(static_cast<uint32_t>(tag >> 3));
        EXPECT_EQ(ZVCRASH_WRITER_WIRE_LENGTH_DELIMITED, tag & 7);
        i += varint();
    }
    return fields;
}

TEST(ZVCrashReport, EncoderOutputReadsBackIntoTheSameValues) {
    const ZVCrashReport report = testing::fullCrashReport();
    auto decoded = read(testing::encodeCrashReport(report));
    ASSERT_TRUE(decoded);
    EXPECT_EQ(report, *decoded);
    EXPECT_EQ("E621E1F8-C36C-492A-93FC-0C247A3E6E5F", decoded->uuidRef()->uuidString());
    EXPECT_EQ("01ab02030405060708090a0b0c0d0e0f", decoded->images()[0].imageUUID());
    EXPECT_TRUE(decoded->hasMachineInfo());
    EXPECT_TRUE(decoded->hasProcessInfo());
    EXPECT_TRUE(decoded->hasExceptionInfo());
}

// The same report filled in through protobuf-c's own structures.
struct FilledReport {
    uint8_t uuid[16] = {0xE6, 0x21, 0xE1, 0xF8, 0xC3, 0x6C, 0x49, 0x2A, 0x93, 0xFC, 0x0C, 0x24, 0x7A, 0x3E, 0x6E, 0x5F};
    uint8_t imageUuid[16] = {0x01, 0xAB, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15};
    uint8_t custom[4] = {'{', '}', 0, 0xFF};
    uint64_t codes[3] = {2, 0x10, UINT64_MAX};
    Zvcrash__CrashReport message;
    Zvcrash__CrashReport__ReportInfo reportInfo;
    Zvcrash__CrashReport__SystemInfo systemInfo;
    Zvcrash__CrashReport__MachineInfo machineInfo;
    Zvcrash__CrashReport__Processor processor, imageProcessor[2];
    Zvcrash__CrashReport__ApplicationInfo applicationInfo;
    Zvcrash__CrashReport__ProcessInfo processInfo;
    Zvcrash__CrashReport__Thread thread[2];
    Zvcrash__CrashReport__Thread* threads[2];
    Zvcrash__CrashReport__Thread__StackFrame frame[4];
    Zvcrash__CrashReport__Thread__StackFrame* frames0[2];
    Zvcrash__CrashReport__Thread__StackFrame* frames1[1];
    Zvcrash__CrashReport__Thread__StackFrame* exceptionFrames[1];
    Zvcrash__CrashReport__Symbol symbol[3];
    Zvcrash__CrashReport__Thread__RegisterValue reg[2];
    Zvcrash__CrashReport__Thread__RegisterValue* registers[2];
    Zvcrash__CrashReport__BinaryImage image[2];
    Zvcrash__CrashReport__BinaryImage* images[2];
    Zvcrash__CrashReport__Exception exception;
    Zvcrash__CrashReport__Signal signal;
    Zvcrash__CrashReport__Signal__MachException mach;

    FilledReport() {
        zvcrash__crash_report__init(&message);
        zvcrash__crash_report__report_info__init(&reportInfo);
        reportInfo.user_requested = false;
        reportInfo.has_uuid = true;
        reportInfo.uuid = {16, uuid};
        message.report_info = &reportInfo;

        zvcrash__crash_report__system_info__init(&systemInfo);
        systemInfo.has_operating_system = true;
        systemInfo.operating_system = ZVCRASH__CRASH_REPORT__SYSTEM_INFO__OPERATING_SYSTEM__LINUX;
        systemInfo.os_version = const_cast<char*>("6.1.0");
        systemInfo.os_build = const_cast<char*>("#1 SMP PREEMPT_DYNAMIC Debian 6.1.55-1");
        systemInfo.architecture = ZVCRASH__ARCHITECTURE__X86_64;
        systemInfo.timestamp = 1765400000;
        message.system_info = &systemInfo;

        auto x86_64 = [](Zvcrash__CrashReport__Processor& p) {
            zvcrash__crash_report__processor__init(&p);
            p.has_encoding = true;
            p.encoding = ZVCRASH__CRASH_REPORT__PROCESSOR__TYPE_ENCODING__TYPE_ENCODING_MACH;
            p.type = 0x1000007;
            p.subtype = 3;
        };
        x86_64(processor);
        zvcrash__crash_report__machine_info__init(&machineInfo);
        machineInfo.model = const_cast<char*>("Standard PC (Q35 + ICH9, 2009)");
        machineInfo.processor = &processor;
        machineInfo.processor_count = 4;
        machineInfo.logical_processor_count = 8;
        message.machine_info = &machineInfo;

        zvcrash__crash_report__application_info__init(&applicationInfo);
        applicationInfo.identifier = const_cast<char*>("com.velmo.Velmo");
        applicationInfo.version = const_cast<char*>("42");
        applicationInfo.marketing_version = const_cast<char*>("1.0.0");
        message.application_info = &applicationInfo;

        zvcrash__crash_report__process_info__init(&processInfo);
        processInfo.process_name = const_cast<char*>("Velmo");
        processInfo.process_id = 4242;
        processInfo.process_path = const_cast<char*>("/opt/velmo/bin/Velmo");
        processInfo.parent_process_name = const_cast<char*>("systemd");
        processInfo.parent_process_id = 1;
        processInfo.native = true;
        processInfo.has_start_time = true;
        processInfo.start_time = 1765399000;
        message.process_info = &processInfo;

        for (auto& s : symbol) zvcrash__crash_report__symbol__init(&s);
        for (auto& f : frame) zvcrash__crash_report__thread__stack_frame__init(&f);
        symbol[0].name = const_cast<char*>("crash_here");
        symbol[0].start_address = 0x401200;
        frame[0].pc = 0x401234;
        frame[0].symbol = &symbol[0];
        frame[1].pc = 0x401500;
        symbol[1].name = const_cast<char*>("futex_wait");
        symbol[1].start_address = 0x7f0000000ff0;
        frame[2].pc = 0x7f0000001000;
        frame[2].symbol = &symbol[1];
        symbol[2].name = const_cast<char*>("throw_it");
        symbol[2].start_address = 0x4014f0;
        frame[3].pc = 0x401500;
        frame[3].symbol = &symbol[2];

        for (auto& r : reg) zvcrash__crash_report__thread__register_value__init(&r);
        reg[0].name = const_cast<char*>("rip");
        reg[0].value = 0x401234;
        reg[1].name = const_cast<char*>("rsp");
        reg[1].value = 0x7ffc0000;
        registers[0] = &reg[0];
        registers[1] = &reg[1];

        for (auto& t : thread) zvcrash__crash_report__thread__init(&t);
        frames0[0] = &frame[0];
        frames0[1] = &frame[1];
        thread[0].thread_number = 0;
        thread[0].crashed = true;
        thread[0].n_frames = 2;
        thread[0].frames = frames0;
        thread[0].n_registers = 2;
        thread[0].registers = registers;
        frames1[0] = &frame[2];
        thread[1].thread_number = 1;
        thread[1].n_frames = 1;
        thread[1].frames = frames1;
        threads[0] = &thread[0];
        threads[1] = &thread[1];
        message.n_threads = 2;
        message.threads = threads;

        const char* names[2] = {"/opt/velmo/bin/Velmo", "/usr/lib/x86_64-linux-gnu/libc.so.6"};
        const uint64_t bases[2] = {0x400000, 0x7f0000000000};
        const uint64_t sizes[2] = {0x10000, 0x200000};
        for (int i = 0; i < 2; ++i) {
            zvcrash__crash_report__binary_image__init(&image[i]);
            x86_64(imageProcessor[i]);
            image[i].base_address = bases[i];
            image[i].size = sizes[i];
            image[i].name = const_cast<char*>(names[i]);
            image[i].has_uuid = true;
            image[i].uuid = {16, imageUuid};
            image[i].code_type = &imageProcessor[i];
            images[i] = &image[i];
        }
        message.n_binary_images = 2;
        message.binary_images = images;

        zvcrash__crash_report__exception__init(&exception);
        exception.name = const_cast<char*>("std::runtime_error");
        exception.reason = const_cast<char*>("no microphone");
        exceptionFrames[0] = &frame[3];
        exception.n_frames = 1;
        exception.frames = exceptionFrames;
        message.exception = &exception;

        zvcrash__crash_report__signal__init(&signal);
        signal.name = const_cast<char*>("SIGSEGV");
        signal.code = const_cast<char*>("SEGV_MAPERR");
        signal.address = 0x10;
        zvcrash__crash_report__signal__mach_exception__init(&mach);
        mach.type = 1;
        mach.n_codes = 3;
        mach.codes = codes;
        signal.mach_exception = &mach;
        message.signal = &signal;

        message.has_custom_data = true;
        message.custom_data = {4, custom};
    }
};

TEST(ZVCrashReport, EncoderAgreesWithProtobufC) {
    const Bytes file = testing::encodeCrashReport(testing::fullCrashReport());
    auto* unpacked = zvcrash__crash_report__unpack(nullptr, file.size() - 8, file.data() + 8);
    ASSERT_NE(nullptr, unpacked);
    FilledReport filled;
    // protobuf-c packs in field-number order, so equal messages pack to equal bytes.
    EXPECT_EQ(packed(filled.message), packed(*unpacked));
    zvcrash__crash_report__free_unpacked(unpacked, nullptr);
    EXPECT_EQ((std::vector<uint32_t>{9, 1, 8, 2, 7, 3, 3, 4, 4, 5, 6, 10}), topLevelFields(file));
    // And what protobuf-c writes reads back into the same report.
    auto fromProtobufC = read(withHeader(packed(filled.message)));
    ASSERT_TRUE(fromProtobufC);
    EXPECT_EQ(testing::fullCrashReport(), *fromProtobufC);
}

// The smallest message the reader accepts: every required field, one thread, one image.
struct MinimalReport {
    Zvcrash__CrashReport message;
    Zvcrash__CrashReport__SystemInfo systemInfo;
    Zvcrash__CrashReport__ApplicationInfo applicationInfo;
    Zvcrash__CrashReport__Signal signal;
    Zvcrash__CrashReport__Thread thread;
    Zvcrash__CrashReport__Thread* threads[1] = {&thread};
    Zvcrash__CrashReport__BinaryImage image;
    Zvcrash__CrashReport__BinaryImage* images[1] = {&image};
    // Parts the cases add.
    Zvcrash__CrashReport__ReportInfo reportInfo;
    Zvcrash__CrashReport__MachineInfo machineInfo;
    Zvcrash__CrashReport__Signal__MachException mach;
    std::vector<uint64_t> codes;
    Zvcrash__CrashReport__Thread__StackFrame* nullFrame[1] = {nullptr};
    Zvcrash__CrashReport__Thread__RegisterValue reg;
    Zvcrash__CrashReport__Thread__RegisterValue* registers[1] = {&reg};
    Zvcrash__CrashReport__Exception exception;
    uint8_t shortUuid[15] = {};

    MinimalReport() {
        zvcrash__crash_report__init(&message);
        zvcrash__crash_report__system_info__init(&systemInfo);
        systemInfo.os_version = const_cast<char*>("");
        systemInfo.architecture = ZVCRASH__ARCHITECTURE__X86_64;
        message.system_info = &systemInfo;
        zvcrash__crash_report__application_info__init(&applicationInfo);
        applicationInfo.identifier = const_cast<char*>("");
        applicationInfo.version = const_cast<char*>("");
        message.application_info = &applicationInfo;
        zvcrash__crash_report__signal__init(&signal);
        signal.name = const_cast<char*>("");
        signal.code = const_cast<char*>("");
        message.signal = &signal;
        zvcrash__crash_report__thread__init(&thread);
        message.n_threads = 1;
        message.threads = threads;
        zvcrash__crash_report__binary_image__init(&image);
        image.name = const_cast<char*>("");
        message.n_binary_images = 1;
        message.binary_images = images;
        zvcrash__crash_report__report_info__init(&reportInfo);
        zvcrash__crash_report__machine_info__init(&machineInfo);
        zvcrash__crash_report__signal__mach_exception__init(&mach);
        zvcrash__crash_report__thread__register_value__init(&reg);
        zvcrash__crash_report__exception__init(&exception);
        exception.name = const_cast<char*>("");
        exception.reason = const_cast<char*>("");
    }
};

std::string extractionError(const std::function<void()>& step) {
    try {
        step();
    } catch (const extraction::ZVCrashReportExtractionError& e) {
        return e.what();
    }
    return "";
}

Bytes file(std::initializer_list<uint8_t> bytes) { return Bytes(bytes); }

TEST(ZVCrashReport, EveryErrorTextWithTheSmallestInputThatGivesIt) {
    using Mutation = std::function<void(MinimalReport&)>;
    // The reader's answer to a mutated minimal message, packed into a file.
    auto asFile = [](const Mutation& mutate) {
        return [mutate] {
            MinimalReport minimal;
            mutate(minimal);
            std::string error;
            read(withHeader(packed(minimal.message)), &error);
            return error;
        };
    };
    // protobuf-c refuses to unpack a message without its required fields, so these checks can
    // only be reached with a message built in memory.
    auto asMessage = [](const Mutation& mutate) {
        return [mutate] {
            MinimalReport minimal;
            mutate(minimal);
            return extractionError([&] { extraction::extractReport(minimal.message); });
        };
    };
    auto asBytes = [](Bytes bytes) {
        return [bytes] {
            std::string error;
            read(bytes, &error);
            return error;
        };
    };
    // Steps only ever given a section that is present.
    auto asStep = [](std::function<void()> step) { return [step] { return extractionError(step); }; };

    struct Case {
        std::string text;
        std::function<std::string()> error;
    } cases[] = {
        {"Could not decode truncated crash log", asBytes(file({'z', 'v', 'c', 'r', 'a', 's', 'h', 1}))},
        {"Could not decode invalid crash log header", asBytes(file({'z', 'v', 'c', 'r', 'a', 's', 'H', 1, 0}))},
        {"Could not decode unsupported crash report version: 2", asBytes(file({'z', 'v', 'c', 'r', 'a', 's', 'h', 2, 0}))},
        {"Could not decode crash report with size of 1 bytes.", asBytes(file({'z', 'v', 'c', 'r', 'a', 's', 'h', 1, 0}))},
        {"Report UUID value is not a standard 16 bytes", asFile([](MinimalReport& m) {
             m.reportInfo.has_uuid = true;
             m.reportInfo.uuid = {15, m.shortUuid};
             m.message.report_info = &m.reportInfo;
         })},
        {"Crash report has an unknown architecture",
         asFile([](MinimalReport& m) { m.systemInfo.architecture = ZVCRASH__ARCHITECTURE__ARCHITECTURE_UNKNOWN; })},
        {"Crash report includes too many Mach Exception codes", asFile([](MinimalReport& m) {
             m.codes.assign(256, 0);
             m.mach.n_codes = m.codes.size();
             m.mach.codes = m.codes.data();
             m.signal.mach_exception = &m.mach;
         })},
        {"Crash report is missing thread state information", asFile([](MinimalReport& m) { m.message.n_threads = 0; })},
        {"Crash report is missing binary image information", asFile([](MinimalReport& m) { m.message.n_binary_images = 0; })},
        {"Crash report is missing System Information section", asMessage([](MinimalReport& m) { m.message.system_info = nullptr; })},
        {"Crash report is missing System Information OS version field",
         asMessage([](MinimalReport& m) { m.systemInfo.os_version = nullptr; })},
        {"Crash report is missing processor info section", asMessage([](MinimalReport& m) { m.message.machine_info = &m.machineInfo; })},
        {"Crash report is missing Application Information section",
         asMessage([](MinimalReport& m) { m.message.application_info = nullptr; })},
        {"Crash report is missing Application Information app identifier field",
         asMessage([](MinimalReport& m) { m.applicationInfo.identifier = nullptr; })},
        {"Crash report is missing Application Information app version field",
         asMessage([](MinimalReport& m) { m.applicationInfo.version = nullptr; })},
        {"Crash report is missing Signal Information section", asMessage([](MinimalReport& m) { m.message.signal = nullptr; })},
        {"Crash report is missing signal name field", asMessage([](MinimalReport& m) { m.signal.name = nullptr; })},
        {"Crash report is missing signal code field", asMessage([](MinimalReport& m) { m.signal.code = nullptr; })},
        {"Missing register name in register value", asMessage([](MinimalReport& m) {
             m.thread.n_registers = 1;
             m.thread.registers = m.registers;
         })},
        {"Crash report is missing stack frame information", asMessage([](MinimalReport& m) {
             m.thread.n_frames = 1;
             m.thread.frames = m.nullFrame;
         })},
        {"Missing image name in image record", asMessage([](MinimalReport& m) { m.image.name = nullptr; })},
        {"Crash report is missing exception name field", asMessage([](MinimalReport& m) {
             m.exception.name = nullptr;
             m.message.exception = &m.exception;
         })},
        {"Crash report is missing exception reason field", asMessage([](MinimalReport& m) {
             m.exception.reason = nullptr;
             m.message.exception = &m.exception;
         })},
        {"Crash report is missing Machine Information section", asStep([] { extraction::extractMachineInfo(nullptr); })},
        {"Crash report is missing Process Information section", asStep([] { extraction::extractProcessInfo(nullptr); })},
        {"Crash report is missing Mach Exception Information section", asStep([] { extraction::extractMachExceptionInfo(nullptr); })},
        {"Crash report is missing symbol information", asStep([] { extraction::extractSymbolInfo(nullptr); })},
        {"Crash report is missing Exception Information section", asStep([] { extraction::extractExceptionInfo(nullptr, ~0ULL); })},
    };
    for (const auto& c : cases) EXPECT_EQ(c.text, c.error()) << c.text;
}

TEST(ZVCrashReport, MinimalReportTakesItsProcessorFromTheArchitecture) {
    MinimalReport minimal;
    auto report = read(withHeader(packed(minimal.message)));
    ASSERT_TRUE(report);
    EXPECT_EQ(ZVCrashReportProcessorInfo(1, 0x1000007, 3), report->systemInfo().processorInfo());
    EXPECT_FALSE(report->systemInfo().timestamp());
    EXPECT_FALSE(report->hasMachineInfo());
    EXPECT_FALSE(report->hasProcessInfo());
    EXPECT_FALSE(report->hasExceptionInfo());
    EXPECT_FALSE(report->uuidRef());
    EXPECT_FALSE(report->customData());
    EXPECT_FALSE(report->images()[0].hasImageUUID());
    EXPECT_FALSE(report->images()[0].codeType());

    struct Row {
        Zvcrash__Architecture architecture;
        uint64_t type;
        uint64_t subtype;
    } rows[] = {
        {ZVCRASH__ARCHITECTURE__X86_32, 7, 3}, {ZVCRASH__ARCHITECTURE__ARMV6, 12, 6},        {ZVCRASH__ARCHITECTURE__PPC, 18, 0},
        {ZVCRASH__ARCHITECTURE__ARMV7, 12, 9}, {ZVCRASH__ARCHITECTURE__PPC64, 0x1000012, 0},
    };
    for (const auto& row : rows) {
        minimal.systemInfo.architecture = row.architecture;
        auto r = read(withHeader(packed(minimal.message)));
        ASSERT_TRUE(r);
        EXPECT_EQ(ZVCrashReportProcessorInfo(1, row.type, row.subtype), r->systemInfo().processorInfo()) << row.architecture;
    }
}

TEST(ZVCrashReport, MachExceptionKeepsFewerThan256Codes) {
    MinimalReport minimal;
    minimal.codes.assign(255, 7);
    minimal.mach.type = 1;
    minimal.mach.n_codes = minimal.codes.size();
    minimal.mach.codes = minimal.codes.data();
    minimal.signal.mach_exception = &minimal.mach;
    auto report = read(withHeader(packed(minimal.message)));
    ASSERT_TRUE(report);
    ASSERT_TRUE(report->machExceptionInfo());
    EXPECT_EQ(255u, report->machExceptionInfo()->codes().size());
}

TEST(ZVCrashReport, ARM64EProgramCountersLoseTheirAuthenticationBits) {
    for (uint64_t subtype : {2u, 0u}) {
        MinimalReport minimal;
        Zvcrash__CrashReport__Processor processor;
        zvcrash__crash_report__processor__init(&processor);
        processor.type = 0x100000C;
        processor.subtype = subtype;
        minimal.machineInfo.processor = &processor;
        minimal.message.machine_info = &minimal.machineInfo;
        Zvcrash__CrashReport__Thread__StackFrame frame;
        zvcrash__crash_report__thread__stack_frame__init(&frame);
        frame.pc = 0xA5B4000123456789;
        Zvcrash__CrashReport__Thread__StackFrame* frames[1] = {&frame};
        minimal.thread.n_frames = 1;
        minimal.thread.frames = frames;
        minimal.exception.n_frames = 1;
        minimal.exception.frames = frames;
        minimal.message.exception = &minimal.exception;
        auto report = read(withHeader(packed(minimal.message)));
        ASSERT_TRUE(report);
        uint64_t expected = subtype == 2 ? 0x123456789 : 0xA5B4000123456789;
        EXPECT_EQ(expected, report->threads()[0].stackFrames()[0].instructionPointer()) << subtype;
        EXPECT_EQ(expected, (*report->exceptionInfo()->stackFrames())[0].instructionPointer()) << subtype;
    }
}

TEST(ZVCrashReport, TimestampsTheClockCannotHoldAreNoDate) {
    MinimalReport minimal;
    minimal.systemInfo.timestamp = INT64_MIN;
    Zvcrash__CrashReport__ProcessInfo process;
    zvcrash__crash_report__process_info__init(&process);
    process.has_start_time = true;
    process.start_time = UINT64_MAX;
    minimal.message.process_info = &process;
    auto report = read(withHeader(packed(minimal.message)));
    ASSERT_TRUE(report);
    EXPECT_FALSE(report->systemInfo().timestamp());
    EXPECT_FALSE(report->processInfo()->processStartTime());
    EXPECT_FALSE(report->processInfo()->processName());

    minimal.systemInfo.timestamp = -1;
    report = read(withHeader(packed(minimal.message)));
    ASSERT_TRUE(report);
    EXPECT_EQ(ZVCrashReportDate(std::chrono::seconds(-1)), report->systemInfo().timestamp());
}

TEST(ZVCrashReport, EmptyImageIdentifierIsNone) {
    MinimalReport minimal;
    minimal.image.has_uuid = true;
    minimal.image.uuid = {0, nullptr};
    auto report = read(withHeader(packed(minimal.message)));
    ASSERT_TRUE(report);
    EXPECT_FALSE(report->images()[0].hasImageUUID());
}

TEST(ZVCrashReport, ImageForAddressTakesTheFirstImageHoldingIt) {
    auto image = [](uint64_t base, uint64_t size, const char* name) {
        return ZVCrashReportBinaryImageInfo(std::nullopt, base, size, name, std::nullopt);
    };
    ZVCrashReport report(ZVCrashReportSystemInfo(ZVCRASH_OS_LINUX, "6.1", ZVCRASH_ARCH_X86_64, std::nullopt), std::nullopt,
                         ZVCrashReportApplicationInfo("id", "1", std::nullopt), std::nullopt, ZVCrashReportSignalInfo("SIGSEGV", "#0", 0),
                         std::nullopt, {}, {image(0x1000, 0x1000, "a"), image(0x1800, 0x1000, "b"), image(UINT64_MAX - 0xF, 0x10, "top")},
                         std::nullopt, std::nullopt, std::nullopt);
    EXPECT_EQ(nullptr, report.imageForAddress(0xFFF));
    EXPECT_EQ("a", report.imageForAddress(0x1000)->imageName());
    EXPECT_EQ("a", report.imageForAddress(0x1FFF)->imageName());
    EXPECT_EQ("b", report.imageForAddress(0x2000)->imageName());
    EXPECT_EQ(nullptr, report.imageForAddress(0x2800));
    EXPECT_EQ("top", report.imageForAddress(UINT64_MAX)->imageName());
}

TEST(ZVCrashReport, FixtureFileIsTheEncodersOutput) {
    std::ifstream in(VELMO_CRASH_FIXTURES "/fixture.zvcrash", std::ios::binary);
    Bytes stored((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(testing::encodeCrashReport(testing::fixtureCrashReport()), stored);
    auto report = read(stored);
    ASSERT_TRUE(report);
    EXPECT_EQ(testing::fixtureCrashReport(), *report);
}

}  // namespace
}  // namespace zvcrash
