// The exception ports that were registered for a task before the reporter's own: kept as objects
// for the reporter and as a plain record for the crash path.
#pragma once

#include <cstdint>
#include <vector>

#include "crashreporter/async/zvcrash_async_mach_exception.h"

namespace zvcrash {

// One exception-port registration: which exceptions go to which port, and how.
class ZVCrashMachExceptionPort {
public:
    ZVCrashMachExceptionPort(uint32_t serverPort, uint32_t mask, int32_t behavior, int32_t flavor)
        : serverPort_(serverPort),
          mask_(mask),
          behavior_(behavior),
          flavor_(flavor) {}

    uint32_t serverPort() const { return serverPort_; }
    uint32_t mask() const { return mask_; }
    int32_t behavior() const { return behavior_; }
    int32_t flavor() const { return flavor_; }

    friend bool operator==(const ZVCrashMachExceptionPort&, const ZVCrashMachExceptionPort&) = default;

private:
    uint32_t serverPort_;
    uint32_t mask_;
    int32_t behavior_;
    int32_t flavor_;
};

class ZVCrashMachExceptionPortSet {
public:
    // At most ZVCRASH_EXC_TYPES_COUNT ports; more throws std::length_error
    // ("Set size of 15 exceeds EXC_TYPES_COUNT (14)").
    explicit ZVCrashMachExceptionPortSet(std::vector<ZVCrashMachExceptionPort> ports);
    // A count above ZVCRASH_EXC_TYPES_COUNT throws std::length_error
    // ("Count of 15 exceeds EXC_TYPES_COUNT (14)").
    explicit ZVCrashMachExceptionPortSet(const zvcrash_mach_exception_port_set& record);

    const std::vector<ZVCrashMachExceptionPort>& set() const { return ports_; }
    zvcrash_mach_exception_port_set asyncSafeRepresentation() const { return record_; }

    auto begin() const { return ports_.begin(); }
    auto end() const { return ports_.end(); }

private:
    std::vector<ZVCrashMachExceptionPort> ports_;
    zvcrash_mach_exception_port_set record_{};
};

}  // namespace zvcrash
