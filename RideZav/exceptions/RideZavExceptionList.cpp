#include "RideZav/exceptions/RideZavExceptionList.h"

#include <dlfcn.h>
#include <unistd.h>

#include <charconv>
#include <unordered_set>

#include "RideZav/exceptions/LoadedBinaryImages.h"
#include "RideZav/integrations/RideZavErrorTrackingConfig.h"

namespace ridezav {

namespace {

template <class Link, class Next>
std::vector<const Link*> chainOf(const Link& first, Next next) {
    std::vector<const Link*> chain{&first};
    std::unordered_set<const Link*> seen{&first};
    for (const Link* link = next(first); link && seen.insert(link).second; link = next(*link)) chain.push_back(link);
    return chain;
}

Object mechanism(const std::string& type, bool handled, bool synthetic) {
    return Object{{"type", type}, {"handled", handled}, {"synthetic", synthetic}};
}

std::optional<Object> wrapFrames(const std::vector<RideZavStackFrame>& frames) {
    if (frames.empty()) return std::nullopt;
    Array dictionaries;
    dictionaries.reserve(frames.size());
    for (const auto& frame : frames) dictionaries.emplace_back(frame.toDictionary());
    return Object{{"frames", std::move(dictionaries)}, {"type", "raw"}};
}

std::string lastPathComponent(const std::string& path) {
    const auto slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::optional<std::uint64_t> parseHexAddress(std::string_view text) {
    if (text.starts_with("0x") || text.starts_with("0X")) text.remove_prefix(2);
    if (text.empty()) return std::nullopt;
    std::uint64_t value = 0;
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, 16);
    if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
    return value;
}

}  // namespace

std::int64_t currentThreadId() { return static_cast<std::int64_t>(::gettid()); }

Array exceptionListForError(const PlatformError& error, bool handled, const std::string& mechanismType,
                            const RideZavErrorTrackingConfig& config) {
    Array list;
    for (const auto* link : chainOf(error, [](const PlatformError& e) { return e.underlyingError().get(); }))
        list.emplace_back(exceptionForError(*link, handled, mechanismType, config));
    return list;
}

Array exceptionListForPlatformException(const PlatformException& exception, bool handled, const std::string& mechanismType,
                                        const RideZavErrorTrackingConfig& config) {
    Array list;
    for (const auto* link : chainOf(exception, [](const PlatformException& e) { return e.underlyingException().get(); }))
        list.emplace_back(exceptionForPlatformException(*link, handled, mechanismType, config));
    return list;
}

Object exceptionForError(const PlatformError& error, bool handled, const std::string& mechanismType,
                         const RideZavErrorTrackingConfig& config) {
    Object out;
    out.append("type", error.typeName() == PlatformError::plainTypeName ? error.domain() : error.typeName());
    out.append("value", errorValueDescription(error));
    if (auto module = errorModule(error)) out.append("module", *module);
    out.append("thread_id", currentThreadId());
    out.append("mechanism", mechanism(mechanismType, handled, true));
    if (auto stack = currentThreadStacktrace(config)) out.append("stacktrace", std::move(*stack));
    return out;
}

Object exceptionForPlatformException(const PlatformException& exception, bool handled, const std::string& mechanismType,
                                     const RideZavErrorTrackingConfig& config) {
    Object out;
    out.append("thread_id", currentThreadId());
    if (!exception.name().empty()) out.append("type", exception.name());
    if (exception.reason() && !exception.reason()->empty()) out.append("value", *exception.reason());
    std::optional<Object> stack;
    bool synthetic = true;
    if (!exception.callStackReturnAddresses().empty()) {
        stack = stacktraceForReturnAddresses(exception.callStackReturnAddresses(), config);
        synthetic = false;
    } else {
        stack = currentThreadStacktrace(config);
    }
    out.append("mechanism", mechanism(mechanismType, handled, synthetic));
    if (stack) out.append("stacktrace", std::move(*stack));
    return out;
}

std::string errorValueDescription(const PlatformError& error) {
    std::string text;
    if (error.debugDescription() && !error.debugDescription()->empty())
        text = *error.debugDescription();
    else if (!error.localizedDescription().empty())
        text = error.localizedDescription();
    else
        text = "Error";
    return text + " (Code: " + std::to_string(error.code()) + ")";
}

std::optional<std::string> errorModule(const PlatformError& error) {
    const auto dot = error.domain().rfind('.');
    if (dot == std::string::npos || dot == 0) return std::nullopt;
    return error.domain().substr(0, dot);
}

std::optional<Object> currentThreadStacktrace(const RideZavErrorTrackingConfig& config) {
    return wrapFrames(framesForReturnAddresses(currentCallStackReturnAddresses(), true, config));
}

std::optional<Object> stacktraceForReturnAddresses(const std::vector<std::uintptr_t>& addresses, const RideZavErrorTrackingConfig& config) {
    if (addresses.empty()) return std::nullopt;
    return wrapFrames(framesForReturnAddresses(addresses, false, config));
}

bool isLibraryModule(std::string_view module) {
    return module == "RideZav" || module.starts_with("RideZav.") || module == "libRideZav.so" || module.starts_with("libRideZav.so.");
}

std::vector<RideZavStackFrame> framesForReturnAddresses(const std::vector<std::uintptr_t>& addresses, bool skipLibraryFrames,
                                                        const RideZavErrorTrackingConfig& config) {
    std::vector<RideZavStackFrame> frames;
    frames.reserve(addresses.size());
    bool skipping = skipLibraryFrames;
    const std::uintptr_t programBase = mainProgramBase();
    for (const auto address : addresses) {
        Dl_info info{};
        if (::dladdr(reinterpret_cast<const void*>(address), &info) == 0) continue;
        RideZavStackFrame frame;
        frame.instructionAddress = address;
        if (!info.dli_fname || !*info.dli_fname) {
            frame.inApp = false;
            frames.push_back(std::move(frame));
            skipping = false;
            continue;
        }
        const auto base = reinterpret_cast<std::uintptr_t>(info.dli_fbase);
        // The loader names the program by how it was started; its images are named by the file.
        const std::string path = base == programBase ? mainProgramPath() : info.dli_fname;
        frame.module = lastPathComponent(path);
        frame.package = path;
        frame.imageAddress = base;
        frame.inApp = isInApp(frame.module, config);
        if (skipping && isLibraryModule(*frame.module)) continue;
        skipping = false;
        if (info.dli_sname) {
            frame.function = info.dli_sname;
            frame.symbolAddress = reinterpret_cast<std::uintptr_t>(info.dli_saddr);
        }
        frames.push_back(std::move(frame));
    }
    return frames;
}

void addExceptionProperties(const Array& exceptionList, Object& properties) {
    if (exceptionList.empty()) return;
    properties.set("$exception_list", exceptionList);
    auto images = debugImagesForExceptions(exceptionList);
    if (!images.empty()) properties.set("$debug_images", std::move(images));
}

Array debugImagesForExceptions(const Array& exceptionList) {
    std::unordered_set<std::uint64_t> addresses;
    for (const auto& exception : exceptionList) {
        const auto* object = exception.get<Object>();
        const Value* stack = object ? object->find("stacktrace") : nullptr;
        const auto* stackObject = stack ? stack->get<Object>() : nullptr;
        const Value* frames = stackObject ? stackObject->find("frames") : nullptr;
        const auto* frameList = frames ? frames->get<Array>() : nullptr;
        if (!frameList) continue;
        for (const auto& frame : *frameList) {
            const auto* frameObject = frame.get<Object>();
            const Value* imageAddress = frameObject ? frameObject->find("image_addr") : nullptr;
            const auto* text = imageAddress ? imageAddress->get<std::string>() : nullptr;
            if (!text) continue;
            if (auto parsed = parseHexAddress(*text)) addresses.insert(*parsed);
        }
    }
    Array images;
    for (const auto& image : loadedBinaryImages(addresses)) images.emplace_back(image.toDictionary());
    return images;
}

}  // namespace ridezav
