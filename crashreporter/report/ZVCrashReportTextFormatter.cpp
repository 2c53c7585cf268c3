#include "crashreporter/report/ZVCrashReportTextFormatter.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <ctime>

#include "crashreporter/async/zvcrash_writer_pack.h"
#include "platform/base/Logger.h"
#include "platform/base/UTF8.h"

namespace zvcrash {

namespace {

constexpr uint64_t kCPUTypeX86 = 7;
constexpr uint64_t kCPUTypeARM = 12;
constexpr uint64_t kCPUTypePowerPC = 18;
constexpr uint64_t kCPUTypeX86_64 = 0x1000007;
constexpr uint64_t kCPUTypeARM64 = 0x100000C;
constexpr const char* kUnknown = "???";

template <class... Args>
std::string format(const char* pattern, Args... args) {
    char buffer[128];
    int length = std::snprintf(buffer, sizeof buffer, pattern, args...);
    if (length < 0) return {};
    if (static_cast<size_t>(length) < sizeof buffer) return std::string(buffer, static_cast<size_t>(length));
    std::string out(static_cast<size_t>(length), '\0');
    std::snprintf(out.data(), out.size() + 1, pattern, args...);
    return out;
}

const std::string& orUnknown(const std::optional<std::string>& text) {
    static const std::string unknown = kUnknown;
    return text ? *text : unknown;
}

// The last path component: trailing slashes ignored, "/" stays "/".
std::string lastPathComponent(const std::string& path) {
    size_t end = path.size();
    while (end > 1 && path[end - 1] == '/') --end;
    std::string trimmed = path.substr(0, end);
    if (trimmed == "/") return trimmed;
    size_t slash = trimmed.rfind('/');
    return slash == std::string::npos ? trimmed : trimmed.substr(slash + 1);
}

// "0x" and the hexadecimal digits, right-aligned in width columns.
std::string paddedHex(uint64_t value, int width) {
    std::string digits = format("0x%" PRIx64, value);
    if (static_cast<int>(digits.size()) < width) digits.insert(0, static_cast<size_t>(width) - digits.size(), ' ');
    return digits;
}

// Pads on the right to width characters (code points, not bytes).
std::string leftAligned(const std::string& text, size_t width) {
    size_t characters = 0;
    for (unsigned char c : text) {
        if ((c & 0xC0) != 0x80) ++characters;
    }
    std::string out = text;
    if (characters < width) out.append(width - characters, ' ');
    return out;
}

std::string operatingSystemName(uint32_t os) {
    switch (os) {
        case ZVCRASH_OS_MAC_OS_X:
            return "Mac OS X";
        case ZVCRASH_OS_IPHONE_OS:
            return "iPhone OS";
        case ZVCRASH_OS_IPHONE_SIMULATOR:
            return "Mac OS X";
        case ZVCRASH_OS_APPLE_TVOS:
            return "Apple tvOS";
        case ZVCRASH_OS_LINUX:
            return "Linux";
        default:
            return format("Unknown (%d)", static_cast<int>(os));
    }
}

struct CodeType {
    std::string name;
    bool lp64;
};

std::optional<CodeType> knownCodeType(uint64_t type) {
    switch (type) {
        case kCPUTypeX86:
            return CodeType{"X86", false};
        case kCPUTypeARM:
            return CodeType{"ARM", false};
        case kCPUTypePowerPC:
            return CodeType{"PPC", false};
        case kCPUTypeX86_64:
            return CodeType{"X86-64", true};
        case kCPUTypeARM64:
            return CodeType{"ARM-64", true};
        default:
            return std::nullopt;
    }
}

CodeType codeTypeOf(const ZVCrashReport& report) {
    for (const auto& image : report.images()) {
        const auto& codeType = image.codeType();
        if (!codeType || codeType->typeEncoding() != ZVCRASH_TYPE_ENCODING_MACH) continue;
        if (auto known = knownCodeType(codeType->type())) return *known;
    }
    const auto& processor = report.systemInfo().processorInfo();
    if (processor.typeEncoding() != ZVCRASH_TYPE_ENCODING_MACH) return {"Unknown", true};
    if (auto known = knownCodeType(processor.type())) return *known;
    return {format("Unknown (%llu)", static_cast<unsigned long long>(processor.type())), true};
}

std::string architectureName(const std::optional<ZVCrashReportProcessorInfo>& codeType) {
    if (!codeType || codeType->typeEncoding() != ZVCRASH_TYPE_ENCODING_MACH) return kUnknown;
    switch (codeType->type()) {
        case kCPUTypeX86:
            return "i386";
        case kCPUTypePowerPC:
            return "powerpc";
        case kCPUTypeX86_64:
            return "x86_64";
        case kCPUTypeARM:
            switch (codeType->subtype()) {
                case 6:
                    return "armv6";
                case 9:
                    return "armv7";
                case 11:
                    return "armv7s";
                default:
                    return "arm-unknown";
            }
        case kCPUTypeARM64:
            switch (codeType->subtype() & 0xFFFFFF) {
                case 0:
                    return "arm64";
                case 1:
                    return "armv8";
                case 2:
                    return "arm64e";
                default:
                    return "arm64-unknown";
            }
        default:
            return kUnknown;
    }
}

std::string dateText(const std::optional<ZVCrashReportDate>& date) {
    if (!date) return kUnknown;
    auto seconds = std::chrono::floor<std::chrono::seconds>(date->time_since_epoch()).count();
    std::time_t t = static_cast<std::time_t>(seconds);
    std::tm utc{};
    if (gmtime_r(&t, &utc) == nullptr) return kUnknown;
    char buffer[64];
    size_t length = std::strftime(buffer, sizeof buffer, "%Y-%m-%d %H:%M:%S +0000", &utc);
    return length == 0 ? std::string(kUnknown) : std::string(buffer, length);
}

// Symbol names of the Apple systems carry a leading underscore; elsewhere names stand as written.
bool stripsSymbolPrefix(uint32_t os) {
    return os == ZVCRASH_OS_MAC_OS_X || os == ZVCRASH_OS_IPHONE_OS || os == ZVCRASH_OS_IPHONE_SIMULATOR || os == ZVCRASH_OS_APPLE_TVOS;
}

std::string validUTF8(const std::string& text) {
    if (velmo::isValidUTF8(text)) return text;
    std::string out;
    out.reserve(text.size());
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    size_t i = 0;
    while (i < text.size()) {
        size_t n = velmo::utf8SequenceLength(p + i, text.size() - i);
        if (n == 0) {
            velmo::appendUTF8(0xFFFD, out);
            ++i;
        } else {
            out.append(text, i, n);
            i += n;
        }
    }
    return out;
}

}  // namespace

std::string ZVCrashReportTextFormatter::formatReport(const ZVCrashReport& report) const {
    return validUTF8(stringValueForCrashReport(report, textFormat_));
}

std::string ZVCrashReportTextFormatter::formatStackFrame(const ZVCrashReportStackFrameInfo& frame, int64_t frameIndex,
                                                         const ZVCrashReport& report, bool lp64) {
    uint64_t pc = frame.instructionPointer();
    const auto* image = report.imageForAddress(pc);
    std::string fileName = kUnknown;
    uint64_t base = 0;
    if (image != nullptr) {
        fileName = lastPathComponent(image->imageName());
        base = image->imageBaseAddress();
    } else if (pc != 0) {
        velmo::logLine(format("[ZVCrashReporter] Cannot find image for 0x%llx", static_cast<unsigned long long>(pc)));
    }

    std::string text;
    if (const auto& symbol = frame.symbolInfo()) {
        std::string name = symbol->symbolName();
        uint32_t os = report.systemInfo().operatingSystem();
        if (stripsSymbolPrefix(os)) {
            if (name.size() > 1 && name[0] == '_') name.erase(0, 1);
        } else if (os != ZVCRASH_OS_LINUX) {
            velmo::logLine(format("[ZVCrashReporter] Symbol \"%s\" prefix rules are unknown for this OS!", name.c_str()));
        }
        text = name + format(" + %lld", static_cast<long long>(pc - symbol->startAddress()));
    } else {
        text = format("0x%llx + %lld", static_cast<unsigned long long>(base), static_cast<long long>(pc - base));
    }
    return format("%-4lld", static_cast<long long>(frameIndex)) + leftAligned(fileName, 35) +
           format(" 0x%0*llx ", lp64 ? 16 : 8, static_cast<unsigned long long>(pc)) + text + "\n";
}

std::string ZVCrashReportTextFormatter::stringValueForCrashReport(const ZVCrashReport& report, ZVCrashReportTextFormat) {
    std::string out;
    const CodeType codeType = codeTypeOf(report);
    const auto& process = report.processInfo();
    const auto& system = report.systemInfo();
    const auto& application = report.applicationInfo();

    out += "Incident Identifier: " + (report.uuidRef() ? report.uuidRef()->uuidString() : std::string(kUnknown)) + "\n";
    out += "Hardware Model:      " + (report.machineInfo() ? orUnknown(report.machineInfo()->modelName()) : std::string(kUnknown)) + "\n";
    if (process) {
        out += "Process:         " + orUnknown(process->processName()) + " [" + std::to_string(process->processID()) + "]\n";
        out += "Path:            " + orUnknown(process->processPath()) + "\n";
    } else {
        out += "Process:         ??? [???]\n";
        out += "Path:            ???\n";
    }
    out += "Identifier:      " + application.applicationIdentifier() + "\n";
    if (application.applicationMarketingVersion()) {
        out += "Version:         " + *application.applicationMarketingVersion() + " (" + application.applicationVersion() + ")\n";
    } else {
        out += "Version:         " + application.applicationVersion() + "\n";
    }
    out += "Code Type:       " + codeType.name + "\n";
    if (process) {
        out += "Parent Process:  " + orUnknown(process->parentProcessName()) + " [" + std::to_string(process->parentProcessID()) + "]\n";
    } else {
        out += "Parent Process:  ??? [???]\n";
    }
    out += "\n";
    out += "Date/Time:       " + dateText(system.timestamp()) + "\n";
    out += "OS Version:      " + operatingSystemName(system.operatingSystem()) + " " + system.operatingSystemVersion() + " (" +
           orUnknown(system.operatingSystemBuild()) + ")\n";
    out += "Report Version:  104\n";
    out += "\n";
    const auto& signal = report.signalInfo();
    out += "Exception Type:  " + signal.name() + "\n";
    out += "Exception Codes: " + signal.code() + format(" at 0x%llx\n", static_cast<unsigned long long>(signal.address()));

    const ZVCrashReportThreadInfo* lastCrashed = nullptr;
    bool reportedCrashed = false;
    for (const auto& thread : report.threads()) {
        if (!thread.crashed()) continue;
        if (!reportedCrashed) {
            out += format("Crashed Thread:  %lld\n", static_cast<long long>(thread.threadNumber()));
            reportedCrashed = true;
        }
        lastCrashed = &thread;
    }
    out += "\n";

    if (const auto& exception = report.exceptionInfo()) {
        out += "Application Specific Information:\n";
        out += "*** Terminating app due to uncaught exception '" + exception->exceptionName() + "', reason: '" +
               exception->exceptionReason() + "'\n";
        out += "\n";
        if (exception->stackFrames()) {
            out += "Last Exception Backtrace:\n";
            int64_t index = 0;
            for (const auto& frame : *exception->stackFrames()) out += formatStackFrame(frame, index++, report, codeType.lp64);
            out += "\n";
        }
    }

    for (const auto& thread : report.threads()) {
        out += format(thread.crashed() ? "Thread %lld Crashed:\n" : "Thread %lld:\n", static_cast<long long>(thread.threadNumber()));
        int64_t index = 0;
        for (const auto& frame : thread.stackFrames()) out += formatStackFrame(frame, index++, report, codeType.lp64);
        out += "\n";
    }

    if (lastCrashed != nullptr) {
        out +=
            format("Thread %lld crashed with ", static_cast<long long>(lastCrashed->threadNumber())) + codeType.name + " Thread State:\n";
        bool armRegisters = report.machineInfo() && (report.machineInfo()->processorInfo().type() & 0xFFFFFF) == kCPUTypeARM;
        size_t column = 0;
        for (const auto& reg : lastCrashed->registers()) {
            std::string name = reg.registerName();
            if (armRegisters && name == "r12") name = "ip";
            out += format(codeType.lp64 ? "%6s: 0x%016llx " : "%6s: 0x%08llx ", name.c_str(),
                          static_cast<unsigned long long>(reg.registerValue()));
            if (++column == 4) {
                out += "\n";
                column = 0;
            }
        }
        if (column != 0) out += "\n";
        out += "\n";
    }

    out += "Binary Images:\n";
    std::vector<const ZVCrashReportBinaryImageInfo*> images;
    images.reserve(report.images().size());
    for (const auto& image : report.images()) images.push_back(&image);
    std::stable_sort(images.begin(), images.end(),
                     [](const auto* a, const auto* b) { return a->imageBaseAddress() < b->imageBaseAddress(); });
    const int width = codeType.lp64 ? 18 : 10;
    const ZVCrashReportBinaryImageInfo* previous = nullptr;
    for (const auto* image : images) {
        if (previous != nullptr && previous->imageBaseAddress() == image->imageBaseAddress()) continue;
        previous = image;
        uint64_t base = image->imageBaseAddress();
        uint64_t end = image->imageSize() == 0 ? base : base + image->imageSize() - 1;
        bool isMain = process && process->processPath() && *process->processPath() == image->imageName();
        out += paddedHex(base, width) + " - " + paddedHex(end, width) + " " + (isMain ? "+" : " ") + lastPathComponent(image->imageName()) +
               " " + architectureName(image->codeType()) + "  <" + orUnknown(image->imageUUID()) + "> " + image->imageName() + "\n";
    }
    return out;
}

}  // namespace zvcrash
