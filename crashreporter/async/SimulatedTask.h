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
    // Not safe at crash time: set up before the code under test runs.
    explicit SimulatedTask(uint64_t pageSize = 4096);
    // Not copied: the task record points back at its owner.
    SimulatedTask(const SimulatedTask&) = delete;
    SimulatedTask& operator=(const SimulatedTask&) = delete;

    // Places bytes at address (replacing any region that starts there). Regions must not overlap.
    // Not safe at crash time: allocates; called only while a test builds its fixture.
    void map(uint64_t address, std::vector<uint8_t> bytes, bool readable = true);
    // A region of length zero bytes. Not safe at crash time: allocates; fixture set-up only.
    void mapZeroes(uint64_t address, uint64_t length, bool readable = true);
    // Not safe at crash time: frees; fixture set-up only.
    void unmap(uint64_t address);

    // The region's bytes, to patch a fixture in place. Not safe at crash time: throws for an
    // address no region starts at; fixture set-up only.
    std::vector<uint8_t>& bytesAt(uint64_t address);

    // Safe at crash time.
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
