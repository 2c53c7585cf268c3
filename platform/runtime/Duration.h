#pragma once

#include <chrono>

namespace velmo {

// Every delay, interval and timeout of the project is a duration. Seconds in double precision
// take any std::chrono duration without a cast (`0.3s`, `1500ms`), but never a bare number, so
// a delay cannot be passed in the wrong unit.
using Seconds = std::chrono::duration<double>;

}  // namespace velmo
