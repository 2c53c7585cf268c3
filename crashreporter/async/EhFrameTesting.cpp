#include "crashreporter/async/EhFrameTesting.h"

#include <elf.h>
#include <link.h>

#include <cstring>
#include <stdexcept>

namespace zvcrash::testing {

MappedBytes::MappedBytes(SimulatedTask& task, uint64_t address, const std::vector<uint8_t>& bytes) {
    task.map(address, bytes);
    if (zvcrash_async_mobject_init(&mobj_, task.task(), address, bytes.size(), true) != ZVCRASH_OK)
        throw std::runtime_error("MappedBytes: the bytes cannot be mapped");
}

MappedBytes::~MappedBytes() { zvcrash_async_mobject_free(&mobj_); }

DwarfBytes& DwarfBytes::u8(uint8_t value) {
    data_.push_back(value);
    return *this;
}

DwarfBytes& DwarfBytes::u16(uint16_t value) {
    for (int i = 0; i < 2; ++i) data_.push_back(static_cast<uint8_t>(value >> (8 * i)));
    return *this;
}

DwarfBytes& DwarfBytes::u32(uint32_t value) {
    for (int i = 0; i < 4; ++i) data_.push_back(static_cast<uint8_t>(value >> (8 * i)));
    return *this;
}

DwarfBytes& DwarfBytes::u64(uint64_t value) {
    for (int i = 0; i < 8; ++i) data_.push_back(static_cast<uint8_t>(value >> (8 * i)));
    return *this;
}

DwarfBytes& DwarfBytes::uleb(uint64_t value) {
    do {
        uint8_t byte = value & 0x7f;
        value >>= 7;
        if (value != 0) byte |= 0x80;
        data_.push_back(byte);
    } while (value != 0);
    return *this;
}

DwarfBytes& DwarfBytes::sleb(int64_t value) {
    while (true) {
        uint8_t byte = value & 0x7f;
        value >>= 7;
        const bool done = (value == 0 && (byte & 0x40) == 0) || (value == -1 && (byte & 0x40) != 0);
        if (!done) byte |= 0x80;
        data_.push_back(byte);
        if (done) break;
    }
    return *this;
}

DwarfBytes& DwarfBytes::str(const std::string& text) {
    data_.insert(data_.end(), text.begin(), text.end());
    data_.push_back(0);
    return *this;
}

DwarfBytes& DwarfBytes::append(const std::vector<uint8_t>& bytes) {
    data_.insert(data_.end(), bytes.begin(), bytes.end());
    return *this;
}

EhFrameBuilder::EhFrameBuilder(uint64_t address, bool debugFrame, unsigned pointerSize)
    : address_(address),
      debugFrame_(debugFrame),
      pointerSize_(pointerSize) {}

void EhFrameBuilder::writeEntry(bool dwarf64, const std::vector<uint8_t>& content) {
    DwarfBytes header;
    if (dwarf64)
        header.u32(0xffffffffu).u64(content.size());
    else
        header.u32(static_cast<uint32_t>(content.size()));
    bytes_.insert(bytes_.end(), header.bytes().begin(), header.bytes().end());
    bytes_.insert(bytes_.end(), content.begin(), content.end());
}

uint64_t EhFrameBuilder::addCie(const CieSpec& spec) {
    const uint64_t offset = bytes_.size();
    DwarfBytes content;
    const uint64_t id = debugFrame_ ? ~static_cast<uint64_t>(0) : 0;
    if (spec.dwarf64)
        content.u64(id);
    else
        content.u32(static_cast<uint32_t>(id));
    content.u8(spec.version).str(spec.augmentation);
    if (spec.version == 4) content.u8(spec.addressSize).u8(spec.segmentSize);
    content.uleb(spec.codeAlignment).sleb(spec.dataAlignment).uleb(spec.returnAddressRegister);
    const bool augmented = !spec.augmentation.empty() && spec.augmentation[0] == 'z';
    if (augmented) content.uleb(spec.augmentationData.size()).append(spec.augmentationData);
    content.append(spec.instructions);
    writeEntry(spec.dwarf64, content.bytes());
    cies_.push_back({offset, spec.pointerEncoding, augmented});
    return offset;
}

uint64_t EhFrameBuilder::addFde(uint64_t cieOffset, const FdeSpec& spec) {
    const CieRecord* cie = nullptr;
    for (const auto& record : cies_)
        if (record.offset == cieOffset) cie = &record;
    if (cie == nullptr) throw std::invalid_argument("addFde: no CIE at that offset");

    const uint64_t offset = bytes_.size();
    const uint64_t headerSize = spec.dwarf64 ? 12 : 4;
    const uint64_t pointerField = offset + headerSize;
    DwarfBytes content;
    // .debug_frame names the CIE by its offset; .eh_frame by the distance back from this field.
    const uint64_t pointer = debugFrame_ ? cieOffset : pointerField - cieOffset;
    if (spec.dwarf64)
        content.u64(pointer);
    else
        content.u32(static_cast<uint32_t>(pointer));

    const uint8_t encoding = cie->pointerEncoding;
    const uint64_t startField = address_ + pointerField + content.size();
    const uint64_t start = (encoding & 0x70) == 0x10 ? spec.pcStart - startField : spec.pcStart;
    auto writeValue = [&](uint8_t format, uint64_t value) {
        switch (format) {
            case 0x00:
                if (pointerSize_ == 8)
                    content.u64(value);
                else
                    content.u32(static_cast<uint32_t>(value));
                break;
            case 0x02:
            case 0x0a:
                content.u16(static_cast<uint16_t>(value));
                break;
            case 0x03:
            case 0x0b:
                content.u32(static_cast<uint32_t>(value));
                break;
            case 0x04:
            case 0x0c:
                content.u64(value);
                break;
            case 0x01:
                content.uleb(value);
                break;
            case 0x09:
                content.sleb(static_cast<int64_t>(value));
                break;
            default:
                throw std::invalid_argument("addFde: encoding the builder cannot write");
        }
    };
    writeValue(encoding & 0x0f, start);
    writeValue(encoding & 0x0f, spec.pcRange);
    if (cie->augmented) content.uleb(spec.augmentationData.size()).append(spec.augmentationData);
    content.append(spec.instructions);
    writeEntry(spec.dwarf64, content.bytes());
    return offset;
}

void EhFrameBuilder::addRaw(const std::vector<uint8_t>& bytes) { bytes_.insert(bytes_.end(), bytes.begin(), bytes.end()); }

void EhFrameBuilder::addTerminator() { addRaw({0, 0, 0, 0}); }

namespace {

// The entries from start to the zero terminator, or to limit.
uint64_t ehFrameLength(uint64_t start, uint64_t limit) {
    uint64_t position = start;
    while (position + 4 <= limit) {
        uint32_t length;
        std::memcpy(&length, reinterpret_cast<const void*>(position), 4);
        if (length == 0) return position + 4 - start;
        uint64_t size = 4 + static_cast<uint64_t>(length);
        if (length == 0xffffffffu) {
            uint64_t length64;
            std::memcpy(&length64, reinterpret_cast<const void*>(position + 4), 8);
            size = 12 + length64;
        }
        if (position + size > limit) break;
        position += size;
    }
    return position - start;
}

int collect(dl_phdr_info* info, size_t, void* data) {
    auto* frames = static_cast<std::vector<LiveEhFrame>*>(data);
    const ElfW(Phdr)* hdr = nullptr;
    for (int i = 0; i < info->dlpi_phnum; ++i)
        if (info->dlpi_phdr[i].p_type == PT_GNU_EH_FRAME) hdr = &info->dlpi_phdr[i];
    if (hdr == nullptr) return 0;

    LiveEhFrame frame;
    frame.path = info->dlpi_name != nullptr && info->dlpi_name[0] != 0 ? info->dlpi_name : "/proc/self/exe";
    frame.ehFrameHdr = info->dlpi_addr + hdr->p_vaddr;
    frame.ehFrameHdrLength = hdr->p_memsz;
    const auto* bytes = reinterpret_cast<const uint8_t*>(frame.ehFrameHdr);
    if (bytes[0] != 1) return 0;
    // The section's address, as the header encodes it (PC-relative or absolute, 4 or 8 bytes).
    const uint8_t encoding = bytes[1];
    const uint64_t field = frame.ehFrameHdr + 4;
    uint64_t datum;
    if ((encoding & 0x0f) == 0x0b) {
        int32_t value;
        std::memcpy(&value, bytes + 4, 4);
        datum = static_cast<uint64_t>(static_cast<int64_t>(value));
    } else if ((encoding & 0x0f) == 0x03) {
        uint32_t value;
        std::memcpy(&value, bytes + 4, 4);
        datum = value;
    } else {
        std::memcpy(&datum, bytes + 4, 8);
    }
    frame.ehFrame = (encoding & 0x70) == 0x10 ? field + datum : datum;

    // The section ends at its terminator, inside the segment that holds it.
    uint64_t limit = frame.ehFrame;
    for (int i = 0; i < info->dlpi_phnum; ++i) {
        const ElfW(Phdr)& segment = info->dlpi_phdr[i];
        const uint64_t begin = info->dlpi_addr + segment.p_vaddr;
        if (segment.p_type == PT_LOAD && begin <= frame.ehFrame && frame.ehFrame < begin + segment.p_memsz)
            limit = begin + segment.p_filesz;
    }
    frame.ehFrameLength = ehFrameLength(frame.ehFrame, limit);
    frames->push_back(frame);
    return 0;
}

}  // namespace

std::vector<LiveEhFrame> liveEhFrames() {
    std::vector<LiveEhFrame> frames;
    dl_iterate_phdr(collect, &frames);
    return frames;
}

LiveEhFrame liveEhFrameOf(const std::string& pathPart) {
    for (const auto& frame : liveEhFrames())
        if (frame.path.find(pathPart) != std::string::npos) return frame;
    return {};
}

LiveEhFrame liveEhFrameAt(uint64_t address) {
    struct Search {
        uint64_t address;
        std::string path;
    } search{address, {}};
    dl_iterate_phdr(
        [](dl_phdr_info* info, size_t, void* data) {
            auto* search = static_cast<Search*>(data);
            for (int i = 0; i < info->dlpi_phnum; ++i) {
                const ElfW(Phdr)& segment = info->dlpi_phdr[i];
                const uint64_t begin = info->dlpi_addr + segment.p_vaddr;
                if (segment.p_type == PT_LOAD && begin <= search->address && search->address < begin + segment.p_memsz) {
                    search->path = info->dlpi_name != nullptr && info->dlpi_name[0] != 0 ? info->dlpi_name : "/proc/self/exe";
                    return 1;
                }
            }
            return 0;
        },
        &search);
    if (search.path.empty()) return {};
    for (const auto& frame : liveEhFrames())
        if (frame.path == search.path) return frame;
    return {};
}

}  // namespace zvcrash::testing
