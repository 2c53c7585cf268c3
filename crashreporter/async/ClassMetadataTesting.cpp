#include "crashreporter/async/ClassMetadataTesting.h"

#include <iterator>
#include <stdexcept>

namespace zvcrash::testing {

namespace {

// Bytes laid out from a base address, in host (little-endian) order.
class Area {
public:
    Area(uint64_t base, bool is64, bool swapped)
        : base_(base),
          is64_(is64),
          swapped_(swapped) {}

    uint64_t here() const { return base_ + bytes_.size(); }
    uint64_t pointerSize() const { return is64_ ? 8 : 4; }

    void align(uint64_t to) {
        while (bytes_.size() % to != 0) bytes_.push_back(0);
    }
    void padTo(uint64_t address) {
        if (address < here()) throw std::logic_error("fixture area overlaps itself");
        bytes_.resize(address - base_);
    }
    void u16(uint16_t value) { put(value, 2); }
    void u32(uint32_t value) { put(value, 4); }
    void u64(uint64_t value) { put(value, 8); }
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
    // Low byte first (this host's order), or high byte first when swapped.
    void put(uint64_t value, int size) {
        for (int i = 0; i < size; ++i) bytes_.push_back(static_cast<uint8_t>(value >> (8 * (swapped_ ? size - 1 - i : i))));
    }

    bool is64_;
    bool swapped_;
    std::vector<uint8_t> bytes_;
};

constexpr uint32_t kRelativeList = 1u << 31;
constexpr uint32_t kRealized = 1u << 31;
constexpr uint32_t kRoMeta = 1;

}  // namespace

ClassMetadataBuilder::ClassMetadataBuilder(bool is64, bool swapped)
    : is64_(is64),
      swapped_(swapped) {}

size_t ClassMetadataBuilder::addClass(ObjCClass cls) {
    classes_.push_back(std::move(cls));
    return classes_.size() - 1;
}

void ClassMetadataBuilder::addCategory(ObjCCategory category) { categories_.push_back(std::move(category)); }

std::vector<MetadataBlock> ClassMetadataBuilder::build(const ClassMetadataAddresses& addresses) {
    addresses_ = addresses;
    Area names(addresses.methname, is64_, swapped_);
    Area methlist(addresses.methlist, is64_, swapped_);
    Area objcConst(addresses.objcConst, is64_, swapped_);
    Area selrefs(addresses.selrefs, is64_, swapped_);
    Area classlist(addresses.classlist, is64_, swapped_);
    Area catlist(addresses.catlist, is64_, swapped_);
    Area objcData(addresses.objcData, is64_, swapped_);
    Area heap(addresses.heap, is64_, swapped_);
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

        if (classStride != 0) objcData.padTo(addresses.objcData + i * classStride);
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
    blocks.push_back(objcConst.block(listSegment, "__objc_const"));
    if (!selrefs.empty()) blocks.push_back(selrefs.block("__DATA", "__objc_selrefs"));
    if (withClassList) blocks.push_back(classlist.block(listSegment, "__objc_classlist"));
    if (withCategoryList && !catlist.empty()) blocks.push_back(catlist.block(listSegment, "__objc_catlist"));
    blocks.push_back(objcData.block("__DATA", "__objc_data"));
    if (!heap.empty()) blocks.push_back(heap.block("", ""));
    return blocks;
}

std::vector<MetadataBlock> ClassMetadataBuilder::buildVersion1(uint64_t moduleInfo, uint64_t records, const std::vector<ObjCClass>& classes,
                                                               bool methodArray, bool swapped) {
    constexpr uint32_t kClsClass = 0x1, kClsMeta = 0x2, kClsNoMethodArray = 0x4000;
    Area module(moduleInfo, false, swapped);
    Area meta(records, false, swapped);

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

std::vector<MetadataBlock> imageWithSections(MachOFixtureBuilder image, uint64_t headerAddress,
                                             const std::function<std::vector<MetadataBlock>(const SectionAddress&)>& make) {
    // The blocks' sizes do not depend on their addresses, so the image laid out with blocks of
    // the right size places the real ones exactly.
    MachOFixtureBuilder sized = image;
    for (const MetadataBlock& block : make([](const std::string&, const std::string&) { return uint64_t{0}; })) {
        if (!block.segment.empty()) sized.section(block.segment, block.section, std::vector<uint8_t>(block.bytes.size()));
    }
    const MachOFixtureBuilder::Image layout = sized.build();
    // A section the blocks leave out has no address.
    std::vector<MetadataBlock> blocks = make([&](const std::string& segment, const std::string& section) {
        for (const auto& placed : layout.placed) {
            if (placed.key == segment + "," + section) return headerAddress + placed.offset;
        }
        return uint64_t{0};
    });

    std::vector<MetadataBlock> outside;
    for (MetadataBlock& block : blocks) {
        if (block.segment.empty()) {
            outside.push_back(std::move(block));
        } else {
            if (block.bytes.size() != layout.sectionSize(block.segment, block.section)) throw std::logic_error("metadata changed size");
            image.section(block.segment, block.section, std::move(block.bytes));
        }
    }
    std::vector<MetadataBlock> placed{{"", "", headerAddress, image.build().bytes}};
    placed.insert(placed.end(), std::make_move_iterator(outside.begin()), std::make_move_iterator(outside.end()));
    return placed;
}

std::vector<MetadataBlock> imageWithClassMetadata(MachOFixtureBuilder image, uint64_t headerAddress, ClassMetadataBuilder& metadata,
                                                  uint64_t heapBase) {
    return imageWithSections(std::move(image), headerAddress, [&](const SectionAddress& address) {
        return metadata.build({address("__TEXT", "__objc_methname"), address("__TEXT", "__objc_methlist"),
                               address(metadata.listSegment, "__objc_const"), address("__DATA", "__objc_selrefs"),
                               address(metadata.listSegment, "__objc_classlist"), address(metadata.listSegment, "__objc_catlist"),
                               address("__DATA", "__objc_data"), heapBase});
    });
}

std::vector<MetadataBlock> imageWithVersion1Metadata(MachOFixtureBuilder image, uint64_t headerAddress,
                                                     const std::vector<ObjCClass>& classes, bool methodArray, bool swapped) {
    return imageWithSections(std::move(image), headerAddress, [&](const SectionAddress& address) {
        return ClassMetadataBuilder::buildVersion1(address("__OBJC", "__module_info"), address("__OBJC", "__class"), classes, methodArray,
                                                   swapped);
    });
}

void placeBlocks(SimulatedTask& task, std::vector<MetadataBlock> blocks) {
    for (MetadataBlock& block : blocks) {
        // Memory comes in whole pages: a string near the end of a block is read a page at a time.
        block.bytes.resize((block.bytes.size() + 0xfff) & ~size_t{0xfff});
        task.map(block.address, std::move(block.bytes));
    }
}

}  // namespace zvcrash::testing
