// Test support: crash report files made from report values with the writer's own encoder, and
// the fixed reports the tests, the fuzz corpus and the benchmark use.
#pragma once

#include <cstdint>
#include <vector>

#include "crashreporter/report/ZVCrashReport.h"

namespace zvcrash::testing {

// The file the writer makes for these values: the header, then the fields in the writer's order.
// Absent texts are written as empty ones, an absent process start time as 0 and an absent image
// code type as Mach type and subtype 0, as the writer does.
std::vector<uint8_t> encodeCrashReport(const ZVCrashReport& report, bool userRequested = false);

// Every field of every section set (x86-64, so nothing is masked).
ZVCrashReport fullCrashReport();

// The formatter's fixture: no process information, two images on one base, a crashed thread with
// five registers, an uncaught exception with frames.
ZVCrashReport fixtureCrashReport();

// threads threads of frames frames each (every frame symbolicated), over images images.
ZVCrashReport largeCrashReport(size_t threads, size_t frames, size_t images);

}  // namespace zvcrash::testing
