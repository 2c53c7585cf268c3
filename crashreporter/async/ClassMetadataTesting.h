// Test support: the object-runtime class metadata of a fixture image, laid out as the sections a
// compiled image carries (version 2) or as the legacy module info of 32-bit images (version 1),
// at addresses the test chooses, ready to be placed in a simulated task.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "crashreporter/async/SimulatedTask.h"

namespace zvcrash::testing {

struct ObjCMethod {
    std::string name;
    uint64_t imp;
};

struct ObjCClass {
    std::string name;
    std::vector<ObjCMethod> instanceMethods;
    std::vector<ObjCMethod> classMethods;
    // The data word leads to run-time data that holds the read-only pointer, as once the class
    // has been used.
    bool realized = false;
    // The isa carries bits besides the metaclass address, marked by bit 0.
    bool nonPointerIsa = false;
};

struct ObjCCategory {
    std::string name;
    // Index of the class (as returned by addClass) the category extends.
    size_t classIndex;
    std::vector<ObjCMethod> instanceMethods;
    std::vector<ObjCMethod> classMethods;
};

// A block of bytes at a task address; segment and section name it when it belongs to the
// image's load commands, and are empty for other task memory (run-time data).
struct MetadataBlock {
    std::string segment;
    std::string section;
    uint64_t address;
    std::vector<uint8_t> bytes;
};

enum class MethodListForm { Absolute, Relative };

class ClassMetadataBuilder {
public:
    // Version-2 metadata: strings and relative method lists go at textBase (in __TEXT), records
    // at dataBase (in __DATA), run-time data at heapBase (outside the image). Each area spans
    // 0x10000 bytes.
    ClassMetadataBuilder(bool is64, uint64_t textBase, uint64_t dataBase, uint64_t heapBase);

    size_t addClass(ObjCClass cls);
    void addCategory(ObjCCategory category);

    // Relative lists name their methods through selector references in __objc_selrefs.
    MethodListForm methodListForm = MethodListForm::Absolute;
    // Bytes between class records; a multiple of 4096 puts every class into one cache slot.
    uint64_t classStride = 0;
    bool withClassList = true;
    bool withCategoryList = true;

    std::vector<MetadataBlock> build();

    // Known once build() ran.
    uint64_t classAddress(size_t index) const { return classAddresses_.at(index); }
    uint64_t metaclassAddress(size_t index) const { return metaclassAddresses_.at(index); }
    // The run-time data of a realized class (its second word is the read-only pointer).
    uint64_t runtimeDataAddress(size_t index) const { return runtimeAddresses_.at(index); }
    // The read-only data of a class.
    uint64_t readOnlyAddress(size_t index) const { return readOnlyAddresses_.at(index); }

    // Version-1 metadata of a 32-bit image: "__OBJC,__module_info" at base, with the symbol
    // tables, classes, method lists and strings after it in one "__OBJC,__meta" block. Each class
    // keeps its methods in one list; with methodArray they are reached through an array of lists
    // ended by 0xffffffff.
    static std::vector<MetadataBlock> buildVersion1(uint64_t base, const std::vector<ObjCClass>& classes, bool methodArray);

private:
    bool is64_;
    uint64_t textBase_;
    uint64_t dataBase_;
    uint64_t heapBase_;
    std::vector<ObjCClass> classes_;
    std::vector<ObjCCategory> categories_;
    std::vector<uint64_t> classAddresses_;
    std::vector<uint64_t> metaclassAddresses_;
    std::vector<uint64_t> runtimeAddresses_;
    std::vector<uint64_t> readOnlyAddresses_;
};

struct FixtureSymbol {
    std::string name;
    uint64_t address;
};

// Places a Mach-O image of the given width in the task: its header and load commands at
// headerAddress (the start of __TEXT, so the image is not slid), one segment command for each
// segment the blocks name, with one section per block, and a symbol table in __LINKEDIT (at
// headerAddress + 0x100000) of defined external symbols. Blocks without a segment are placed in
// the task only. Blocks of __TEXT must start at or after headerAddress + 0x1000.
void placeMachOImage(SimulatedTask& task, bool is64, uint64_t headerAddress, const std::vector<MetadataBlock>& blocks,
                     const std::vector<FixtureSymbol>& symbols);
// The same image as blocks: the header and load commands first, then __LINKEDIT, then the given
// blocks.
std::vector<MetadataBlock> machOImageBlocks(bool is64, uint64_t headerAddress, const std::vector<MetadataBlock>& blocks,
                                            const std::vector<FixtureSymbol>& symbols);

}  // namespace zvcrash::testing
