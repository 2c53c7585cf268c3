#include "crashreporter/report/ZVCrashReport.h"

#include <limits>
#include <memory>

#include "crashreporter/async/zvcrash_writer_pack.h"
#include "crashreporter/report/ZVCrashReportExtraction.h"

namespace zvcrash {

const char* const ZVCrashReporterErrorDomain = "ZVCrashReporterErrorDomain";

namespace {

using extraction::ZVCrashReportExtractionError;

constexpr uint64_t kCPUTypeARM64 = 0x100000C;
constexpr uint64_t kCPUSubtypeARM64E = 2;
// Pointer-authentication bits sit above the low 36 bits of an ARM64E code address.
constexpr uint64_t kARM64EAddressMask = 0xFFFFFFFFFULL;

[[noreturn]] void fail(const char* text) { throw ZVCrashReportExtractionError(text); }

std::optional<std::string> optionalText(const char* text) {
    if (text == nullptr) return std::nullopt;
    return std::string(text);
}

// Seconds since 1970 as a date; none for a count the clock cannot hold.
template <class Seconds>
std::optional<ZVCrashReportDate> dateFromSeconds(Seconds seconds) {
    using Duration = ZVCrashReportDate::duration;
    constexpr auto limit = std::chrono::duration_cast<std::chrono::seconds>(Duration::max()).count();
    if constexpr (std::is_signed_v<Seconds>) {
        if (seconds > limit || seconds < -limit) return std::nullopt;
    } else {
        if (seconds > static_cast<uint64_t>(limit)) return std::nullopt;
    }
    return ZVCrashReportDate(std::chrono::duration_cast<Duration>(std::chrono::seconds(static_cast<int64_t>(seconds))));
}

std::string hexText(const uint8_t* bytes, size_t length) {
    static const char digits[] = "0123456789abcdef";
    std::string text;
    text.reserve(length * 2);
    for (size_t i = 0; i < length; ++i) {
        text.push_back(digits[bytes[i] >> 4]);
        text.push_back(digits[bytes[i] & 0x0F]);
    }
    return text;
}

struct MessageDeleter {
    void operator()(Zvcrash__CrashReport* message) const { zvcrash__crash_report__free_unpacked(message, nullptr); }
};

velmo::Error invalidReport(const std::string& text) {
    return velmo::Error(ZVCrashReporterErrorDomain, ZVCrashReporterErrorCrashReportInvalid, text);
}

}  // namespace

ZVCrashReportSystemInfo::ZVCrashReportSystemInfo(uint32_t operatingSystem, std::string operatingSystemVersion,
                                                 std::optional<std::string> operatingSystemBuild, uint32_t architecture,
                                                 ZVCrashReportProcessorInfo processorInfo, std::optional<ZVCrashReportDate> timestamp)
    : operatingSystem_(operatingSystem),
      osVersion_(std::move(operatingSystemVersion)),
      osBuild_(std::move(operatingSystemBuild)),
      architecture_(architecture),
      timestamp_(timestamp),
      processorInfo_(processorInfo) {}

ZVCrashReportSystemInfo::ZVCrashReportSystemInfo(uint32_t operatingSystem, std::string operatingSystemVersion,
                                                 std::optional<std::string> operatingSystemBuild, uint32_t architecture,
                                                 std::optional<ZVCrashReportDate> timestamp)
    : ZVCrashReportSystemInfo(operatingSystem, std::move(operatingSystemVersion), std::move(operatingSystemBuild), architecture,
                              extraction::synthesizeProcessorInfoFromArchitecture(architecture)
                                  .value_or(ZVCrashReportProcessorInfo(ZVCRASH_TYPE_ENCODING_UNKNOWN, 0, 0)),
                              timestamp) {}

ZVCrashReportSystemInfo::ZVCrashReportSystemInfo(uint32_t operatingSystem, std::string operatingSystemVersion, uint32_t architecture,
                                                 std::optional<ZVCrashReportDate> timestamp)
    : ZVCrashReportSystemInfo(operatingSystem, std::move(operatingSystemVersion), std::nullopt, architecture, timestamp) {}

ZVCrashReportBinaryImageInfo::ZVCrashReportBinaryImageInfo(std::optional<ZVCrashReportProcessorInfo> codeType, uint64_t baseAddress,
                                                           uint64_t size, std::string name, std::optional<std::vector<uint8_t>> uuid)
    : processorInfo_(codeType),
      baseAddress_(baseAddress),
      imageSize_(size),
      imageName_(std::move(name)) {
    if (uuid) imageUUID_ = hexText(uuid->data(), uuid->size());
}

ZVCrashReport::ZVCrashReport(ZVCrashReportSystemInfo systemInfo, std::optional<ZVCrashReportMachineInfo> machineInfo,
                             ZVCrashReportApplicationInfo applicationInfo, std::optional<ZVCrashReportProcessInfo> processInfo,
                             ZVCrashReportSignalInfo signalInfo, std::optional<ZVCrashReportMachExceptionInfo> machExceptionInfo,
                             std::vector<ZVCrashReportThreadInfo> threads, std::vector<ZVCrashReportBinaryImageInfo> images,
                             std::optional<ZVCrashReportExceptionInfo> exceptionInfo, std::optional<std::vector<uint8_t>> customData,
                             std::optional<velmo::UUID> uuid)
    : systemInfo_(std::move(systemInfo)),
      machineInfo_(std::move(machineInfo)),
      applicationInfo_(std::move(applicationInfo)),
      processInfo_(std::move(processInfo)),
      signalInfo_(std::move(signalInfo)),
      machExceptionInfo_(std::move(machExceptionInfo)),
      threads_(std::move(threads)),
      images_(std::move(images)),
      exceptionInfo_(std::move(exceptionInfo)),
      customData_(std::move(customData)),
      uuid_(uuid) {}

const ZVCrashReportBinaryImageInfo* ZVCrashReport::imageForAddress(uint64_t address) const {
    for (const auto& image : images_) {
        // Compared as an offset so that an image reaching the top of the address space still matches.
        if (address >= image.imageBaseAddress() && address - image.imageBaseAddress() < image.imageSize()) return &image;
    }
    return nullptr;
}

std::optional<ZVCrashReport> ZVCrashReport::fromData(std::span<const uint8_t> data, std::optional<velmo::Error>* error) {
    auto failed = [&](const std::string& text) -> std::optional<ZVCrashReport> {
        if (error != nullptr) error->emplace(invalidReport(text));
        return std::nullopt;
    };
    if (data.size() <= ZVCRASH_REPORT_FILE_HEADER_LENGTH) return failed("Could not decode truncated crash log");
    for (size_t i = 0; i < ZVCRASH_REPORT_FILE_MAGIC_LENGTH; ++i) {
        if (data[i] != static_cast<uint8_t>(ZVCRASH_REPORT_FILE_MAGIC[i])) return failed("Could not decode invalid crash log header");
    }
    uint8_t version = data[ZVCRASH_REPORT_FILE_MAGIC_LENGTH];
    if (version != ZVCRASH_REPORT_FILE_VERSION) {
        return failed("Could not decode unsupported crash report version: " + std::to_string(version));
    }
    size_t bodyLength = data.size() - ZVCRASH_REPORT_FILE_HEADER_LENGTH;
    std::unique_ptr<Zvcrash__CrashReport, MessageDeleter> message(
        zvcrash__crash_report__unpack(nullptr, bodyLength, data.data() + ZVCRASH_REPORT_FILE_HEADER_LENGTH));
    if (!message) return failed("Could not decode crash report with size of " + std::to_string(bodyLength) + " bytes.");
    try {
        return extraction::extractReport(*message);
    } catch (const ZVCrashReportExtractionError& e) {
        return failed(e.what());
    }
}

namespace extraction {

std::optional<ZVCrashReportProcessorInfo> synthesizeProcessorInfoFromArchitecture(uint32_t architecture) {
    struct Row {
        uint32_t architecture;
        uint64_t type;
        uint64_t subtype;
    };
    static constexpr Row rows[] = {
        {ZVCRASH_ARCH_X86_32, 7, 3}, {ZVCRASH_ARCH_X86_64, 0x1000007, 3}, {ZVCRASH_ARCH_ARMV6, 12, 6},
        {ZVCRASH_ARCH_PPC, 18, 0},   {ZVCRASH_ARCH_PPC64, 0x1000012, 0},  {ZVCRASH_ARCH_ARMV7, 12, 9},
    };
    for (const auto& row : rows) {
        if (row.architecture == architecture) return ZVCrashReportProcessorInfo(ZVCRASH_TYPE_ENCODING_MACH, row.type, row.subtype);
    }
    return std::nullopt;
}

ZVCrashReportProcessorInfo extractProcessorInfo(const Zvcrash__CrashReport__Processor* processor) {
    if (processor == nullptr) fail("Crash report is missing processor info section");
    return ZVCrashReportProcessorInfo(static_cast<uint32_t>(processor->encoding), processor->type, processor->subtype);
}

ZVCrashReportSystemInfo extractSystemInfo(const Zvcrash__CrashReport__SystemInfo* systemInfo,
                                          const std::optional<ZVCrashReportProcessorInfo>& processorInfo) {
    if (systemInfo == nullptr) fail("Crash report is missing System Information section");
    if (systemInfo->os_version == nullptr) fail("Crash report is missing System Information OS version field");
    auto architecture = static_cast<uint32_t>(systemInfo->architecture);
    std::optional<ZVCrashReportProcessorInfo> processor = processorInfo;
    if (!processor) processor = synthesizeProcessorInfoFromArchitecture(architecture);
    if (!processor) fail("Crash report has an unknown architecture");
    std::optional<ZVCrashReportDate> timestamp;
    if (systemInfo->timestamp != 0) timestamp = dateFromSeconds(systemInfo->timestamp);
    return ZVCrashReportSystemInfo(static_cast<uint32_t>(systemInfo->operating_system), systemInfo->os_version,
                                   optionalText(systemInfo->os_build), architecture, *processor, timestamp);
}

ZVCrashReportMachineInfo extractMachineInfo(const Zvcrash__CrashReport__MachineInfo* machineInfo) {
    if (machineInfo == nullptr) fail("Crash report is missing Machine Information section");
    return ZVCrashReportMachineInfo(optionalText(machineInfo->model), extractProcessorInfo(machineInfo->processor),
                                    machineInfo->processor_count, machineInfo->logical_processor_count);
}

ZVCrashReportApplicationInfo extractApplicationInfo(const Zvcrash__CrashReport__ApplicationInfo* applicationInfo) {
    if (applicationInfo == nullptr) fail("Crash report is missing Application Information section");
    if (applicationInfo->identifier == nullptr) fail("Crash report is missing Application Information app identifier field");
    if (applicationInfo->version == nullptr) fail("Crash report is missing Application Information app version field");
    return ZVCrashReportApplicationInfo(applicationInfo->identifier, applicationInfo->version,
                                        optionalText(applicationInfo->marketing_version));
}

ZVCrashReportProcessInfo extractProcessInfo(const Zvcrash__CrashReport__ProcessInfo* processInfo) {
    if (processInfo == nullptr) fail("Crash report is missing Process Information section");
    std::optional<ZVCrashReportDate> startTime;
    if (processInfo->has_start_time) startTime = dateFromSeconds(processInfo->start_time);
    return ZVCrashReportProcessInfo(optionalText(processInfo->process_name), processInfo->process_id,
                                    optionalText(processInfo->process_path), startTime, optionalText(processInfo->parent_process_name),
                                    processInfo->parent_process_id, processInfo->native != 0);
}

ZVCrashReportSymbolInfo extractSymbolInfo(const Zvcrash__CrashReport__Symbol* symbol) {
    if (symbol == nullptr || symbol->name == nullptr) fail("Crash report is missing symbol information");
    return ZVCrashReportSymbolInfo(symbol->name, symbol->start_address, symbol->has_end_address ? symbol->end_address : 0);
}

ZVCrashReportStackFrameInfo extractStackFrameInfo(const Zvcrash__CrashReport__Thread__StackFrame* frame, uint64_t pcMask) {
    if (frame == nullptr) fail("Crash report is missing stack frame information");
    std::optional<ZVCrashReportSymbolInfo> symbol;
    if (frame->symbol != nullptr) symbol = extractSymbolInfo(frame->symbol);
    return ZVCrashReportStackFrameInfo(frame->pc & pcMask, std::move(symbol));
}

ZVCrashReportThreadInfo extractThreadInfo(const Zvcrash__CrashReport__Thread* thread, uint64_t pcMask) {
    if (thread == nullptr) fail("Crash report is missing thread state information");
    std::vector<ZVCrashReportStackFrameInfo> frames;
    frames.reserve(thread->n_frames);
    for (size_t i = 0; i < thread->n_frames; ++i) frames.push_back(extractStackFrameInfo(thread->frames[i], pcMask));
    std::vector<ZVCrashReportRegisterInfo> registers;
    registers.reserve(thread->n_registers);
    for (size_t i = 0; i < thread->n_registers; ++i) {
        const auto* reg = thread->registers[i];
        if (reg == nullptr || reg->name == nullptr) fail("Missing register name in register value");
        registers.emplace_back(reg->name, reg->value);
    }
    return ZVCrashReportThreadInfo(thread->thread_number, std::move(frames), thread->crashed != 0, std::move(registers));
}

ZVCrashReportBinaryImageInfo extractImageInfo(const Zvcrash__CrashReport__BinaryImage* image) {
    if (image == nullptr || image->name == nullptr) fail("Missing image name in image record");
    std::optional<std::vector<uint8_t>> uuid;
    if (image->has_uuid && image->uuid.len > 0) uuid.emplace(image->uuid.data, image->uuid.data + image->uuid.len);
    std::optional<ZVCrashReportProcessorInfo> codeType;
    if (image->code_type != nullptr) codeType = extractProcessorInfo(image->code_type);
    return ZVCrashReportBinaryImageInfo(codeType, image->base_address, image->size, image->name, std::move(uuid));
}

ZVCrashReportExceptionInfo extractExceptionInfo(const Zvcrash__CrashReport__Exception* exception, uint64_t pcMask) {
    if (exception == nullptr) fail("Crash report is missing Exception Information section");
    if (exception->name == nullptr) fail("Crash report is missing exception name field");
    if (exception->reason == nullptr) fail("Crash report is missing exception reason field");
    std::optional<std::vector<ZVCrashReportStackFrameInfo>> frames;
    if (exception->n_frames > 0) {
        frames.emplace();
        frames->reserve(exception->n_frames);
        for (size_t i = 0; i < exception->n_frames; ++i) frames->push_back(extractStackFrameInfo(exception->frames[i], pcMask));
    }
    return ZVCrashReportExceptionInfo(exception->name, exception->reason, std::move(frames));
}

ZVCrashReportSignalInfo extractSignalInfo(const Zvcrash__CrashReport__Signal* signal) {
    if (signal == nullptr) fail("Crash report is missing Signal Information section");
    if (signal->name == nullptr) fail("Crash report is missing signal name field");
    if (signal->code == nullptr) fail("Crash report is missing signal code field");
    return ZVCrashReportSignalInfo(signal->name, signal->code, signal->address);
}

ZVCrashReportMachExceptionInfo extractMachExceptionInfo(const Zvcrash__CrashReport__Signal__MachException* machException) {
    if (machException == nullptr) fail("Crash report is missing Mach Exception Information section");
    if (machException->n_codes >= 256) fail("Crash report includes too many Mach Exception codes");
    return ZVCrashReportMachExceptionInfo(machException->type,
                                          std::vector<uint64_t>(machException->codes, machException->codes + machException->n_codes));
}

ZVCrashReport extractReport(const Zvcrash__CrashReport& message) {
    std::optional<velmo::UUID> uuid;
    if (message.report_info != nullptr && message.report_info->has_uuid) {
        const auto& bytes = message.report_info->uuid;
        if (bytes.len != 16) fail("Report UUID value is not a standard 16 bytes");
        velmo::UUID::Bytes raw;
        std::copy(bytes.data, bytes.data + 16, raw.begin());
        uuid.emplace(raw);
    }
    std::optional<ZVCrashReportMachineInfo> machineInfo;
    if (message.machine_info != nullptr) machineInfo = extractMachineInfo(message.machine_info);
    std::optional<ZVCrashReportProcessorInfo> machineProcessor;
    if (machineInfo) machineProcessor = machineInfo->processorInfo();
    auto systemInfo = extractSystemInfo(message.system_info, machineProcessor);
    auto applicationInfo = extractApplicationInfo(message.application_info);
    std::optional<ZVCrashReportProcessInfo> processInfo;
    if (message.process_info != nullptr) processInfo = extractProcessInfo(message.process_info);
    auto signalInfo = extractSignalInfo(message.signal);
    std::optional<ZVCrashReportMachExceptionInfo> machExceptionInfo;
    if (message.signal->mach_exception != nullptr) machExceptionInfo = extractMachExceptionInfo(message.signal->mach_exception);

    uint64_t pcMask = std::numeric_limits<uint64_t>::max();
    if (machineProcessor && machineProcessor->type() == kCPUTypeARM64 && machineProcessor->subtype() == kCPUSubtypeARM64E) {
        pcMask = kARM64EAddressMask;
    }
    if (message.n_threads == 0) fail("Crash report is missing thread state information");
    std::vector<ZVCrashReportThreadInfo> threads;
    threads.reserve(message.n_threads);
    for (size_t i = 0; i < message.n_threads; ++i) threads.push_back(extractThreadInfo(message.threads[i], pcMask));
    if (message.n_binary_images == 0) fail("Crash report is missing binary image information");
    std::vector<ZVCrashReportBinaryImageInfo> images;
    images.reserve(message.n_binary_images);
    for (size_t i = 0; i < message.n_binary_images; ++i) images.push_back(extractImageInfo(message.binary_images[i]));
    std::optional<ZVCrashReportExceptionInfo> exceptionInfo;
    if (message.exception != nullptr) exceptionInfo = extractExceptionInfo(message.exception, pcMask);
    std::optional<std::vector<uint8_t>> customData;
    if (message.has_custom_data) customData.emplace(message.custom_data.data, message.custom_data.data + message.custom_data.len);
    return ZVCrashReport(std::move(systemInfo), std::move(machineInfo), std::move(applicationInfo), std::move(processInfo),
                         std::move(signalInfo), std::move(machExceptionInfo), std::move(threads), std::move(images),
                         std::move(exceptionInfo), std::move(customData), uuid);
}

}  // namespace extraction

}  // namespace zvcrash
