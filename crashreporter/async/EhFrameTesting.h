// Test support for the DWARF unwinder: a builder of .eh_frame and .debug_frame sections with
// exact control over every field, and the live .eh_frame sections of this process.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "crashreporter/async/SimulatedTask.h"
#include "crashreporter/async/zvcrash_async_mobject.h"

namespace zvcrash::testing {

// Bytes placed in a simulated task and mapped whole, for the readers under test.
class MappedBytes {
public:
    MappedBytes(SimulatedTask& task, uint64_t address, const std::vector<uint8_t>& bytes);
    ~MappedBytes();
    MappedBytes(const MappedBytes&) = delete;
    MappedBytes& operator=(const MappedBytes&) = delete;

    const zvcrash_async_mobject* mobj() const { return &mobj_; }
    uint64_t address() const { return mobj_.task_address; }

private:
    zvcrash_async_mobject mobj_;
};

// Little-endian bytes, with the DWARF number forms.
class DwarfBytes {
public:
    DwarfBytes() = default;
    DwarfBytes(std::initializer_list<uint8_t> bytes)
        : data_(bytes) {}

    DwarfBytes& u8(uint8_t value);
    DwarfBytes& u16(uint16_t value);
    DwarfBytes& u32(uint32_t value);
    DwarfBytes& u64(uint64_t value);
    DwarfBytes& uleb(uint64_t value);
    DwarfBytes& sleb(int64_t value);
    // The characters and a NUL.
    DwarfBytes& str(const std::string& text);
    DwarfBytes& append(const std::vector<uint8_t>& bytes);

    const std::vector<uint8_t>& bytes() const { return data_; }
    size_t size() const { return data_.size(); }

private:
    std::vector<uint8_t> data_;
};

struct CieSpec {
    uint8_t version = 1;
    std::string augmentation = "zR";
    // Version 4 only.
    uint8_t addressSize = 8;
    uint8_t segmentSize = 0;
    uint64_t codeAlignment = 1;
    int64_t dataAlignment = -8;
    uint64_t returnAddressRegister = 16;
    // Written after its ULEB128 length when the augmentation starts with 'z'.
    std::vector<uint8_t> augmentationData = {0x1b};
    // How the builder writes the PC start of this CIE's FDEs: the 'R' encoding, or 0 (absolute).
    uint8_t pointerEncoding = 0x1b;
    std::vector<uint8_t> instructions;
    bool dwarf64 = false;
};

struct FdeSpec {
    uint64_t pcStart = 0;
    uint64_t pcRange = 0;
    // Written after its ULEB128 length when the CIE's augmentation starts with 'z'.
    std::vector<uint8_t> augmentationData;
    std::vector<uint8_t> instructions;
    bool dwarf64 = false;
};

// Entries in section order; offsets are from the section's start, at each entry's length field.
class EhFrameBuilder {
public:
    // address: where the section will be mapped (PC-relative fields depend on it).
    explicit EhFrameBuilder(uint64_t address, bool debugFrame = false, unsigned pointerSize = 8);

    uint64_t addCie(const CieSpec& spec);
    uint64_t addFde(uint64_t cieOffset, const FdeSpec& spec);
    void addRaw(const std::vector<uint8_t>& bytes);
    // A zero length: the end of the entries.
    void addTerminator();

    const std::vector<uint8_t>& bytes() const { return bytes_; }
    uint64_t address() const { return address_; }

private:
    void writeEntry(bool dwarf64, const std::vector<uint8_t>& content);

    struct CieRecord {
        uint64_t offset;
        uint8_t pointerEncoding;
        bool augmented;
    };

    uint64_t address_;
    bool debugFrame_;
    unsigned pointerSize_;
    std::vector<uint8_t> bytes_;
    std::vector<CieRecord> cies_;
};

// One loaded image's unwind sections, found through dl_iterate_phdr and PT_GNU_EH_FRAME.
struct LiveEhFrame {
    std::string path;
    uint64_t ehFrame = 0;
    // Up to and including the zero terminator, or to the end of its segment.
    uint64_t ehFrameLength = 0;
    uint64_t ehFrameHdr = 0;
    uint64_t ehFrameHdrLength = 0;
};

std::vector<LiveEhFrame> liveEhFrames();

// The image whose path contains the text, else one with an empty path.
LiveEhFrame liveEhFrameOf(const std::string& pathPart);
// The image that holds the address, else one with an empty path.
LiveEhFrame liveEhFrameAt(uint64_t address);

}  // namespace zvcrash::testing
