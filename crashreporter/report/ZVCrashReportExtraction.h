// The reader's steps from a decoded message to the report's values. Each step fails with
// ZVCrashReportExtractionError, whose message is the error text the reader reports; a null
// section is the section missing.
#pragma once

#include <stdexcept>

#include "crashreporter/report/ZVCrashReport.h"
#include "crashreporter/report/zvcrash.pb-c.h"

namespace zvcrash::extraction {

class ZVCrashReportExtractionError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Builds the report from a decoded message (after the header and unpacking).
ZVCrashReport extractReport(const Zvcrash__CrashReport& message);

std::optional<ZVCrashReportProcessorInfo> synthesizeProcessorInfoFromArchitecture(uint32_t architecture);
ZVCrashReportProcessorInfo extractProcessorInfo(const Zvcrash__CrashReport__Processor* processor);
ZVCrashReportSystemInfo extractSystemInfo(const Zvcrash__CrashReport__SystemInfo* systemInfo,
                                          const std::optional<ZVCrashReportProcessorInfo>& processorInfo);
ZVCrashReportMachineInfo extractMachineInfo(const Zvcrash__CrashReport__MachineInfo* machineInfo);
ZVCrashReportApplicationInfo extractApplicationInfo(const Zvcrash__CrashReport__ApplicationInfo* applicationInfo);
ZVCrashReportProcessInfo extractProcessInfo(const Zvcrash__CrashReport__ProcessInfo* processInfo);
ZVCrashReportSymbolInfo extractSymbolInfo(const Zvcrash__CrashReport__Symbol* symbol);
// pcMask is applied to the frame's instruction pointer.
ZVCrashReportStackFrameInfo extractStackFrameInfo(const Zvcrash__CrashReport__Thread__StackFrame* frame, uint64_t pcMask);
ZVCrashReportThreadInfo extractThreadInfo(const Zvcrash__CrashReport__Thread* thread, uint64_t pcMask);
ZVCrashReportBinaryImageInfo extractImageInfo(const Zvcrash__CrashReport__BinaryImage* image);
ZVCrashReportExceptionInfo extractExceptionInfo(const Zvcrash__CrashReport__Exception* exception, uint64_t pcMask);
ZVCrashReportSignalInfo extractSignalInfo(const Zvcrash__CrashReport__Signal* signal);
ZVCrashReportMachExceptionInfo extractMachExceptionInfo(const Zvcrash__CrashReport__Signal__MachException* machException);

}  // namespace zvcrash::extraction
