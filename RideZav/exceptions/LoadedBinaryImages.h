#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <unordered_set>
#include <vector>

#include <link.h>

#include "RideZav/exceptions/RideZavBinaryImageInfo.h"

namespace ridezav {

// What the dynamic loader tells about one loaded ELF object: its name, the load bias and its
// program headers. `memory`/`memorySize`, when set, bound every read (a copied or synthetic
// image); otherwise reads stay inside the object's loaded segments.
struct ElfImageHeaders {
    std::string name;
    std::uintptr_t loadBias = 0;
    const ElfW(Phdr) * programHeaders = nullptr;
    std::size_t programHeaderCount = 0;
    const std::uint8_t* memory = nullptr;
    std::size_t memorySize = 0;
};

// The image the headers describe: the base is the segment loaded from file offset 0, the size
// runs to the end of the last loaded segment, "debug_id" comes from the NT_GNU_BUILD_ID note
// and "arch" from the ELF header's machine. None without a segment at offset 0.
std::optional<RideZavBinaryImageInfo> binaryImageFromProgramHeaders(const ElfImageHeaders& headers);

// The build id of a block of ELF notes (PT_NOTE contents); none when it holds no GNU build id.
std::optional<std::vector<std::uint8_t>> gnuBuildIdFromNotes(const std::uint8_t* notes, std::size_t size);

// The UUID text of a build id: its first 16 bytes in order, as upper-case hexadecimal in the
// 8-4-4-4-12 form, zero-padded when the id is shorter. So the lower-case build id that
// `readelf -n` prints starts with the UUID's digits, dashes removed.
std::string uuidTextForBuildId(const std::vector<std::uint8_t>& buildId);

// Every loaded object (the vDSO left out) whose base address is in the set, in the loader's
// order; the main program is named by /proc/self/exe.
std::vector<RideZavBinaryImageInfo> loadedBinaryImages(const std::unordered_set<std::uint64_t>& addresses);

// The path of the running program (/proc/self/exe); read once.
const std::string& mainProgramPath();
// The base address of the running program (the loader's first object); found once.
std::uintptr_t mainProgramBase();

}  // namespace ridezav
