#include "RideZav/exceptions/PlatformError.h"

#include <cstdlib>
#include <typeinfo>

#include <cxxabi.h>
#include <dlfcn.h>
#include <execinfo.h>

#include "RideZav/core/RideZavTypeName.h"
#include "platform/base/Error.h"

namespace ridezav {

namespace {

std::string dottedDomain(const std::string& qualified) {
    std::string out;
    for (std::size_t i = 0; i < qualified.size(); ++i) {
        if (qualified.compare(i, 2, "::") == 0) {
            out.push_back('.');
            ++i;
        } else {
            out.push_back(qualified[i]);
        }
    }
    return out;
}

}  // namespace

PlatformError::PlatformError(std::string domain, std::int64_t code, std::string localizedDescription,
                             std::shared_ptr<PlatformError> underlyingError)
    : domain_(std::move(domain)),
      code_(code),
      localizedDescription_(std::move(localizedDescription)),
      underlyingError_(std::move(underlyingError)) {}

PlatformError PlatformError::bridge(const std::exception& error) {
    if (const auto* platform = dynamic_cast<const PlatformError*>(&error)) return *platform;
    if (const auto* project = dynamic_cast<const velmo::Error*>(&error)) {
        PlatformError out(project->domain(), project->code(), project->localizedDescription());
        if (typeid(*project) != typeid(velmo::Error)) out.setTypeName(unqualifiedTypeName(typeid(*project)));
        return out;
    }
    const std::string qualified = demangledTypeName(typeid(error));
    PlatformError out(dottedDomain(qualified), 0, error.what() ? error.what() : "");
    out.setTypeName(withoutQualifier(qualified));
    return out;
}

PlatformError PlatformError::bridge(const std::exception_ptr& error) {
    if (!error) return PlatformError("", 0);
    try {
        std::rethrow_exception(error);
    } catch (const std::exception& caught) {
        return bridge(caught);
    } catch (...) {
        const std::type_info* type = abi::__cxa_current_exception_type();
        const std::string qualified = type ? demangledTypeName(*type) : "unknown";
        PlatformError out(dottedDomain(qualified), 0);
        out.setTypeName(withoutQualifier(qualified));
        return out;
    }
}

PlatformException::PlatformException(std::string name, std::optional<std::string> reason,
                                     std::shared_ptr<PlatformException> underlyingException)
    : name_(std::move(name)),
      reason_(std::move(reason)),
      underlying_(std::move(underlyingException)) {}

void PlatformException::raise() {
    returnAddresses_ = currentCallStackReturnAddresses();
    throw *this;
}

void PlatformException::raise(std::string name, std::optional<std::string> reason, std::shared_ptr<PlatformException> underlyingException) {
    PlatformException(std::move(name), std::move(reason), std::move(underlyingException)).raise();
}

std::vector<std::uintptr_t> currentCallStackReturnAddresses() {
    constexpr int kMaxFrames = 256;
    void* frames[kMaxFrames];
    const int count = ::backtrace(frames, kMaxFrames);
    // Where backtrace is wrapped (sanitizer runtimes), the wrapper's frames come first: the
    // stack starts at the first frame of this function's own image.
    Dl_info self{};
    const void* ownImage = ::dladdr(reinterpret_cast<const void*>(&currentCallStackReturnAddresses), &self) ? self.dli_fbase : nullptr;
    int first = 0;
    while (ownImage && first < count) {
        Dl_info info{};
        if (::dladdr(frames[first], &info) && info.dli_fbase == ownImage) break;
        ++first;
    }
    if (first == count) first = 0;
    std::vector<std::uintptr_t> out;
    out.reserve(static_cast<std::size_t>(count > first ? count - first : 0));
    for (int i = first; i < count; ++i) out.push_back(reinterpret_cast<std::uintptr_t>(frames[i]));
    return out;
}

}  // namespace ridezav
