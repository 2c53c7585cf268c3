#include "crashreporter/ZVCrashMachExceptionPortSet.h"

#include <stdexcept>
#include <string>

namespace zvcrash {

namespace {
std::string tooMany(const char* what, size_t count) {
    return std::string(what) + " of " + std::to_string(count) + " exceeds EXC_TYPES_COUNT (" + std::to_string(ZVCRASH_EXC_TYPES_COUNT) +
           ")";
}
}  // namespace

ZVCrashMachExceptionPortSet::ZVCrashMachExceptionPortSet(std::vector<ZVCrashMachExceptionPort> ports)
    : ports_(std::move(ports)) {
    if (ports_.size() > ZVCRASH_EXC_TYPES_COUNT) throw std::length_error(tooMany("Set size", ports_.size()));
    for (const auto& port : ports_) {
        const uint32_t i = record_.count++;
        record_.masks[i] = port.mask();
        record_.ports[i] = port.serverPort();
        record_.behaviors[i] = port.behavior();
        record_.flavors[i] = port.flavor();
    }
}

ZVCrashMachExceptionPortSet::ZVCrashMachExceptionPortSet(const zvcrash_mach_exception_port_set& record)
    : record_(record) {
    if (record.count > ZVCRASH_EXC_TYPES_COUNT) throw std::length_error(tooMany("Count", record.count));
    for (uint32_t i = 0; i < record.count; ++i) {
        ports_.emplace_back(record.ports[i], record.masks[i], record.behaviors[i], record.flavors[i]);
    }
}

}  // namespace zvcrash
