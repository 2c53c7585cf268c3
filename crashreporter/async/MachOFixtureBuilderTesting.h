// Assembles Mach-O images in memory for tests of the readers that run over a task: segments with
// sections and their contents, an nlist symbol table with its strings (in __LINKEDIT), LC_UUID,
// and any raw load command; 32-bit or 64-bit, in host or swapped byte order. The result is the
// image as loaded (segments at their virtual addresses), ready for SimulatedTask::map.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace zvcrash::testing {

class MachOFixtureBuilder {
public:
    enum class Width { Bits32, Bits64 };
    enum class Order { Host, Swapped };

    MachOFixtureBuilder(Width width, Order order);

    // Virtual address of the header in the image's own address space (the __TEXT vmaddr);
    // the slide of an image placed at H is H - this.
    MachOFixtureBuilder& textAddress(uint64_t vmaddr);
    MachOFixtureBuilder& cpu(uint32_t type, uint32_t subtype);
    MachOFixtureBuilder& fileType(uint32_t type);

    // Segments in load-command order. __TEXT always exists and comes first (holding the header
    // and the load commands); __LINKEDIT is added last when there are symbols. gapBefore leaves
    // that many bytes of address space unused before the segment.
    MachOFixtureBuilder& segment(const std::string& name, uint64_t gapBefore = 0);
    // A section with its contents, in the named segment (created when missing).
    MachOFixtureBuilder& section(const std::string& segname, const std::string& sectname, std::vector<uint8_t> content,
                                 uint32_t alignment = 16);
    // A segment command whose virtual size is larger than its contents (the rest unmapped).
    MachOFixtureBuilder& extraVmSize(const std::string& segname, uint64_t extra);

    struct Symbol {
        std::string name;
        // Offset from the header in memory; the stored value is textAddress + offset.
        uint64_t offset = 0;
        uint8_t type = 0x0f;  // defined in a section, external
        uint8_t sect = 1;
        uint16_t desc = 0;
        bool global = true;
    };
    // Symbols are stored locals first, then globals, each in the order given.
    MachOFixtureBuilder& symbol(Symbol symbol);
    MachOFixtureBuilder& symbol(const std::string& name, uint64_t offset, bool global = true);
    // Writes LC_DYSYMTAB with the local and global ranges (on by default once symbols exist).
    MachOFixtureBuilder& dysymtab(bool present);
    // Replaces the dysymtab ranges with these (to make them inconsistent).
    MachOFixtureBuilder& dysymtabRanges(uint32_t ilocal, uint32_t nlocal, uint32_t iextdef, uint32_t nextdef);
    // Extra bytes appended to the string table (and strings without a NUL: set stringTableTail).
    MachOFixtureBuilder& stringTableTail(std::vector<uint8_t> bytes);
    MachOFixtureBuilder& uuid(const std::array<uint8_t, 16>& uuid);

    // A raw load command appended after all the others: cmd, the cmdsize written (which may lie)
    // and the payload that follows the 8-byte header.
    MachOFixtureBuilder& rawCommand(uint32_t cmd, uint32_t cmdsize, std::vector<uint8_t> payload = {});

    struct Image {
        // The image in memory, from its header.
        std::vector<uint8_t> bytes;
        uint64_t textAddress = 0;
        uint32_t sizeofcmds = 0;
        // Offsets from the header, by "segname,sectname" or segment name.
        uint64_t sectionOffset(const std::string& segname, const std::string& sectname) const;
        uint64_t sectionSize(const std::string& segname, const std::string& sectname) const;
        uint64_t segmentOffset(const std::string& segname) const;
        struct Placed {
            std::string key;
            uint64_t offset;
            uint64_t size;
        };
        std::vector<Placed> placed;
    };
    Image build() const;

private:
    struct Section {
        std::string name;
        std::vector<uint8_t> content;
        uint32_t alignment;
    };
    struct Segment {
        std::string name;
        uint64_t gapBefore = 0;
        uint64_t extraVmSize = 0;
        std::vector<Section> sections;
    };
    struct Raw {
        uint32_t cmd;
        uint32_t cmdsize;
        std::vector<uint8_t> payload;
    };
    Segment& segmentNamed(const std::string& name);

    Width width_;
    Order order_;
    uint64_t textAddress_;
    uint32_t cpuType_ = 0x01000007;
    uint32_t cpuSubtype_ = 3;
    uint32_t fileType_ = 6;
    std::vector<Segment> segments_;
    std::vector<Symbol> symbols_;
    bool dysymtab_ = true;
    std::optional<std::array<uint32_t, 4>> dysymtabRanges_;
    std::vector<uint8_t> stringTail_;
    std::optional<std::array<uint8_t, 16>> uuid_;
    std::vector<Raw> raw_;
};

}  // namespace zvcrash::testing
