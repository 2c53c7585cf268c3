#include "RideZav/exceptions/RideZavCrashReportConversion.h"

#include <unordered_set>

#include "RideZav/exceptions/RideZavBinaryImageInfo.h"
#include "RideZav/integrations/RideZavErrorTrackingConfig.h"
#include "crashreporter/report/ZVCrashReport.h"

namespace ridezav {

namespace {

std::string lastPathComponent(const std::string& path) {
    const auto slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace

const zvcrash::ZVCrashReportThreadInfo* crashedThread(const zvcrash::ZVCrashReport& report) {
    const auto& threads = report.threads();
    for (const auto& thread : threads)
        if (thread.crashed()) return &thread;
    return threads.empty() ? nullptr : &threads.front();
}

std::vector<RideZavStackFrame> crashReportFrames(const zvcrash::ZVCrashReport& report, const RideZavErrorTrackingConfig& config) {
    const std::vector<zvcrash::ZVCrashReportStackFrameInfo>* source = nullptr;
    if (const auto& exception = report.exceptionInfo(); exception && exception->stackFrames() && !exception->stackFrames()->empty())
        source = &*exception->stackFrames();
    else if (const auto* thread = crashedThread(report))
        source = &thread->stackFrames();
    std::vector<RideZavStackFrame> frames;
    if (!source) return frames;
    frames.reserve(source->size());
    for (const auto& info : *source) {
        RideZavStackFrame frame;
        frame.instructionAddress = info.instructionPointer();
        if (const auto* image = report.imageForAddress(info.instructionPointer())) {
            frame.imageAddress = image->imageBaseAddress();
            if (!image->imageName().empty()) {
                frame.module = lastPathComponent(image->imageName());
                frame.package = frame.module;
            }
        }
        if (const auto& symbol = info.symbolInfo()) {
            if (!symbol->symbolName().empty()) frame.function = symbol->symbolName();
            frame.symbolAddress = symbol->startAddress();
        }
        frame.inApp = isInApp(frame.module, config);
        frames.push_back(std::move(frame));
    }
    return frames;
}

Object crashReportException(const zvcrash::ZVCrashReport& report, const std::vector<RideZavStackFrame>& frames) {
    Object exception;
    if (const auto& info = report.exceptionInfo()) {
        exception.append("type", info->exceptionName());
        exception.append("value", info->exceptionReason());
        exception.append("mechanism", Object{{"type", "nsexception"}, {"handled", false}, {"synthetic", false}});
    } else {
        const auto& signal = report.signalInfo();
        exception.append("type", signal.name());
        exception.append("value", signal.name() + " (code " + signal.code() + ") at address " + hexAddress(signal.address()));
        Object meta;
        if (!signal.code().empty()) meta.append("code", signal.code());
        if (!signal.name().empty()) meta.append("name", signal.name());
        exception.append(
            "mechanism",
            Object{{"type", "signal"}, {"handled", false}, {"synthetic", false}, {"meta", Object{{"signal", std::move(meta)}}}});
    }
    if (!frames.empty()) {
        Array dictionaries;
        dictionaries.reserve(frames.size());
        for (const auto& frame : frames) dictionaries.emplace_back(frame.toDictionary());
        exception.append("stacktrace", Object{{"frames", std::move(dictionaries)}, {"type", "raw"}});
    }
    if (const auto* thread = crashedThread(report)) exception.append("thread_id", thread->threadNumber());
    return exception;
}

Array crashReportDebugImages(const zvcrash::ZVCrashReport& report, const std::vector<RideZavStackFrame>& frames) {
    std::unordered_set<std::uint64_t> addresses;
    for (const auto& frame : frames)
        if (frame.imageAddress) addresses.insert(*frame.imageAddress);
    Array images;
    if (addresses.empty()) return images;
    for (const auto& image : report.images()) {
        if (image.imageName().empty() || !addresses.contains(image.imageBaseAddress())) continue;
        RideZavBinaryImageInfo info;
        info.name = image.imageName();
        if (image.imageUUID()) info.uuid = normalizedImageUUID(*image.imageUUID());
        info.address = image.imageBaseAddress();
        info.size = image.imageSize();
        // The writer records an ELF image's machine as the matching Mach-O CPU type and subtype,
        // so one table names both.
        if (const auto& code = image.codeType())
            info.arch = archNameForMachO(static_cast<std::int64_t>(code->type()), static_cast<std::int64_t>(code->subtype()));
        // "macho" stays the image type of every crash-report image, ELF ones included: the
        // ingestion side keys its symbol look-up on the debug id (the ELF build-id's first 16
        // bytes), not on the container format.
        info.type = "macho";
        images.emplace_back(info.toDictionary());
    }
    return images;
}

Object exceptionProperties(const zvcrash::ZVCrashReport& report, const RideZavErrorTrackingConfig& config) {
    Object properties{{"$exception_level", "fatal"}};
    const auto frames = crashReportFrames(report, config);
    properties.append("$exception_list", Array{Value(crashReportException(report, frames))});
    if (auto images = crashReportDebugImages(report, frames); !images.empty()) properties.append("$debug_images", std::move(images));
    return properties;
}

}  // namespace ridezav
