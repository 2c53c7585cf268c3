#include "RideZav/exceptions/LibraryStackProbe.h"

#include <execinfo.h>

extern "C" {

__attribute__((noinline)) std::vector<std::uintptr_t>* velmoProbeReturnAddresses() {
    void* frames[64];
    const int count = ::backtrace(frames, 64);
    auto* out = new std::vector<std::uintptr_t>();
    for (int i = 0; i < count; ++i) out->push_back(reinterpret_cast<std::uintptr_t>(frames[i]));
    return out;
}

__attribute__((noinline)) std::vector<std::uintptr_t>* velmoProbeCallThrough(std::vector<std::uintptr_t>* (*body)()) {
    auto* result = body();
    asm volatile("" ::: "memory");  // keep this frame on the stack (no tail call)
    return result;
}

}
