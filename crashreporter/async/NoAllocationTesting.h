// Test support: shuts the allocator of a test program built with the interposing allocator of
// crash_noalloc_test. While a NoAllocation is alive, any malloc, free, operator new or delete
// (aligned ones included) prints "allocation while forbidden: <what>" and aborts.
#pragma once

namespace zvcrash::testing {

void setAllocationForbidden(bool forbidden);

class NoAllocation {
public:
    NoAllocation() { setAllocationForbidden(true); }
    ~NoAllocation() { setAllocationForbidden(false); }
    NoAllocation(const NoAllocation&) = delete;
    NoAllocation& operator=(const NoAllocation&) = delete;
};

}  // namespace zvcrash::testing
