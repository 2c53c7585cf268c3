#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "RideZav/core/RideZavValue.h"
#include "RideZav/exceptions/PlatformError.h"
#include "RideZav/exceptions/RideZavBinaryImageInfo.h"
#include "RideZav/exceptions/RideZavStackFrame.h"

namespace ridezav {

class RideZavErrorTrackingConfig;

// The "$exception_list" of a caught error: one dictionary per link of its chain of underlying
// errors, outermost first; the chain is followed by identity, so a cycle ends it.
Array exceptionListForError(const PlatformError& error, bool handled, const std::string& mechanismType,
                            const RideZavErrorTrackingConfig& config);
// The same for a platform exception and its underlying exceptions.
Array exceptionListForPlatformException(const PlatformException& exception, bool handled, const std::string& mechanismType,
                                        const RideZavErrorTrackingConfig& config);

// One link: "type", "value", "module" (when the domain has one), "thread_id", "mechanism" and,
// from the calling thread's stack, "stacktrace".
Object exceptionForError(const PlatformError& error, bool handled, const std::string& mechanismType,
                         const RideZavErrorTrackingConfig& config);
// One link: the stack is the exception's own when it was raised ("synthetic" false), else the
// calling thread's ("synthetic" true).
Object exceptionForPlatformException(const PlatformException& exception, bool handled, const std::string& mechanismType,
                                     const RideZavErrorTrackingConfig& config);

// The debug description, else the localized one, else "Error"; then " (Code: <code>)".
std::string errorValueDescription(const PlatformError& error);
// The domain before its last "."; none when there is no such text.
std::optional<std::string> errorModule(const PlatformError& error);

// The calling thread's stack, the library's own leading frames skipped; none without frames.
std::optional<Object> currentThreadStacktrace(const RideZavErrorTrackingConfig& config);
// {"frames", "type": "raw"} of the addresses, nothing skipped; none for no frames.
std::optional<Object> stacktraceForReturnAddresses(const std::vector<std::uintptr_t>& addresses, const RideZavErrorTrackingConfig& config);
// Frames of the addresses the dynamic loader can place; while `skipLibraryFrames` holds, leading
// frames of the library's own image are dropped.
std::vector<RideZavStackFrame> framesForReturnAddresses(const std::vector<std::uintptr_t>& addresses, bool skipLibraryFrames,
                                                        const RideZavErrorTrackingConfig& config);
// Whether a module is the library's own image: "RideZav", "RideZav.*", or as a shared object
// "libRideZav.so" and its versioned names. Linked statically, its frames carry the program's name.
bool isLibraryModule(std::string_view module);

// Sets "$exception_list" and, when frames point into loaded images, "$debug_images"; an empty
// list changes nothing.
void addExceptionProperties(const Array& exceptionList, Object& properties);
// The dictionaries of the loaded images that the list's frames point into.
Array debugImagesForExceptions(const Array& exceptionList);

// The thread id of the calling thread (gettid).
std::int64_t currentThreadId();

}  // namespace ridezav
