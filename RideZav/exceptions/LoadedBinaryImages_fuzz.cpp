// Program headers and notes of an ELF object read from arbitrary bytes, every read bounded.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include <elf.h>

#include "RideZav/exceptions/LoadedBinaryImages.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    (void)ridezav::gnuBuildIdFromNotes(data, size);
    if (size < sizeof(ElfW(Ehdr))) return 0;
    std::vector<std::uint64_t> aligned((size + 7) / 8);
    std::memcpy(aligned.data(), data, size);
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(aligned.data());
    ElfW(Ehdr) header;
    std::memcpy(&header, bytes, sizeof header);
    if (header.e_phoff > size || header.e_phnum > (size - header.e_phoff) / sizeof(ElfW(Phdr))) return 0;
    std::vector<ElfW(Phdr)> phdrs(header.e_phnum);
    if (!phdrs.empty()) std::memcpy(phdrs.data(), bytes + header.e_phoff, phdrs.size() * sizeof(ElfW(Phdr)));
    ridezav::ElfImageHeaders headers;
    headers.name = "fuzz";
    headers.loadBias = reinterpret_cast<std::uintptr_t>(bytes);
    headers.programHeaders = phdrs.data();
    headers.programHeaderCount = phdrs.size();
    headers.memory = bytes;
    headers.memorySize = size;
    (void)ridezav::binaryImageFromProgramHeaders(headers);
    return 0;
}
