#include "crashreporter/async/SimulatedTask.h"

#include <cstring>
#include <stdexcept>

namespace zvcrash::testing {

SimulatedTask::SimulatedTask(uint64_t pageSize)
    : record_{{&SimulatedTask::read, pageSize}, this} {}

void SimulatedTask::map(uint64_t address, std::vector<uint8_t> bytes, bool readable) {
    regions_[address] = Region{std::move(bytes), readable};
}

void SimulatedTask::mapZeroes(uint64_t address, uint64_t length, bool readable) { map(address, std::vector<uint8_t>(length), readable); }

void SimulatedTask::unmap(uint64_t address) { regions_.erase(address); }

std::vector<uint8_t>& SimulatedTask::bytesAt(uint64_t address) {
    auto it = regions_.find(address);
    if (it == regions_.end()) throw std::out_of_range("no simulated region starts at that address");
    return it->second.bytes;
}

zvcrash_error_t SimulatedTask::read(const zvcrash_async_task* task, uint64_t address, void* dest, size_t length) {
    const auto* self = reinterpret_cast<const Record*>(task)->owner;
    auto* out = static_cast<uint8_t*>(dest);
    // Walk the regions the range crosses; a gap is unmapped memory.
    while (length > 0) {
        auto it = self->regions_.upper_bound(address);
        if (it == self->regions_.begin()) return ZVCRASH_ERR_NOTFOUND;
        --it;
        const uint64_t start = it->first;
        const Region& region = it->second;
        if (address - start >= region.bytes.size()) return ZVCRASH_ERR_NOTFOUND;
        if (!region.readable) return ZVCRASH_ERR_ACCESS;
        const uint64_t available = region.bytes.size() - (address - start);
        const size_t piece = length < available ? length : static_cast<size_t>(available);
        std::memcpy(out, region.bytes.data() + (address - start), piece);
        out += piece;
        address += piece;
        length -= piece;
    }
    return ZVCRASH_OK;
}

}  // namespace zvcrash::testing
