#include "RideZav/exceptions/LoadedBinaryImages.h"

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <system_error>

#include <elf.h>
#include <sys/auxv.h>

namespace ridezav {

namespace {

// Reads inside the image: within the bounds given, else within a loaded segment.
class ImageMemory {
public:
    explicit ImageMemory(const ElfImageHeaders& headers)
        : headers_(headers) {}

    // The bytes at link-time address `vaddr`, or null when [vaddr, vaddr+size) is not readable.
    const std::uint8_t* at(std::uint64_t vaddr, std::size_t size) const {
        if (!insideLoadedSegment(vaddr, size)) return nullptr;
        const std::uint64_t address = headers_.loadBias + vaddr;
        if (address < headers_.loadBias) return nullptr;  // wrapped
        if (headers_.memory) {
            const auto start = reinterpret_cast<std::uintptr_t>(headers_.memory);
            if (address < start || address - start > headers_.memorySize || size > headers_.memorySize - (address - start)) return nullptr;
        }
        return reinterpret_cast<const std::uint8_t*>(static_cast<std::uintptr_t>(address));
    }

private:
    bool insideLoadedSegment(std::uint64_t vaddr, std::size_t size) const {
        for (std::size_t i = 0; i < headers_.programHeaderCount; ++i) {
            const auto& ph = headers_.programHeaders[i];
            if (ph.p_type != PT_LOAD) continue;
            if (vaddr >= ph.p_vaddr && vaddr - ph.p_vaddr <= ph.p_filesz && size <= ph.p_filesz - (vaddr - ph.p_vaddr)) return true;
        }
        return false;
    }

    const ElfImageHeaders& headers_;
};

std::size_t align4(std::size_t n) { return (n + 3) & ~std::size_t{3}; }

struct IterationState {
    const std::unordered_set<std::uint64_t>* addresses = nullptr;
    std::uintptr_t vdsoBase = 0;
    bool first = true;
    std::vector<RideZavBinaryImageInfo> images;
};

std::optional<std::uint64_t> baseOf(const dl_phdr_info& info) {
    for (ElfW(Half) i = 0; i < info.dlpi_phnum; ++i) {
        const auto& ph = info.dlpi_phdr[i];
        if (ph.p_type == PT_LOAD && ph.p_offset == 0) return info.dlpi_addr + ph.p_vaddr;
    }
    return std::nullopt;
}

int visitImage(dl_phdr_info* info, std::size_t, void* data) {
    auto& state = *static_cast<IterationState*>(data);
    const bool mainProgram = state.first;
    state.first = false;
    const auto base = baseOf(*info);
    if (!base || *base == state.vdsoBase || !state.addresses->contains(*base)) return 0;
    ElfImageHeaders headers;
    headers.name = mainProgram ? mainProgramPath() : (info->dlpi_name && *info->dlpi_name ? info->dlpi_name : "unknown");
    headers.loadBias = info->dlpi_addr;
    headers.programHeaders = info->dlpi_phdr;
    headers.programHeaderCount = info->dlpi_phnum;
    if (auto image = binaryImageFromProgramHeaders(headers)) state.images.push_back(std::move(*image));
    return 0;
}

int findMainProgram(dl_phdr_info* info, std::size_t, void* data) {
    *static_cast<std::uintptr_t*>(data) = baseOf(*info).value_or(0);
    return 1;  // the loader's first object is the program
}

}  // namespace

std::optional<std::vector<std::uint8_t>> gnuBuildIdFromNotes(const std::uint8_t* notes, std::size_t size) {
    std::size_t offset = 0;
    while (notes && size - offset >= sizeof(ElfW(Nhdr))) {
        ElfW(Nhdr) note;
        std::memcpy(&note, notes + offset, sizeof note);
        offset += sizeof note;
        const std::size_t nameSize = align4(note.n_namesz);
        const std::size_t descSize = align4(note.n_descsz);
        if (nameSize < note.n_namesz || descSize < note.n_descsz) return std::nullopt;  // wrapped
        if (nameSize > size - offset || descSize > size - offset - nameSize) return std::nullopt;
        const auto* name = notes + offset;
        const auto* desc = name + nameSize;
        if (note.n_type == NT_GNU_BUILD_ID && note.n_namesz == 4 && std::memcmp(name, "GNU", 4) == 0)
            return std::vector<std::uint8_t>(desc, desc + note.n_descsz);
        offset += nameSize + descSize;
    }
    return std::nullopt;
}

std::string uuidTextForBuildId(const std::vector<std::uint8_t>& buildId) {
    std::uint8_t b[16] = {};
    std::memcpy(b, buildId.data(), buildId.size() < 16 ? buildId.size() : 16);
    char text[40];
    std::snprintf(text, sizeof text, "%02X%02X%02X%02X-%02X%02X-%02X%02X-%02X%02X-%02X%02X%02X%02X%02X%02X", b[0], b[1], b[2], b[3], b[4],
                  b[5], b[6], b[7], b[8], b[9], b[10], b[11], b[12], b[13], b[14], b[15]);
    return text;
}

std::optional<RideZavBinaryImageInfo> binaryImageFromProgramHeaders(const ElfImageHeaders& headers) {
    const ElfW(Phdr)* first = nullptr;
    std::uint64_t end = 0;
    for (std::size_t i = 0; i < headers.programHeaderCount; ++i) {
        const auto& ph = headers.programHeaders[i];
        if (ph.p_type != PT_LOAD) continue;
        if (ph.p_offset == 0 && !first) first = &ph;
        if (ph.p_vaddr + ph.p_memsz > end) end = ph.p_vaddr + ph.p_memsz;
    }
    if (!first) return std::nullopt;
    const ImageMemory memory(headers);
    RideZavBinaryImageInfo image;
    image.type = "elf";
    image.name = headers.name;
    image.vmAddress = first->p_vaddr;
    image.address = headers.loadBias + first->p_vaddr;
    image.size = end - first->p_vaddr;
    if (const auto* ehdr = memory.at(first->p_vaddr, sizeof(ElfW(Ehdr)))) {
        ElfW(Ehdr) header;
        std::memcpy(&header, ehdr, sizeof header);
        if (std::memcmp(header.e_ident, ELFMAG, SELFMAG) == 0) image.arch = archNameForElfMachine(header.e_machine);
    }
    for (std::size_t i = 0; i < headers.programHeaderCount && !image.uuid; ++i) {
        const auto& ph = headers.programHeaders[i];
        if (ph.p_type != PT_NOTE) continue;
        if (const auto* notes = memory.at(ph.p_vaddr, ph.p_filesz))
            if (auto id = gnuBuildIdFromNotes(notes, ph.p_filesz); id && !id->empty()) image.uuid = uuidTextForBuildId(*id);
    }
    return image;
}

const std::string& mainProgramPath() {
    static const std::string* path = [] {
        std::error_code error;
        auto resolved = std::filesystem::read_symlink("/proc/self/exe", error);
        return new std::string(error ? "unknown" : resolved.string());  // never released
    }();
    return *path;
}

std::uintptr_t mainProgramBase() {
    static const std::uintptr_t base = [] {
        std::uintptr_t found = 0;
        dl_iterate_phdr(findMainProgram, &found);
        return found;
    }();
    return base;
}

std::vector<RideZavBinaryImageInfo> loadedBinaryImages(const std::unordered_set<std::uint64_t>& addresses) {
    if (addresses.empty()) return {};
    IterationState state;
    state.addresses = &addresses;
    state.vdsoBase = static_cast<std::uintptr_t>(getauxval(AT_SYSINFO_EHDR));
    dl_iterate_phdr(visitImage, &state);
    return std::move(state.images);
}

}  // namespace ridezav
