#include "crashreporter/async/ClassMetadataTesting.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <stdexcept>

namespace zvcrash::testing {

namespace {

// Bytes laid out from a base address, in host (little-endian) order.
class Area {
public:
    Area(uint64_t base, bool is64)
        : base_(base),
          is64_(is64) {}

    uint64_t here() const { return base_ + bytes_.size(); }
    uint64_t pointerSize() const { return is64_ ? 8 : 4; }

    void align(uint64_t to) {
        while (bytes_.size() % to != 0) bytes_.push_back(0);
    }
    void padTo(uint64_t address) {
        if (address < here()) throw std::logic_error("fixture area overlaps itself");
        bytes_.resize(address - base_);
    }
    void u32(uint32_t value) {
        for (int i = 0; i < 4; ++i) bytes_.push_back(static_cast<uint8_t>(value >> (8 * i)));
    }
    void u16(uint16_t value) {
        bytes_.push_back(static_cast<uint8_t>(value));
        bytes_.push_back(static_cast<uint8_t>(value >> 8));
    }
    void u64(uint64_t value) {
        for (int i = 0; i < 8; ++i) bytes_.push_back(static_cast<uint8_t>(value >> (8 * i)));
    }
    void pointer(uint64_t value) {
        if (is64_) {
            u64(value);
        } else {
            u32(static_cast<uint32_t>(value));
        }
    }
    uint64_t string(const std::string& text) {
        const uint64_t address = here();
        bytes_.insert(bytes_.end(), text.begin(), text.end());
        bytes_.push_back(0);
        return address;
    }
    MetadataBlock block(std::string segment, std::string section) const { return {std::move(segment), std::move(section), base_, bytes_}; }
    bool empty() const { return bytes_.empty(); }

private:
    uint64_t base_;
    bool is64_;
    std::vector<uint8_t> bytes_;
};

constexpr uint32_t kRelativeList = 1u << 31;
constexpr uint32_t kRealized = 1u << 31;
constexpr uint32_t kRoMeta = 1;

}  // namespace

ClassMetadataBuilder::ClassMetadataBuilder(bool is64, uint64_t textBase, uint64_t dataBase, uint64_t heapBase)
    : is64_(is64),
      textBase_(textBase),
      dataBase_(dataBase),
      heapBase_(heapBase) {}

size_t ClassMetadataBuilder::addClass(ObjCClass cls) {
    classes_.push_back(std::move(cls));
    return classes_.size() - 1;
}

void ClassMetadataBuilder::addCategory(ObjCCategory category) { categories_.push_back(std::move(category)); }

std::vector<MetadataBlock> ClassMetadataBuilder::build() {
    Area names(textBase_, is64_);
    Area methlist(textBase_ + 0x8000, is64_);
    Area objcConst(dataBase_, is64_);
    Area selrefs(dataBase_ + 0x4000, is64_);
    Area classlist(dataBase_ + 0x5000, is64_);
    Area catlist(dataBase_ + 0x6000, is64_);
    Area objcData(dataBase_ + 0x8000, is64_);
    Area heap(heapBase_, is64_);
    const uint64_t ptr = is64_ ? 8 : 4;
    const bool relative = methodListForm == MethodListForm::Relative;

    // A method list, 0 when there are no methods.
    auto methodList = [&](const std::vector<ObjCMethod>& methods) -> uint64_t {
        if (methods.empty()) return 0;
        std::vector<uint64_t> nameAddresses;
        for (const ObjCMethod& method : methods) nameAddresses.push_back(names.string(method.name));
        const uint64_t types = names.string("v16@0:8");
        if (relative) {
            std::vector<uint64_t> refs;
            for (uint64_t name : nameAddresses) {
                refs.push_back(selrefs.here());
                selrefs.pointer(name);
            }
            methlist.align(4);
            const uint64_t list = methlist.here();
            methlist.u32(kRelativeList | 12);
            methlist.u32(static_cast<uint32_t>(methods.size()));
            for (size_t i = 0; i < methods.size(); ++i) {
                const uint64_t entry = methlist.here();
                methlist.u32(static_cast<uint32_t>(refs[i] - entry));
                methlist.u32(static_cast<uint32_t>(types - (entry + 4)));
                methlist.u32(static_cast<uint32_t>(methods[i].imp - (entry + 8)));
            }
            return list;
        }
        objcConst.align(ptr);
        const uint64_t list = objcConst.here();
        objcConst.u32(static_cast<uint32_t>(3 * ptr));
        objcConst.u32(static_cast<uint32_t>(methods.size()));
        for (size_t i = 0; i < methods.size(); ++i) {
            objcConst.pointer(nameAddresses[i]);
            objcConst.pointer(types);
            objcConst.pointer(methods[i].imp);
        }
        return list;
    };

    auto readOnly = [&](const std::string& name, const std::vector<ObjCMethod>& methods, bool meta) -> uint64_t {
        const uint64_t nameAddress = names.string(name);
        const uint64_t list = methodList(methods);
        objcConst.align(ptr);
        const uint64_t ro = objcConst.here();
        objcConst.u32(meta ? kRoMeta : 0);
        objcConst.u32(static_cast<uint32_t>(ptr));
        objcConst.u32(static_cast<uint32_t>(ptr));
        if (is64_) objcConst.u32(0);
        objcConst.pointer(0);  // ivar layout
        objcConst.pointer(nameAddress);
        objcConst.pointer(list);
        for (int i = 0; i < 4; ++i) objcConst.pointer(0);  // protocols, ivars, weak ivar layout, properties
        return ro;
    };

    // The data word of a class: its read-only data, or run-time data leading to it.
    auto dataWord = [&](uint64_t ro, bool realized) -> uint64_t {
        if (!realized) return ro;
        heap.align(ptr);
        const uint64_t rw = heap.here();
        heap.u32(kRealized);
        heap.u32(0);
        heap.pointer(ro);
        heap.pointer(0);
        return rw;
    };

    classAddresses_.clear();
    metaclassAddresses_.clear();
    runtimeAddresses_.clear();
    readOnlyAddresses_.clear();
    const uint64_t classSize = 5 * ptr;
    for (size_t i = 0; i < classes_.size(); ++i) {
        const ObjCClass& cls = classes_[i];
        const uint64_t ro = readOnly(cls.name, cls.instanceMethods, false);
        const uint64_t metaRo = readOnly(cls.name, cls.classMethods, true);
        const uint64_t data = dataWord(ro, cls.realized);
        const uint64_t metaData = dataWord(metaRo, cls.realized);

        if (classStride != 0) objcData.padTo(dataBase_ + 0x8000 + i * classStride);
        objcData.align(ptr);
        const uint64_t address = objcData.here();
        const uint64_t metaclass = address + classSize;
        uint64_t isa = metaclass;
        if (cls.nonPointerIsa && is64_) isa |= 1 | (uint64_t{0x1d} << 56);
        for (uint64_t word : {isa, uint64_t{0}, uint64_t{0}, uint64_t{0}, data}) objcData.pointer(word);
        for (uint64_t word : {uint64_t{0}, address, uint64_t{0}, uint64_t{0}, metaData}) objcData.pointer(word);
        classlist.pointer(address);

        classAddresses_.push_back(address);
        metaclassAddresses_.push_back(metaclass);
        runtimeAddresses_.push_back(cls.realized ? data : 0);
        readOnlyAddresses_.push_back(ro);
    }
    for (const ObjCCategory& category : categories_) {
        const uint64_t name = names.string(category.name);
        const uint64_t instanceList = methodList(category.instanceMethods);
        const uint64_t classList = methodList(category.classMethods);
        objcConst.align(ptr);
        const uint64_t address = objcConst.here();
        objcConst.pointer(name);
        objcConst.pointer(classAddresses_.at(category.classIndex));
        objcConst.pointer(instanceList);
        objcConst.pointer(classList);
        objcConst.pointer(0);
        objcConst.pointer(0);
        catlist.pointer(address);
    }

    std::vector<MetadataBlock> blocks;
    blocks.push_back(names.block("__TEXT", "__objc_methname"));
    if (!methlist.empty()) blocks.push_back(methlist.block("__TEXT", "__objc_methlist"));
    blocks.push_back(objcConst.block("__DATA", "__objc_const"));
    if (!selrefs.empty()) blocks.push_back(selrefs.block("__DATA", "__objc_selrefs"));
    if (withClassList) blocks.push_back(classlist.block("__DATA", "__objc_classlist"));
    if (withCategoryList && !catlist.empty()) blocks.push_back(catlist.block("__DATA", "__objc_catlist"));
    blocks.push_back(objcData.block("__DATA", "__objc_data"));
    if (!heap.empty()) blocks.push_back(heap.block("", ""));
    return blocks;
}

std::vector<MetadataBlock> ClassMetadataBuilder::buildVersion1(uint64_t base, const std::vector<ObjCClass>& classes, bool methodArray) {
    constexpr uint32_t kClsClass = 0x1, kClsMeta = 0x2, kClsNoMethodArray = 0x4000;
    Area module(base, false);
    Area meta(base + 0x1000, false);

    auto list = [&](const std::vector<ObjCMethod>& methods) -> uint32_t {
        if (methods.empty()) return 0;
        std::vector<uint64_t> nameAddresses;
        for (const ObjCMethod& method : methods) nameAddresses.push_back(meta.string(method.name));
        meta.align(4);
        const auto address = static_cast<uint32_t>(meta.here());
        meta.u32(0);
        meta.u32(static_cast<uint32_t>(methods.size()));
        for (size_t i = 0; i < methods.size(); ++i) {
            meta.u32(static_cast<uint32_t>(nameAddresses[i]));
            meta.u32(0);
            meta.u32(static_cast<uint32_t>(methods[i].imp));
        }
        if (!methodArray) return address;
        const auto array = static_cast<uint32_t>(meta.here());
        meta.u32(address);
        meta.u32(0xffffffffu);
        return array;
    };

    // A class record of 40 bytes; isa patched in once the metaclass exists.
    auto record = [&](uint32_t isa, uint32_t name, uint32_t info, uint32_t methodLists) -> uint32_t {
        meta.align(4);
        const auto address = static_cast<uint32_t>(meta.here());
        meta.u32(isa);
        meta.u32(0);
        meta.u32(name);
        meta.u32(0);
        meta.u32(info | (methodArray ? 0 : kClsNoMethodArray));
        meta.u32(0);
        meta.u32(0);
        meta.u32(methodLists);
        meta.u32(0);
        meta.u32(0);
        return address;
    };

    std::vector<uint32_t> classAddresses;
    for (const ObjCClass& cls : classes) {
        const auto name = static_cast<uint32_t>(meta.string(cls.name));
        const uint32_t instanceLists = list(cls.instanceMethods);
        const uint32_t classLists = list(cls.classMethods);
        const uint32_t metaclass = record(0, name, kClsMeta, classLists);
        classAddresses.push_back(record(metaclass, name, kClsClass, instanceLists));
    }
    meta.align(4);
    const uint64_t symtab = meta.here();
    meta.u32(0);
    meta.u32(0);
    meta.u16(static_cast<uint16_t>(classes.size()));
    meta.u16(0);
    for (uint32_t address : classAddresses) meta.u32(address);

    module.u32(7);
    module.u32(16);
    module.u32(0);
    module.u32(static_cast<uint32_t>(symtab));
    return {module.block("__OBJC", "__module_info"), meta.block("__OBJC", "__class")};
}

namespace {

void putName(std::vector<uint8_t>& out, const std::string& name) {
    char field[16] = {};
    std::memcpy(field, name.data(), std::min<size_t>(name.size(), sizeof(field)));
    out.insert(out.end(), field, field + sizeof(field));
}

void put(std::vector<uint8_t>& out, uint64_t value, size_t size) {
    for (size_t i = 0; i < size; ++i) out.push_back(static_cast<uint8_t>(value >> (8 * i)));
}

}  // namespace

std::vector<MetadataBlock> machOImageBlocks(bool is64, uint64_t headerAddress, const std::vector<MetadataBlock>& blocks,
                                            const std::vector<FixtureSymbol>& symbols) {
    const size_t ptr = is64 ? 8 : 4;
    const uint64_t page = 0x1000;
    const uint64_t linkeditAddress = headerAddress + 0x100000;
    const uint64_t linkeditFileOffset = 0x100000;

    // Segments in the order first named, __TEXT first and __LINKEDIT last.
    std::vector<std::string> order{"__TEXT"};
    std::map<std::string, std::vector<const MetadataBlock*>> bySegment;
    for (const MetadataBlock& block : blocks) {
        if (block.segment.empty()) continue;
        if (std::find(order.begin(), order.end(), block.segment) == order.end()) order.push_back(block.segment);
        bySegment[block.segment].push_back(&block);
    }

    std::vector<uint8_t> linkedit;
    std::vector<uint8_t> strings{0};
    for (const FixtureSymbol& symbol : symbols) {
        put(linkedit, strings.size(), 4);
        linkedit.push_back(0x0f);  // defined in a section, external
        linkedit.push_back(1);
        put(linkedit, 0, 2);
        put(linkedit, symbol.address, ptr);
        strings.insert(strings.end(), symbol.name.begin(), symbol.name.end());
        strings.push_back(0);
    }
    const uint64_t stringOffset = linkeditFileOffset + linkedit.size();
    linkedit.insert(linkedit.end(), strings.begin(), strings.end());

    std::vector<uint8_t> commands;
    uint32_t count = 0;
    auto segment = [&](const std::string& name, uint64_t vmaddr, uint64_t vmsize, uint64_t fileoff,
                       const std::vector<const MetadataBlock*>& sections) {
        const size_t commandSize = (is64 ? 72 : 56) + sections.size() * (is64 ? 80 : 68);
        put(commands, is64 ? 0x19 : 0x1, 4);
        put(commands, commandSize, 4);
        putName(commands, name);
        put(commands, vmaddr, ptr);
        put(commands, vmsize, ptr);
        put(commands, fileoff, ptr);
        put(commands, vmsize, ptr);
        put(commands, 5, 4);
        put(commands, 5, 4);
        put(commands, sections.size(), 4);
        put(commands, 0, 4);
        for (const MetadataBlock* block : sections) {
            putName(commands, block->section);
            putName(commands, name);
            put(commands, block->address, ptr);
            put(commands, block->bytes.size(), ptr);
            for (int i = 0; i < (is64 ? 8 : 7); ++i) put(commands, 0, 4);
        }
        ++count;
    };
    for (const std::string& name : order) {
        const auto& sections = bySegment[name];
        uint64_t start = name == "__TEXT" ? headerAddress : UINT64_MAX;
        uint64_t end = headerAddress + page;
        for (const MetadataBlock* block : sections) {
            start = std::min(start, block->address);
            end = std::max(end, block->address + block->bytes.size());
        }
        start &= ~(page - 1);
        segment(name, start, ((end - start) + page - 1) & ~(page - 1), start - headerAddress, sections);
    }
    segment("__LINKEDIT", linkeditAddress, (linkedit.size() + page - 1) & ~(page - 1), linkeditFileOffset, {});
    put(commands, 0x2, 4);
    put(commands, 24, 4);
    put(commands, linkeditFileOffset, 4);
    put(commands, symbols.size(), 4);
    put(commands, stringOffset, 4);
    put(commands, strings.size(), 4);
    ++count;

    std::vector<uint8_t> header;
    put(header, is64 ? 0xfeedfacf : 0xfeedface, 4);
    put(header, is64 ? 0x01000007 : 7, 4);
    put(header, 3, 4);
    put(header, 6, 4);  // a shared library
    put(header, count, 4);
    put(header, commands.size(), 4);
    put(header, 0, 4);
    if (is64) put(header, 0, 4);
    header.insert(header.end(), commands.begin(), commands.end());
    if (header.size() > page) throw std::logic_error("fixture load commands do not fit their page");

    std::vector<MetadataBlock> image{{"", "", headerAddress, std::move(header)}, {"__LINKEDIT", "", linkeditAddress, std::move(linkedit)}};
    image.insert(image.end(), blocks.begin(), blocks.end());
    return image;
}

void placeMachOImage(SimulatedTask& task, bool is64, uint64_t headerAddress, const std::vector<MetadataBlock>& blocks,
                     const std::vector<FixtureSymbol>& symbols) {
    for (MetadataBlock& block : machOImageBlocks(is64, headerAddress, blocks, symbols)) task.map(block.address, std::move(block.bytes));
}

}  // namespace zvcrash::testing
