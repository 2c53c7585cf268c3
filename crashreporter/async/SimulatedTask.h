// A sparse simulated task for tests: regions of bytes at chosen addresses, each readable or not;
// every other address is unmapped. Test support: regions are made before the code under test runs
// (not safe at crash time: they allocate); the task's reads allocate nothing and are safe at
// crash time.
#pragma once

#include <cstdint>
#include <map>
#include <vector>

#include "crashreporter/async/zvcrash_async.h"

namespace zvcrash::testing {

class SimulatedTask {
public:
    explicit SimulatedTask(uint64_t pageSize = 4096);
    SimulatedTask(const SimulatedTask&) = delete;
    SimulatedTask& operator=(const SimulatedTask&) = delete;

    // Places bytes at address (replacing any region that starts there). Regions must not overlap.
    void map(uint64_t address, std::vector<uint8_t> bytes, bool readable = true);
    // A region of length zero bytes.
    void mapZeroes(uint64_t address, uint64_t length, bool readable = true);
    void unmap(uint64_t address);

    // The region's bytes, to patch a fixture in place.
    std::vector<uint8_t>& bytesAt(uint64_t address);

    zvcrash_async_task_t task() const { return &record_.base; }

private:
    struct Region {
        std::vector<uint8_t> bytes;
        bool readable;
    };
    struct Record {
        zvcrash_async_task base;
        const SimulatedTask* owner;
    };
    static zvcrash_error_t read(const zvcrash_async_task* task, uint64_t address, void* dest, size_t length);

    std::map<uint64_t, Region> regions_;
    Record record_;
};

}  // namespace zvcrash::testing
