#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "RideZav/core/RideZavValue.h"

namespace ridezav {

// One loaded image that frames of an exception point into.
struct RideZavBinaryImageInfo {
    std::string name;  // the image's path
    std::optional<std::string> uuid;  // normalised (normalizedImageUUID)
    std::optional<std::uint64_t> vmAddress;  // link-time address of the image's first segment
    std::uint64_t address = 0;  // load address
    std::uint64_t size = 0;
    std::optional<std::string> arch;
    // "macho" for images of a crash report; "elf" for the images of this process.
    std::string type = "macho";

    // "type", "code_file", "image_addr", "image_size", then "debug_id", "image_vmaddr" (not 0)
    // and "arch" when present.
    Object toDictionary() const;
};

// Dashes removed and upper-cased; 32 characters come back as 8-4-4-4-12, anything else as given.
std::string normalizedImageUUID(const std::string& text);

// The architecture name of a Mach-O CPU type and subtype; none for other types.
std::optional<std::string> archNameForMachO(std::optional<std::int64_t> cpuType, std::int64_t cpuSubtype);

// The architecture name of an ELF machine (e_machine); none for machines not listed.
std::optional<std::string> archNameForElfMachine(std::uint16_t machine);

}  // namespace ridezav
