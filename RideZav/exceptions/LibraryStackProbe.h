#pragma once

// Test support: a shared object named like the library's own image ("libRideZav.so"), whose
// frames a live stack must skip while they lead it.

#include <cstdint>
#include <vector>

extern "C" {
// The calling thread's return addresses, innermost first, recorded inside the shared object.
std::vector<std::uintptr_t>* velmoProbeReturnAddresses();
// Calls `body` from inside the shared object and returns what it returned.
std::vector<std::uintptr_t>* velmoProbeCallThrough(std::vector<std::uintptr_t>* (*body)());
}
