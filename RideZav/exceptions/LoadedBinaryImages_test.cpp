#include <gtest/gtest.h>

#include <cstring>

#include <dlfcn.h>
#include <elf.h>
#include <gnu/libc-version.h>
#include <sys/auxv.h>

#include "RideZav/exceptions/ElfBuildIdTesting.h"
#include "RideZav/exceptions/LoadedBinaryImages.h"

using namespace ridezav;

namespace {

// A made-up ELF object in memory: a header, a note segment inside the first loaded segment and
// a second loaded segment beyond what is in memory (its bytes are never read).
class SyntheticElf {
public:
    static constexpr std::size_t kSize = 0x800;
    static constexpr std::uint64_t kNotes = 0x100;

    explicit SyntheticElf(std::uint64_t linkAddress = 0, std::uint16_t machine = EM_AARCH64)
        : link_(linkAddress) {
        ElfW(Ehdr) header{};
        std::memcpy(header.e_ident, ELFMAG, SELFMAG);
        header.e_ident[EI_CLASS] = ELFCLASS64;
        header.e_machine = machine;
        std::memcpy(bytes(), &header, sizeof header);
        phdrs_.push_back(segment(PT_LOAD, 0, linkAddress, kSize, 0x1000));
        phdrs_.push_back(segment(PT_LOAD, kSize, linkAddress + 0x1800, 0x100, 0x2000));
    }

    // Appends a note at the end of the note area and (re)points the PT_NOTE segment at all of them.
    void addNote(std::uint32_t type, const std::string& name, const std::vector<std::uint8_t>& desc) {
        ElfW(Nhdr) note{static_cast<ElfW(Word)>(name.size() + 1), static_cast<ElfW(Word)>(desc.size()), type};
        put(&note, sizeof note);
        put(name.c_str(), name.size() + 1);
        pad();
        put(desc.data(), desc.size());
        pad();
        setNoteSegment(kNotes, notesEnd_ - kNotes);
    }
    void setNoteSegment(std::uint64_t offset, std::uint64_t size) {
        std::erase_if(phdrs_, [](const auto& ph) { return ph.p_type == PT_NOTE; });
        phdrs_.push_back(segment(PT_NOTE, offset, link_ + offset, size, size));
    }
    std::vector<ElfW(Phdr)>& phdrs() { return phdrs_; }

    ElfImageHeaders headers() {
        ElfImageHeaders h;
        h.name = "/opt/synthetic/libsynthetic.so";
        h.loadBias = reinterpret_cast<std::uintptr_t>(bytes()) - link_;
        h.programHeaders = phdrs_.data();
        h.programHeaderCount = phdrs_.size();
        h.memory = bytes();
        h.memorySize = kSize;
        return h;
    }
    std::uintptr_t address() { return reinterpret_cast<std::uintptr_t>(bytes()); }

private:
    static ElfW(Phdr) segment(ElfW(Word) type, std::uint64_t offset, std::uint64_t vaddr, std::uint64_t filesz, std::uint64_t memsz) {
        ElfW(Phdr) ph{};
        ph.p_type = type;
        ph.p_offset = offset;
        ph.p_vaddr = vaddr;
        ph.p_filesz = filesz;
        ph.p_memsz = memsz;
        return ph;
    }
    std::uint8_t* bytes() { return reinterpret_cast<std::uint8_t*>(storage_.data()); }
    void put(const void* data, std::size_t n) {
        std::memcpy(bytes() + notesEnd_, data, n);
        notesEnd_ += n;
    }
    void pad() { notesEnd_ = (notesEnd_ + 3) & ~std::size_t{3}; }

    std::vector<std::uint64_t> storage_ = std::vector<std::uint64_t>(kSize / 8);
    std::vector<ElfW(Phdr)> phdrs_;
    std::uint64_t link_;
    std::size_t notesEnd_ = kNotes;
};

std::vector<std::uint8_t> counting(std::size_t n) {
    std::vector<std::uint8_t> out(n);
    for (std::size_t i = 0; i < n; ++i) out[i] = static_cast<std::uint8_t>(i);
    return out;
}

}  // namespace

TEST(LoadedBinaryImages, TheProgramHeaderWalkGivesBaseSizeMachineAndBuildIdOfASyntheticImage) {
    SyntheticElf elf;
    elf.addNote(1, "Xyz", {9, 9, 9});  // another vendor's note comes first
    elf.addNote(NT_GNU_BUILD_ID, "GNU", counting(20));
    const auto image = binaryImageFromProgramHeaders(elf.headers());
    ASSERT_TRUE(image);
    EXPECT_EQ(image->type, "elf");
    EXPECT_EQ(image->name, "/opt/synthetic/libsynthetic.so");
    EXPECT_EQ(image->address, elf.address());
    EXPECT_EQ(image->vmAddress, 0u);
    EXPECT_EQ(image->size, 0x3800u);  // to the end of the second loaded segment
    EXPECT_EQ(image->arch, "arm64");
    EXPECT_EQ(image->uuid, "00010203-0405-0607-0809-0A0B0C0D0E0F");
    EXPECT_EQ(image->toDictionary().find("image_vmaddr"), nullptr);
}

TEST(LoadedBinaryImages, ALinkAddressAShortIdAndBrokenNotesAreHandled) {
    SyntheticElf linked(0x400000, EM_X86_64);
    linked.addNote(NT_GNU_BUILD_ID, "GNU", {0xAB, 0xCD, 0xEF, 0x01, 0x23, 0x45, 0x67, 0x89});
    auto image = binaryImageFromProgramHeaders(linked.headers());
    ASSERT_TRUE(image);
    EXPECT_EQ(image->address, linked.address());
    EXPECT_EQ(image->vmAddress, 0x400000u);
    EXPECT_EQ(image->arch, "x86_64");
    EXPECT_EQ(image->uuid, "ABCDEF01-2345-6789-0000-000000000000");  // zero-padded

    SyntheticElf truncated;
    truncated.addNote(NT_GNU_BUILD_ID, "GNU", counting(20));
    truncated.setNoteSegment(SyntheticElf::kNotes, 20);  // ends inside the description
    EXPECT_EQ(binaryImageFromProgramHeaders(truncated.headers())->uuid, std::nullopt);

    SyntheticElf outside;
    outside.addNote(NT_GNU_BUILD_ID, "GNU", counting(20));
    outside.setNoteSegment(SyntheticElf::kSize - 8, 64);  // runs past the loaded bytes
    EXPECT_EQ(binaryImageFromProgramHeaders(outside.headers())->uuid, std::nullopt);

    SyntheticElf otherNote;
    otherNote.addNote(NT_GNU_BUILD_ID, "GNUX", counting(20));  // not the GNU owner
    EXPECT_EQ(binaryImageFromProgramHeaders(otherNote.headers())->uuid, std::nullopt);

    SyntheticElf noBase;
    noBase.phdrs().front().p_offset = 0x40;  // no segment loaded from file offset 0
    EXPECT_EQ(binaryImageFromProgramHeaders(noBase.headers()), std::nullopt);
}

TEST(LoadedBinaryImages, BuildIdsMapToUUIDTextByTheirFirstSixteenBytes) {
    EXPECT_EQ(uuidTextForBuildId(counting(16)), "00010203-0405-0607-0809-0A0B0C0D0E0F");
    EXPECT_EQ(uuidTextForBuildId(counting(20)), "00010203-0405-0607-0809-0A0B0C0D0E0F");
    EXPECT_EQ(uuidTextForBuildId({0xFF}), "FF000000-0000-0000-0000-000000000000");
    EXPECT_EQ(gnuBuildIdFromNotes(nullptr, 0), std::nullopt);
    const std::uint8_t tooShort[4] = {};
    EXPECT_EQ(gnuBuildIdFromNotes(tooShort, sizeof tooShort), std::nullopt);
}

TEST(LoadedBinaryImages, TheProcesssOwnImagesAreFoundByBaseAndTheVdsoIsLeftOut) {
    EXPECT_TRUE(loadedBinaryImages({}).empty());

    const auto program = loadedBinaryImages({mainProgramBase()});
    ASSERT_EQ(program.size(), 1u);
    EXPECT_EQ(program[0].name, mainProgramPath());
    EXPECT_TRUE(std::filesystem::path(program[0].name).is_absolute());
    EXPECT_EQ(program[0].address, mainProgramBase());
    ASSERT_TRUE(program[0].uuid);  // Debian's linker gives every program a build id
    EXPECT_EQ(program[0].uuid->size(), 36u);
    EXPECT_GT(program[0].size, 0u);
#if defined(__x86_64__)
    EXPECT_EQ(program[0].arch, "x86_64");
#endif

    Dl_info libc{};
    ASSERT_NE(dladdr(reinterpret_cast<const void*>(&gnu_get_libc_version), &libc), 0);  // never wrapped
    const auto libcBase = reinterpret_cast<std::uint64_t>(libc.dli_fbase);
    const auto vdso = static_cast<std::uint64_t>(getauxval(AT_SYSINFO_EHDR));
    const auto found = loadedBinaryImages({libcBase, vdso, 0x10});
    ASSERT_EQ(found.size(), 1u);
    EXPECT_NE(found[0].name.find("libc.so"), std::string::npos);
    EXPECT_EQ(found[0].address, libcBase);
}

TEST(LoadedBinaryImages, TheDebugIdIsTheBuildIdThatReadelfPrintsCutToSixteenBytes) {
    // readelf reads the file's note section; the library reads the loaded PT_NOTE segment.
    Dl_info libc{};
    ASSERT_NE(dladdr(reinterpret_cast<const void*>(&gnu_get_libc_version), &libc), 0);
    const auto libcBase = reinterpret_cast<std::uint64_t>(libc.dli_fbase);
    const auto images = loadedBinaryImages({mainProgramBase(), libcBase});
    ASSERT_EQ(images.size(), 2u);
    for (const auto& image : images) {
        const auto buildId = test::buildIdByReadelf(image.name);
        ASSERT_TRUE(buildId) << "readelf printed no build id for " << image.name;
        EXPECT_GE(buildId->size(), 32u) << image.name;  // Debian links with SHA-1 ids: 20 bytes
        ASSERT_TRUE(image.uuid) << image.name;
        EXPECT_EQ(*image.uuid, test::debugIdOfBuildId(*buildId)) << image.name << " build id " << *buildId;
        EXPECT_EQ(normalizedImageUUID(*image.uuid), *image.uuid);  // already in the normal form
    }
    EXPECT_EQ(images[0].name, mainProgramPath());
}
