// A stored crash report read back into immutable values, for the next launch to look at.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "platform/base/Error.h"
#include "platform/base/UUID.h"

namespace zvcrash {

// The domain of every error of the crash reporter.
extern const char* const ZVCrashReporterErrorDomain;
// The code of a stored report that cannot be used.
constexpr long ZVCrashReporterErrorCrashReportInvalid = 2;

using ZVCrashReportDate = std::chrono::system_clock::time_point;

class ZVCrashReportProcessorInfo {
public:
    ZVCrashReportProcessorInfo(uint32_t typeEncoding, uint64_t type, uint64_t subtype)
        : typeEncoding_(typeEncoding),
          type_(type),
          subtype_(subtype) {}
    // 1 when type and subtype are Mach CPU type and subtype values.
    uint32_t typeEncoding() const { return typeEncoding_; }
    uint64_t type() const { return type_; }
    uint64_t subtype() const { return subtype_; }
    bool operator==(const ZVCrashReportProcessorInfo&) const = default;

private:
    uint32_t typeEncoding_;
    uint64_t type_;
    uint64_t subtype_;
};

class ZVCrashReportSystemInfo {
public:
    ZVCrashReportSystemInfo(uint32_t operatingSystem, std::string operatingSystemVersion, std::optional<std::string> operatingSystemBuild,
                            uint32_t architecture, ZVCrashReportProcessorInfo processorInfo, std::optional<ZVCrashReportDate> timestamp);
    // Without a processor: the one the architecture stands for.
    ZVCrashReportSystemInfo(uint32_t operatingSystem, std::string operatingSystemVersion, std::optional<std::string> operatingSystemBuild,
                            uint32_t architecture, std::optional<ZVCrashReportDate> timestamp);
    ZVCrashReportSystemInfo(uint32_t operatingSystem, std::string operatingSystemVersion, uint32_t architecture,
                            std::optional<ZVCrashReportDate> timestamp);

    uint32_t operatingSystem() const { return operatingSystem_; }
    const std::string& operatingSystemVersion() const { return osVersion_; }
    const std::optional<std::string>& operatingSystemBuild() const { return osBuild_; }
    uint32_t architecture() const { return architecture_; }
    const std::optional<ZVCrashReportDate>& timestamp() const { return timestamp_; }
    const ZVCrashReportProcessorInfo& processorInfo() const { return processorInfo_; }
    bool operator==(const ZVCrashReportSystemInfo&) const = default;

private:
    uint32_t operatingSystem_;
    std::string osVersion_;
    std::optional<std::string> osBuild_;
    uint32_t architecture_;
    std::optional<ZVCrashReportDate> timestamp_;
    ZVCrashReportProcessorInfo processorInfo_;
};

class ZVCrashReportMachineInfo {
public:
    ZVCrashReportMachineInfo(std::optional<std::string> modelName, ZVCrashReportProcessorInfo processorInfo, uint64_t processorCount,
                             uint64_t logicalProcessorCount)
        : modelName_(std::move(modelName)),
          processorInfo_(processorInfo),
          processorCount_(processorCount),
          logicalProcessorCount_(logicalProcessorCount) {}
    const std::optional<std::string>& modelName() const { return modelName_; }
    const ZVCrashReportProcessorInfo& processorInfo() const { return processorInfo_; }
    uint64_t processorCount() const { return processorCount_; }
    uint64_t logicalProcessorCount() const { return logicalProcessorCount_; }
    bool operator==(const ZVCrashReportMachineInfo&) const = default;

private:
    std::optional<std::string> modelName_;
    ZVCrashReportProcessorInfo processorInfo_;
    uint64_t processorCount_;
    uint64_t logicalProcessorCount_;
};

class ZVCrashReportApplicationInfo {
public:
    ZVCrashReportApplicationInfo(std::string applicationIdentifier, std::string applicationVersion,
                                 std::optional<std::string> applicationMarketingVersion)
        : applicationIdentifier_(std::move(applicationIdentifier)),
          applicationVersion_(std::move(applicationVersion)),
          applicationMarketingVersion_(std::move(applicationMarketingVersion)) {}
    const std::string& applicationIdentifier() const { return applicationIdentifier_; }
    const std::string& applicationVersion() const { return applicationVersion_; }
    const std::optional<std::string>& applicationMarketingVersion() const { return applicationMarketingVersion_; }
    bool operator==(const ZVCrashReportApplicationInfo&) const = default;

private:
    std::string applicationIdentifier_;
    std::string applicationVersion_;
    std::optional<std::string> applicationMarketingVersion_;
};

class ZVCrashReportProcessInfo {
public:
    ZVCrashReportProcessInfo(std::optional<std::string> processName, uint64_t processID, std::optional<std::string> processPath,
                             std::optional<ZVCrashReportDate> processStartTime, std::optional<std::string> parentProcessName,
                             uint64_t parentProcessID, bool native)
        : processName_(std::move(processName)),
          processID_(processID),
          processPath_(std::move(processPath)),
          processStartTime_(processStartTime),
          parentProcessName_(std::move(parentProcessName)),
          parentProcessID_(parentProcessID),
          native_(native) {}
    const std::optional<std::string>& processName() const { return processName_; }
    uint64_t processID() const { return processID_; }
    const std::optional<std::string>& processPath() const { return processPath_; }
    const std::optional<ZVCrashReportDate>& processStartTime() const { return processStartTime_; }
    const std::optional<std::string>& parentProcessName() const { return parentProcessName_; }
    uint64_t parentProcessID() const { return parentProcessID_; }
    bool native() const { return native_; }
    bool operator==(const ZVCrashReportProcessInfo&) const = default;

private:
    std::optional<std::string> processName_;
    uint64_t processID_;
    std::optional<std::string> processPath_;
    std::optional<ZVCrashReportDate> processStartTime_;
    std::optional<std::string> parentProcessName_;
    uint64_t parentProcessID_;
    bool native_;
};

class ZVCrashReportSymbolInfo {
public:
    ZVCrashReportSymbolInfo(std::string symbolName, uint64_t startAddress, uint64_t endAddress)
        : symbolName_(std::move(symbolName)),
          startAddress_(startAddress),
          endAddress_(endAddress) {}
    const std::string& symbolName() const { return symbolName_; }
    uint64_t startAddress() const { return startAddress_; }
    // 0 when the report has none.
    uint64_t endAddress() const { return endAddress_; }
    bool operator==(const ZVCrashReportSymbolInfo&) const = default;

private:
    std::string symbolName_;
    uint64_t startAddress_;
    uint64_t endAddress_;
};

class ZVCrashReportStackFrameInfo {
public:
    ZVCrashReportStackFrameInfo(uint64_t instructionPointer, std::optional<ZVCrashReportSymbolInfo> symbolInfo)
        : instructionPointer_(instructionPointer),
          symbolInfo_(std::move(symbolInfo)) {}
    uint64_t instructionPointer() const { return instructionPointer_; }
    const std::optional<ZVCrashReportSymbolInfo>& symbolInfo() const { return symbolInfo_; }
    bool operator==(const ZVCrashReportStackFrameInfo&) const = default;

private:
    uint64_t instructionPointer_;
    std::optional<ZVCrashReportSymbolInfo> symbolInfo_;
};

class ZVCrashReportRegisterInfo {
public:
    ZVCrashReportRegisterInfo(std::string registerName, uint64_t registerValue)
        : registerName_(std::move(registerName)),
          registerValue_(registerValue) {}
    const std::string& registerName() const { return registerName_; }
    uint64_t registerValue() const { return registerValue_; }
    bool operator==(const ZVCrashReportRegisterInfo&) const = default;

private:
    std::string registerName_;
    uint64_t registerValue_;
};

class ZVCrashReportThreadInfo {
public:
    ZVCrashReportThreadInfo(int64_t threadNumber, std::vector<ZVCrashReportStackFrameInfo> stackFrames, bool crashed,
                            std::vector<ZVCrashReportRegisterInfo> registers)
        : threadNumber_(threadNumber),
          stackFrames_(std::move(stackFrames)),
          crashed_(crashed),
          registers_(std::move(registers)) {}
    int64_t threadNumber() const { return threadNumber_; }
    const std::vector<ZVCrashReportStackFrameInfo>& stackFrames() const { return stackFrames_; }
    bool crashed() const { return crashed_; }
    const std::vector<ZVCrashReportRegisterInfo>& registers() const { return registers_; }
    bool operator==(const ZVCrashReportThreadInfo&) const = default;

private:
    int64_t threadNumber_;
    std::vector<ZVCrashReportStackFrameInfo> stackFrames_;
    bool crashed_;
    std::vector<ZVCrashReportRegisterInfo> registers_;
};

class ZVCrashReportBinaryImageInfo {
public:
    // Identifier bytes, when given and not empty, are kept as lower-case hexadecimal text.
    ZVCrashReportBinaryImageInfo(std::optional<ZVCrashReportProcessorInfo> codeType, uint64_t baseAddress, uint64_t size, std::string name,
                                 std::optional<std::vector<uint8_t>> uuid);
    const std::optional<ZVCrashReportProcessorInfo>& codeType() const { return processorInfo_; }
    uint64_t imageBaseAddress() const { return baseAddress_; }
    uint64_t imageSize() const { return imageSize_; }
    const std::string& imageName() const { return imageName_; }
    bool hasImageUUID() const { return imageUUID_.has_value(); }
    const std::optional<std::string>& imageUUID() const { return imageUUID_; }
    bool operator==(const ZVCrashReportBinaryImageInfo&) const = default;

private:
    std::optional<ZVCrashReportProcessorInfo> processorInfo_;
    uint64_t baseAddress_;
    uint64_t imageSize_;
    std::string imageName_;
    std::optional<std::string> imageUUID_;
};

class ZVCrashReportExceptionInfo {
public:
    ZVCrashReportExceptionInfo(std::string exceptionName, std::string reason,
                               std::optional<std::vector<ZVCrashReportStackFrameInfo>> stackFrames)
        : name_(std::move(exceptionName)),
          reason_(std::move(reason)),
          stackFrames_(std::move(stackFrames)) {}
    ZVCrashReportExceptionInfo(std::string exceptionName, std::string reason)
        : ZVCrashReportExceptionInfo(std::move(exceptionName), std::move(reason), std::nullopt) {}
    const std::string& exceptionName() const { return name_; }
    const std::string& exceptionReason() const { return reason_; }
    // None when the exception has no frames.
    const std::optional<std::vector<ZVCrashReportStackFrameInfo>>& stackFrames() const { return stackFrames_; }
    bool operator==(const ZVCrashReportExceptionInfo&) const = default;

private:
    std::string name_;
    std::string reason_;
    std::optional<std::vector<ZVCrashReportStackFrameInfo>> stackFrames_;
};

class ZVCrashReportSignalInfo {
public:
    ZVCrashReportSignalInfo(std::string name, std::string code, uint64_t address)
        : name_(std::move(name)),
          code_(std::move(code)),
          address_(address) {}
    const std::string& name() const { return name_; }
    const std::string& code() const { return code_; }
    uint64_t address() const { return address_; }
    bool operator==(const ZVCrashReportSignalInfo&) const = default;

private:
    std::string name_;
    std::string code_;
    uint64_t address_;
};

class ZVCrashReportMachExceptionInfo {
public:
    ZVCrashReportMachExceptionInfo(uint64_t type, std::vector<uint64_t> codes)
        : type_(type),
          codes_(std::move(codes)) {}
    uint64_t type() const { return type_; }
    const std::vector<uint64_t>& codes() const { return codes_; }
    bool operator==(const ZVCrashReportMachExceptionInfo&) const = default;

private:
    uint64_t type_;
    std::vector<uint64_t> codes_;
};

class ZVCrashReport {
public:
    // Reads a stored report: the file header, then the message. None, with the reason in error
    // (when given), when the bytes are not a usable report.
    static std::optional<ZVCrashReport> fromData(std::span<const uint8_t> data, std::optional<velmo::Error>* error = nullptr);

    ZVCrashReport(ZVCrashReportSystemInfo systemInfo, std::optional<ZVCrashReportMachineInfo> machineInfo,
                  ZVCrashReportApplicationInfo applicationInfo, std::optional<ZVCrashReportProcessInfo> processInfo,
                  ZVCrashReportSignalInfo signalInfo, std::optional<ZVCrashReportMachExceptionInfo> machExceptionInfo,
                  std::vector<ZVCrashReportThreadInfo> threads, std::vector<ZVCrashReportBinaryImageInfo> images,
                  std::optional<ZVCrashReportExceptionInfo> exceptionInfo, std::optional<std::vector<uint8_t>> customData,
                  std::optional<velmo::UUID> uuid);

    const ZVCrashReportSystemInfo& systemInfo() const { return systemInfo_; }
    bool hasMachineInfo() const { return machineInfo_.has_value(); }
    const std::optional<ZVCrashReportMachineInfo>& machineInfo() const { return machineInfo_; }
    const ZVCrashReportApplicationInfo& applicationInfo() const { return applicationInfo_; }
    bool hasProcessInfo() const { return processInfo_.has_value(); }
    const std::optional<ZVCrashReportProcessInfo>& processInfo() const { return processInfo_; }
    const ZVCrashReportSignalInfo& signalInfo() const { return signalInfo_; }
    const std::optional<ZVCrashReportMachExceptionInfo>& machExceptionInfo() const { return machExceptionInfo_; }
    const std::vector<ZVCrashReportThreadInfo>& threads() const { return threads_; }
    const std::vector<ZVCrashReportBinaryImageInfo>& images() const { return images_; }
    bool hasExceptionInfo() const { return exceptionInfo_.has_value(); }
    const std::optional<ZVCrashReportExceptionInfo>& exceptionInfo() const { return exceptionInfo_; }
    const std::optional<std::vector<uint8_t>>& customData() const { return customData_; }
    const std::optional<velmo::UUID>& uuidRef() const { return uuid_; }

    // The first image, in report order, with base <= address < base + size; null when none.
    const ZVCrashReportBinaryImageInfo* imageForAddress(uint64_t address) const;

    bool operator==(const ZVCrashReport&) const = default;

private:
    ZVCrashReportSystemInfo systemInfo_;
    std::optional<ZVCrashReportMachineInfo> machineInfo_;
    ZVCrashReportApplicationInfo applicationInfo_;
    std::optional<ZVCrashReportProcessInfo> processInfo_;
    ZVCrashReportSignalInfo signalInfo_;
    std::optional<ZVCrashReportMachExceptionInfo> machExceptionInfo_;
    std::vector<ZVCrashReportThreadInfo> threads_;
    std::vector<ZVCrashReportBinaryImageInfo> images_;
    std::optional<ZVCrashReportExceptionInfo> exceptionInfo_;
    std::optional<std::vector<uint8_t>> customData_;
    std::optional<velmo::UUID> uuid_;
};

}  // namespace zvcrash
