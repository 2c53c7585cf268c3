#include "RideZav/exceptions/LibraryStackProbe.h"

#include <dlfcn.h>
#include <execinfo.h>

extern "C" {

__attribute__((noinline)) std::vector<std::uintptr_t>* velmoProbeReturnAddresses() {
    void* frames[64];
    const int count = ::backtrace(frames, 64);
    // A sanitizer's wrapper of backtrace may come first; the stack starts in this object.
    Dl_info self{};
    dladdr(reinterpret_cast<const void*>(&velmoProbeReturnAddresses), &self);
    int first = 0;
    for (Dl_info info{}; first < count && !(dladdr(frames[first], &info) && info.dli_fbase == self.dli_fbase);) ++first;
    auto* out = new std::vector<std::uintptr_t>();
    for (int i = first; i < count; ++i) out->push_back(reinterpret_cast<std::uintptr_t>(frames[i]));
    return out;
}

__attribute__((noinline)) std::vector<std::uintptr_t>* velmoProbeCallThrough(std::vector<std::uintptr_t>* (*body)()) {
    auto* result = body();
    asm volatile("" ::: "memory");  // keep this frame on the stack (no tail call)
    return result;
}
}
