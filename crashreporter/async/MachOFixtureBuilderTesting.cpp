#include "crashreporter/async/MachOFixtureBuilderTesting.h"

#include <bit>
#include <stdexcept>

namespace zvcrash::testing {

namespace {

uint64_t alignUp(uint64_t value, uint64_t alignment) { return alignment <= 1 ? value : (value + alignment - 1) / alignment * alignment; }

class Writer {
public:
    Writer(std::vector<uint8_t>& bytes, bool swapped)
        : bytes_(bytes),
          swapped_(swapped) {}
    void put8(uint64_t at, uint8_t value) { bytes_.at(at) = value; }
    void put16(uint64_t at, uint16_t value) { putN(at, value, 2); }
    void put32(uint64_t at, uint32_t value) { putN(at, value, 4); }
    void put64(uint64_t at, uint64_t value) { putN(at, value, 8); }
    void putName(uint64_t at, const std::string& name) {
        for (size_t i = 0; i < 16; ++i) bytes_.at(at + i) = i < name.size() ? static_cast<uint8_t>(name[i]) : 0;
    }
    void putBytes(uint64_t at, const std::vector<uint8_t>& data) {
        for (size_t i = 0; i < data.size(); ++i) bytes_.at(at + i) = data[i];
    }

private:
    void putN(uint64_t at, uint64_t value, int size) {
        // Host order is low byte first on a little-endian host; swapped is the other way round.
        const bool lowFirst = (std::endian::native == std::endian::little) != swapped_;
        for (int i = 0; i < size; ++i) {
            const int shift = lowFirst ? i * 8 : (size - 1 - i) * 8;
            bytes_.at(at + i) = static_cast<uint8_t>(value >> shift);
        }
    }
    std::vector<uint8_t>& bytes_;
    bool swapped_;
};

}  // namespace

MachOFixtureBuilder::MachOFixtureBuilder(Width width, Order order)
    : width_(width),
      order_(order),
      textAddress_(width == Width::Bits64 ? 0x100000000ull : 0x1000) {
    segments_.push_back(Segment{"__TEXT", 0, 0, {}});
}

MachOFixtureBuilder& MachOFixtureBuilder::textAddress(uint64_t vmaddr) {
    textAddress_ = vmaddr;
    return *this;
}

MachOFixtureBuilder& MachOFixtureBuilder::cpu(uint32_t type, uint32_t subtype) {
    cpuType_ = type;
    cpuSubtype_ = subtype;
    return *this;
}

MachOFixtureBuilder& MachOFixtureBuilder::fileType(uint32_t type) {
    fileType_ = type;
    return *this;
}

MachOFixtureBuilder::Segment& MachOFixtureBuilder::segmentNamed(const std::string& name) {
    for (auto& segment : segments_) {
        if (segment.name == name) return segment;
    }
    segments_.push_back(Segment{name, 0, 0, {}});
    return segments_.back();
}

MachOFixtureBuilder& MachOFixtureBuilder::segment(const std::string& name, uint64_t gapBefore) {
    segmentNamed(name).gapBefore = gapBefore;
    return *this;
}

MachOFixtureBuilder& MachOFixtureBuilder::section(const std::string& segname, const std::string& sectname, std::vector<uint8_t> content,
                                                  uint32_t alignment) {
    segmentNamed(segname).sections.push_back(Section{sectname, std::move(content), alignment});
    return *this;
}

MachOFixtureBuilder& MachOFixtureBuilder::extraVmSize(const std::string& segname, uint64_t extra) {
    segmentNamed(segname).extraVmSize = extra;
    return *this;
}

MachOFixtureBuilder& MachOFixtureBuilder::symbol(Symbol symbol) {
    symbols_.push_back(std::move(symbol));
    return *this;
}

MachOFixtureBuilder& MachOFixtureBuilder::symbol(const std::string& name, uint64_t offset, bool global) {
    Symbol s;
    s.name = name;
    s.offset = offset;
    s.global = global;
    s.type = global ? 0x0f : 0x0e;
    return symbol(std::move(s));
}

MachOFixtureBuilder& MachOFixtureBuilder::dysymtab(bool present) {
    dysymtab_ = present;
    return *this;
}

MachOFixtureBuilder& MachOFixtureBuilder::dysymtabRanges(uint32_t ilocal, uint32_t nlocal, uint32_t iextdef, uint32_t nextdef) {
    dysymtabRanges_ = std::array<uint32_t, 4>{ilocal, nlocal, iextdef, nextdef};
    return *this;
}

MachOFixtureBuilder& MachOFixtureBuilder::stringTableTail(std::vector<uint8_t> bytes) {
    stringTail_ = std::move(bytes);
    return *this;
}

MachOFixtureBuilder& MachOFixtureBuilder::uuid(const std::array<uint8_t, 16>& uuid) {
    uuid_ = uuid;
    return *this;
}

MachOFixtureBuilder& MachOFixtureBuilder::rawCommand(uint32_t cmd, uint32_t cmdsize, std::vector<uint8_t> payload) {
    raw_.push_back(Raw{cmd, cmdsize, std::move(payload)});
    return *this;
}

uint64_t MachOFixtureBuilder::Image::sectionOffset(const std::string& segname, const std::string& sectname) const {
    for (const auto& p : placed) {
        if (p.key == segname + "," + sectname) return p.offset;
    }
    throw std::out_of_range("no such section in the fixture");
}

uint64_t MachOFixtureBuilder::Image::sectionSize(const std::string& segname, const std::string& sectname) const {
    for (const auto& p : placed) {
        if (p.key == segname + "," + sectname) return p.size;
    }
    throw std::out_of_range("no such section in the fixture");
}

uint64_t MachOFixtureBuilder::Image::segmentOffset(const std::string& segname) const {
    for (const auto& p : placed) {
        if (p.key == segname) return p.offset;
    }
    throw std::out_of_range("no such segment in the fixture");
}

MachOFixtureBuilder::Image MachOFixtureBuilder::build() const {
    const bool m64 = width_ == Width::Bits64;
    const uint64_t headerSize = m64 ? 32 : 28;
    const uint64_t segmentSize = m64 ? 72 : 56;
    const uint64_t sectionSize = m64 ? 80 : 68;
    const uint64_t nlistSize = m64 ? 16 : 12;
    const bool hasSymbols = !symbols_.empty() || !stringTail_.empty();

    // Symbols (locals first) and strings.
    std::vector<const Symbol*> ordered;
    for (const auto& s : symbols_) {
        if (!s.global) ordered.push_back(&s);
    }
    const uint32_t locals = static_cast<uint32_t>(ordered.size());
    for (const auto& s : symbols_) {
        if (s.global) ordered.push_back(&s);
    }
    std::vector<uint8_t> strings{0};
    std::vector<uint32_t> strx;
    for (const Symbol* s : ordered) {
        strx.push_back(static_cast<uint32_t>(strings.size()));
        strings.insert(strings.end(), s->name.begin(), s->name.end());
        strings.push_back(0);
    }
    strings.insert(strings.end(), stringTail_.begin(), stringTail_.end());

    std::vector<Segment> segments = segments_;
    if (hasSymbols) {
        bool present = false;
        for (const auto& s : segments) present = present || s.name == "__LINKEDIT";
        if (!present) segments.push_back(Segment{"__LINKEDIT", 0, 0, {}});
    }

    // Load command sizes.
    uint64_t sizeofcmds = 0;
    uint32_t ncmds = 0;
    for (const auto& s : segments) {
        sizeofcmds += segmentSize + s.sections.size() * sectionSize;
        ++ncmds;
    }
    if (hasSymbols) {
        sizeofcmds += 24;
        ++ncmds;
        if (dysymtab_) {
            sizeofcmds += 80;
            ++ncmds;
        }
    }
    if (uuid_) {
        sizeofcmds += 24;
        ++ncmds;
    }
    for (const auto& r : raw_) {
        sizeofcmds += 8 + r.payload.size();
        ++ncmds;
    }

    // Layout: file offsets packed, memory offsets with the requested gaps.
    struct SegmentLayout {
        uint64_t fileoff, filesize, memoff, vmsize;
        std::vector<uint64_t> sectionFile, sectionMem;
    };
    std::vector<SegmentLayout> layout(segments.size());
    uint64_t fileCursor = headerSize + sizeofcmds;
    uint64_t memCursor = fileCursor;
    uint64_t symoff = 0, stroff = 0;
    for (size_t i = 0; i < segments.size(); ++i) {
        const Segment& s = segments[i];
        SegmentLayout& l = layout[i];
        if (i == 0) {
            l.fileoff = 0;
            l.memoff = 0;
        } else {
            fileCursor = alignUp(fileCursor, 16);
            memCursor = alignUp(memCursor + s.gapBefore, 16);
            l.fileoff = fileCursor;
            l.memoff = memCursor;
        }
        for (const auto& section : s.sections) {
            const uint64_t pad = alignUp(memCursor, section.alignment) - memCursor;
            fileCursor += pad;
            memCursor += pad;
            l.sectionFile.push_back(fileCursor);
            l.sectionMem.push_back(memCursor);
            fileCursor += section.content.size();
            memCursor += section.content.size();
        }
        if (s.name == "__LINKEDIT" && hasSymbols) {
            symoff = fileCursor;
            fileCursor += ordered.size() * nlistSize;
            stroff = fileCursor;
            fileCursor += strings.size();
            memCursor += ordered.size() * nlistSize + strings.size();
        }
        l.filesize = fileCursor - l.fileoff;
        l.vmsize = (memCursor - l.memoff) + s.extraVmSize;
    }

    Image image;
    image.textAddress = textAddress_;
    image.sizeofcmds = static_cast<uint32_t>(sizeofcmds);
    image.bytes.assign(memCursor, 0);
    Writer w(image.bytes, order_ == Order::Swapped);

    w.put32(0, m64 ? 0xfeedfacf : 0xfeedface);
    w.put32(4, cpuType_);
    w.put32(8, cpuSubtype_);
    w.put32(12, fileType_);
    w.put32(16, ncmds);
    w.put32(20, static_cast<uint32_t>(sizeofcmds));
    w.put32(24, 0);

    uint64_t at = headerSize;
    for (size_t i = 0; i < segments.size(); ++i) {
        const Segment& s = segments[i];
        const SegmentLayout& l = layout[i];
        image.placed.push_back({s.name, l.memoff, l.vmsize});
        const uint64_t cmdsize = segmentSize + s.sections.size() * sectionSize;
        w.put32(at, m64 ? 0x19 : 0x1);
        w.put32(at + 4, static_cast<uint32_t>(cmdsize));
        w.putName(at + 8, s.name);
        if (m64) {
            w.put64(at + 24, textAddress_ + l.memoff);
            w.put64(at + 32, l.vmsize);
            w.put64(at + 40, l.fileoff);
            w.put64(at + 48, l.filesize);
            w.put32(at + 56, 5);
            w.put32(at + 60, 5);
            w.put32(at + 64, static_cast<uint32_t>(s.sections.size()));
        } else {
            w.put32(at + 24, static_cast<uint32_t>(textAddress_ + l.memoff));
            w.put32(at + 28, static_cast<uint32_t>(l.vmsize));
            w.put32(at + 32, static_cast<uint32_t>(l.fileoff));
            w.put32(at + 36, static_cast<uint32_t>(l.filesize));
            w.put32(at + 40, 5);
            w.put32(at + 44, 5);
            w.put32(at + 48, static_cast<uint32_t>(s.sections.size()));
        }
        uint64_t sect = at + segmentSize;
        for (size_t j = 0; j < s.sections.size(); ++j) {
            const Section& section = s.sections[j];
            image.placed.push_back({s.name + "," + section.name, l.sectionMem[j], section.content.size()});
            w.putName(sect, section.name);
            w.putName(sect + 16, s.name);
            if (m64) {
                w.put64(sect + 32, textAddress_ + l.sectionMem[j]);
                w.put64(sect + 40, section.content.size());
                w.put32(sect + 48, static_cast<uint32_t>(l.sectionFile[j]));
            } else {
                w.put32(sect + 32, static_cast<uint32_t>(textAddress_ + l.sectionMem[j]));
                w.put32(sect + 36, static_cast<uint32_t>(section.content.size()));
                w.put32(sect + 40, static_cast<uint32_t>(l.sectionFile[j]));
            }
            w.putBytes(l.sectionMem[j], section.content);
            sect += sectionSize;
        }
        if (s.name == "__LINKEDIT" && hasSymbols) {
            const uint64_t symMem = l.memoff + (symoff - l.fileoff);
            for (size_t k = 0; k < ordered.size(); ++k) {
                const Symbol* sym = ordered[k];
                const uint64_t e = symMem + k * nlistSize;
                w.put32(e, strx[k]);
                w.put8(e + 4, sym->type);
                w.put8(e + 5, sym->sect);
                w.put16(e + 6, sym->desc);
                if (m64) {
                    w.put64(e + 8, textAddress_ + sym->offset);
                } else {
                    w.put32(e + 8, static_cast<uint32_t>(textAddress_ + sym->offset));
                }
            }
            w.putBytes(l.memoff + (stroff - l.fileoff), strings);
        }
        at += cmdsize;
    }
    if (hasSymbols) {
        w.put32(at, 0x2);
        w.put32(at + 4, 24);
        w.put32(at + 8, static_cast<uint32_t>(symoff));
        w.put32(at + 12, static_cast<uint32_t>(ordered.size()));
        w.put32(at + 16, static_cast<uint32_t>(stroff));
        w.put32(at + 20, static_cast<uint32_t>(strings.size()));
        at += 24;
        if (dysymtab_) {
            std::array<uint32_t, 4> ranges{0, locals, locals, static_cast<uint32_t>(ordered.size()) - locals};
            if (dysymtabRanges_) ranges = *dysymtabRanges_;
            w.put32(at, 0xb);
            w.put32(at + 4, 80);
            w.put32(at + 8, ranges[0]);
            w.put32(at + 12, ranges[1]);
            w.put32(at + 16, ranges[2]);
            w.put32(at + 20, ranges[3]);
            w.put32(at + 24, static_cast<uint32_t>(ordered.size()));
            at += 80;
        }
    }
    if (uuid_) {
        w.put32(at, 0x1b);
        w.put32(at + 4, 24);
        w.putBytes(at + 8, std::vector<uint8_t>(uuid_->begin(), uuid_->end()));
        at += 24;
    }
    for (const auto& r : raw_) {
        w.put32(at, r.cmd);
        w.put32(at + 4, r.cmdsize);
        w.putBytes(at + 8, r.payload);
        at += 8 + r.payload.size();
    }
    return image;
}

}  // namespace zvcrash::testing
