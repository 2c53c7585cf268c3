#include "RideZav/exceptions/RideZavBinaryImageInfo.h"

#include <cctype>

#include <elf.h>

#include "RideZav/exceptions/RideZavStackFrame.h"

namespace ridezav {

Object RideZavBinaryImageInfo::toDictionary() const {
    Object out;
    out.reserve(7);
    out.append("type", type);
    out.append("code_file", name);
    out.append("image_addr", hexAddress(address));
    out.append("image_size", Value(static_cast<std::uint64_t>(size)));
    if (uuid) out.append("debug_id", *uuid);
    if (vmAddress && *vmAddress != 0) out.append("image_vmaddr", hexAddress(*vmAddress));
    if (arch) out.append("arch", *arch);
    return out;
}

std::string normalizedImageUUID(const std::string& text) {
    std::string plain;
    plain.reserve(text.size());
    for (char c : text)
        if (c != '-') plain.push_back(static_cast<char>(std::toupper(static_cast<unsigned char>(c))));
    if (plain.size() != 32) return text;
    return plain.substr(0, 8) + "-" + plain.substr(8, 4) + "-" + plain.substr(12, 4) + "-" + plain.substr(16, 4) + "-" + plain.substr(20);
}

std::optional<std::string> archNameForMachO(std::optional<std::int64_t> cpuType, std::int64_t cpuSubtype) {
    if (!cpuType) return std::nullopt;
    switch (*cpuType) {
        case 12:
            if (cpuSubtype == 9) return "armv7";
            if (cpuSubtype == 11) return "armv7s";
            return "arm";
        case 0x1000007:
            return "x86_64";
        case 0x100000C:
            return "arm64";
        default:
            return std::nullopt;
    }
}

std::optional<std::string> archNameForElfMachine(std::uint16_t machine) {
    // The same names as the Mach-O table, so one service sees one vocabulary.
    switch (machine) {
        case EM_X86_64:
            return "x86_64";
        case EM_AARCH64:
            return "arm64";
        case EM_ARM:
            return "arm";
        case EM_386:
            return "x86";
        default:
            return std::nullopt;
    }
}

}  // namespace ridezav
