#include "crashreporter/report/ZVCrashReportTesting.h"

#include <string>

#include "crashreporter/async/WriterPackTesting.h"
#include "crashreporter/async/zvcrash_writer_pack.h"

namespace zvcrash::testing {

namespace {

const char* text(const std::optional<std::string>& value) { return value ? value->c_str() : nullptr; }

int64_t seconds(const std::optional<ZVCrashReportDate>& date) {
    if (!date) return 0;
    return std::chrono::duration_cast<std::chrono::seconds>(date->time_since_epoch()).count();
}

template <class Content>
void writeField(zvcrash_async_file* file, uint32_t field, Content content) {
    size_t length = content(nullptr);
    zvcrash_writer_pack(file, field, ZVCRASH_WRITER_TYPE_MESSAGE, &length);
    content(file);
}

std::vector<zvcrash_writer_frame> writerFrames(const std::vector<ZVCrashReportStackFrameInfo>& frames) {
    std::vector<zvcrash_writer_frame> out;
    for (const auto& frame : frames) {
        const auto& symbol = frame.symbolInfo();
        out.push_back({frame.instructionPointer(), symbol ? symbol->symbolName().c_str() : nullptr, symbol ? symbol->startAddress() : 0});
    }
    return out;
}

std::vector<uint8_t> uuidBytes(const std::string& hex) {
    std::vector<uint8_t> bytes;
    for (size_t i = 0; i + 1 < hex.size(); i += 2) bytes.push_back(static_cast<uint8_t>(std::stoul(hex.substr(i, 2), nullptr, 16)));
    return bytes;
}

ZVCrashReportStackFrameInfo frame(uint64_t pc, const char* symbol = nullptr, uint64_t start = 0) {
    if (symbol == nullptr) return ZVCrashReportStackFrameInfo(pc, std::nullopt);
    return ZVCrashReportStackFrameInfo(pc, ZVCrashReportSymbolInfo(symbol, start, 0));
}

ZVCrashReportDate date(int64_t secondsSince1970) { return ZVCrashReportDate(std::chrono::seconds(secondsSince1970)); }

const ZVCrashReportProcessorInfo kX86_64(ZVCRASH_TYPE_ENCODING_MACH, 0x1000007, 3);

}  // namespace

std::vector<uint8_t> encodeCrashReport(const ZVCrashReport& report, bool userRequested) {
    CapturedFile out;
    zvcrash_async_file* file = out.file();
    zvcrash_writer_write_file_header(file);

    const uint8_t* uuid = report.uuidRef() ? report.uuidRef()->bytes().data() : nullptr;
    writeField(file, ZVCRASH_REPORT_REPORT_INFO,
               [&](zvcrash_async_file* f) { return zvcrash_writer_write_report_info(f, userRequested, uuid); });

    const auto& system = report.systemInfo();
    writeField(file, ZVCRASH_REPORT_SYSTEM_INFO, [&](zvcrash_async_file* f) {
        return zvcrash_writer_write_system_info(f, system.operatingSystem(), system.operatingSystemVersion().c_str(),
                                                text(system.operatingSystemBuild()), system.architecture(), seconds(system.timestamp()));
    });

    if (const auto& machine = report.machineInfo()) {
        writeField(file, ZVCRASH_REPORT_MACHINE_INFO, [&](zvcrash_async_file* f) {
            return zvcrash_writer_write_machine_info(f, text(machine->modelName()), machine->processorInfo().type(),
                                                     machine->processorInfo().subtype(), static_cast<uint32_t>(machine->processorCount()),
                                                     static_cast<uint32_t>(machine->logicalProcessorCount()));
        });
    }

    const auto& application = report.applicationInfo();
    writeField(file, ZVCRASH_REPORT_APPLICATION_INFO, [&](zvcrash_async_file* f) {
        return zvcrash_writer_write_application_info(f, application.applicationIdentifier().c_str(),
                                                     application.applicationVersion().c_str(),
                                                     text(application.applicationMarketingVersion()));
    });

    if (const auto& process = report.processInfo()) {
        writeField(file, ZVCRASH_REPORT_PROCESS_INFO, [&](zvcrash_async_file* f) {
            return zvcrash_writer_write_process_info(f, text(process->processName()), static_cast<uint32_t>(process->processID()),
                                                     text(process->processPath()), text(process->parentProcessName()),
                                                     static_cast<uint32_t>(process->parentProcessID()), process->native(),
                                                     static_cast<uint64_t>(seconds(process->processStartTime())));
        });
    }

    for (const auto& thread : report.threads()) {
        std::vector<zvcrash_writer_register> registers;
        for (const auto& reg : thread.registers()) registers.push_back({reg.registerName().c_str(), reg.registerValue()});
        auto frames = writerFrames(thread.stackFrames());
        writeField(file, ZVCRASH_REPORT_THREADS, [&](zvcrash_async_file* f) {
            return zvcrash_writer_write_thread(f, static_cast<uint32_t>(thread.threadNumber()), thread.crashed(), registers.data(),
                                               registers.size(), frames.data(), frames.size());
        });
    }

    for (const auto& image : report.images()) {
        std::vector<uint8_t> identifier = image.imageUUID() ? uuidBytes(*image.imageUUID()) : std::vector<uint8_t>{};
        const auto& codeType = image.codeType();
        zvcrash_writer_image record = {image.imageBaseAddress(),        image.imageSize(),
                                       image.imageName().c_str(),       identifier.size() == 16 ? identifier.data() : nullptr,
                                       codeType ? codeType->type() : 0, codeType ? codeType->subtype() : 0};
        writeField(file, ZVCRASH_REPORT_BINARY_IMAGES,
                   [&](zvcrash_async_file* f) { return zvcrash_writer_write_binary_image(f, &record); });
    }

    if (const auto& exception = report.exceptionInfo()) {
        auto frames = exception->stackFrames() ? writerFrames(*exception->stackFrames()) : std::vector<zvcrash_writer_frame>{};
        writeField(file, ZVCRASH_REPORT_EXCEPTION, [&](zvcrash_async_file* f) {
            return zvcrash_writer_write_exception(f, exception->exceptionName().c_str(), exception->exceptionReason().c_str(),
                                                  frames.data(), frames.size());
        });
    }

    const auto& signal = report.signalInfo();
    const auto& mach = report.machExceptionInfo();
    writeField(file, ZVCRASH_REPORT_SIGNAL, [&](zvcrash_async_file* f) {
        return zvcrash_writer_write_signal(f, signal.name().c_str(), signal.code().c_str(), signal.address(), mach.has_value(),
                                           mach ? mach->type() : 0, mach ? mach->codes().data() : nullptr, mach ? mach->codes().size() : 0);
    });

    if (const auto& custom = report.customData()) {
        zvcrash_writer_bytes bytes = {custom->data(), custom->size()};
        zvcrash_writer_pack(file, ZVCRASH_REPORT_CUSTOM_DATA, ZVCRASH_WRITER_TYPE_BYTES, &bytes);
    }
    return out.bytes();
}

ZVCrashReport fullCrashReport() {
    velmo::UUID::Bytes uuid = {0xE6, 0x21, 0xE1, 0xF8, 0xC3, 0x6C, 0x49, 0x2A, 0x93, 0xFC, 0x0C, 0x24, 0x7A, 0x3E, 0x6E, 0x5F};
    std::vector<uint8_t> imageUuid = {0x01, 0xAB, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15};
    return ZVCrashReport(
        ZVCrashReportSystemInfo(ZVCRASH_OS_LINUX, "6.1.0", std::string("#1 SMP PREEMPT_DYNAMIC Debian 6.1.55-1"), ZVCRASH_ARCH_X86_64,
                                kX86_64, date(1765400000)),
        ZVCrashReportMachineInfo(std::string("Standard PC (Q35 + ICH9, 2009)"), kX86_64, 4, 8),
        ZVCrashReportApplicationInfo("com.velmo.Velmo", "42", std::string("1.0.0")),
        ZVCrashReportProcessInfo(std::string("Velmo"), 4242, std::string("/opt/velmo/bin/Velmo"), date(1765399000), std::string("systemd"),
                                 1, true),
        ZVCrashReportSignalInfo("SIGSEGV", "SEGV_MAPERR", 0x10), ZVCrashReportMachExceptionInfo(1, {2, 0x10, UINT64_MAX}),
        {ZVCrashReportThreadInfo(0, {frame(0x401234, "crash_here", 0x401200), frame(0x401500)}, true,
                                 {ZVCrashReportRegisterInfo("rip", 0x401234), ZVCrashReportRegisterInfo("rsp", 0x7ffc0000)}),
         ZVCrashReportThreadInfo(1, {frame(0x7f0000001000, "futex_wait", 0x7f0000000ff0)}, false, {})},
        {ZVCrashReportBinaryImageInfo(kX86_64, 0x400000, 0x10000, "/opt/velmo/bin/Velmo", imageUuid),
         ZVCrashReportBinaryImageInfo(kX86_64, 0x7f0000000000, 0x200000, "/usr/lib/x86_64-linux-gnu/libc.so.6", imageUuid)},
        ZVCrashReportExceptionInfo("std::runtime_error", "no microphone", std::vector{frame(0x401500, "throw_it", 0x4014f0)}),
        std::vector<uint8_t>{'{', '}', 0, 0xFF}, velmo::UUID(uuid));
}

ZVCrashReport fixtureCrashReport() {
    velmo::UUID::Bytes uuid = {0x0A, 0x1B, 0x2C, 0x3D, 0x4E, 0x5F, 0x40, 0x71, 0x82, 0x93, 0xA4, 0xB5, 0xC6, 0xD7, 0xE8, 0xF9};
    std::vector<uint8_t> mainUuid = {0x01, 0xAB, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08, 0x09, 0x0A, 0x0B, 0x0C, 0x0D, 0x0E, 0x0F};
    return ZVCrashReport(
        ZVCrashReportSystemInfo(ZVCRASH_OS_LINUX, "6.1.0", std::string("#1 SMP PREEMPT_DYNAMIC Debian 6.1.55-1"), ZVCRASH_ARCH_X86_64,
                                kX86_64, date(1765400000)),
        ZVCrashReportMachineInfo(std::string("Standard PC (Q35 + ICH9, 2009)"), kX86_64, 4, 8),
        ZVCrashReportApplicationInfo("com.velmo.Velmo", "42", std::string("1.0.0")), std::nullopt,
        ZVCrashReportSignalInfo("SIGABRT", "#0", 0), std::nullopt,
        {ZVCrashReportThreadInfo(0, {frame(0x7f0000001010, "futex_wait", 0x7f0000001000)}, false, {}),
         ZVCrashReportThreadInfo(
             1, {frame(0x7f0000002040, "raise", 0x7f0000002000), frame(0x401234, "main", 0x401200), frame(0x401299), frame(0)}, true,
             {ZVCrashReportRegisterInfo("rax", 0), ZVCrashReportRegisterInfo("rbx", 0x1), ZVCrashReportRegisterInfo("rcx", 0xdeadbeef),
              ZVCrashReportRegisterInfo("rdx", 0x7ffc12345678), ZVCrashReportRegisterInfo("rip", 0x7f0000002040)})},
        {ZVCrashReportBinaryImageInfo(kX86_64, 0x7f0000000000, 0x3000, "/usr/lib/x86_64-linux-gnu/libc.so.6", std::nullopt),
         ZVCrashReportBinaryImageInfo(kX86_64, 0x400000, 0x10000, "/opt/velmo/bin/Velmo", mainUuid),
         ZVCrashReportBinaryImageInfo(kX86_64, 0x400000, 0x10000, "/opt/velmo/bin/Velmo-again", mainUuid)},
        ZVCrashReportExceptionInfo("std::runtime_error", "no microphone", std::vector{frame(0x401234, "main", 0x401200)}), std::nullopt,
        velmo::UUID(uuid));
}

ZVCrashReport largeCrashReport(size_t threadCount, size_t frameCount, size_t imageCount) {
    std::vector<ZVCrashReportBinaryImageInfo> images;
    std::vector<uint8_t> uuid(16, 0x5A);
    for (size_t i = 0; i < imageCount; ++i) {
        images.emplace_back(kX86_64, 0x7f0000000000 + i * 0x100000, 0x100000,
                            "/usr/lib/x86_64-linux-gnu/libexample" + std::to_string(i) + ".so", uuid);
    }
    std::vector<ZVCrashReportThreadInfo> threads;
    for (size_t t = 0; t < threadCount; ++t) {
        std::vector<ZVCrashReportStackFrameInfo> frames;
        for (size_t f = 0; f < frameCount; ++f) {
            uint64_t pc = 0x7f0000000000 + ((t * frameCount + f) % imageCount) * 0x100000 + 0x1000 + f * 8;
            frames.emplace_back(pc, ZVCrashReportSymbolInfo("example_function_" + std::to_string(f), pc - 0x20, 0));
        }
        std::vector<ZVCrashReportRegisterInfo> registers;
        if (t == 0) {
            for (const char* name : {"rax", "rbx", "rcx", "rdx", "rdi", "rsi", "rbp",    "rsp", "r8", "r9", "r10",
                                     "r11", "r12", "r13", "r14", "r15", "rip", "rflags", "cs",  "fs", "gs"}) {
                registers.emplace_back(name, 0x1234);
            }
        }
        threads.emplace_back(static_cast<int64_t>(t), std::move(frames), t == 0, std::move(registers));
    }
    return ZVCrashReport(
        ZVCrashReportSystemInfo(ZVCRASH_OS_LINUX, "6.1.0", std::string("#1 SMP"), ZVCRASH_ARCH_X86_64, kX86_64, date(1765400000)),
        ZVCrashReportMachineInfo(std::string("Standard PC"), kX86_64, 4, 8),
        ZVCrashReportApplicationInfo("com.velmo.Velmo", "42", std::string("1.0.0")),
        ZVCrashReportProcessInfo(std::string("Velmo"), 4242, std::string("/opt/velmo/bin/Velmo"), date(1765399000), std::string("systemd"),
                                 1, true),
        ZVCrashReportSignalInfo("SIGSEGV", "SEGV_MAPERR", 0x10), std::nullopt, std::move(threads), std::move(images), std::nullopt,
        std::nullopt, std::nullopt);
}

}  // namespace zvcrash::testing
