// Test support: the object-runtime class metadata of a fixture image, laid out as the sections a
// compiled image carries (version 2) or as the legacy module info of 32-bit images (version 1),
// added to an image of MachOFixtureBuilder and placed in a simulated task.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "crashreporter/async/MachOFixtureBuilderTesting.h"
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

// Where each part of version-2 metadata goes.
struct ClassMetadataAddresses {
    uint64_t methname;
    uint64_t methlist;
    uint64_t objcConst;
    uint64_t selrefs;
    uint64_t classlist;
    uint64_t catlist;
    uint64_t objcData;
    // Run-time data, outside the image.
    uint64_t heap;
};

class ClassMetadataBuilder {
public:
    // With swapped, every field is stored in the opposite byte order to this host's.
    explicit ClassMetadataBuilder(bool is64, bool swapped = false);

    size_t addClass(ObjCClass cls);
    void addCategory(ObjCCategory category);

    // Relative lists name their methods through selector references in __objc_selrefs.
    MethodListForm methodListForm = MethodListForm::Absolute;
    // Bytes between class records; a multiple of 4096 puts every class into one cache slot.
    uint64_t classStride = 0;
    bool withClassList = true;
    // The segment of __objc_const, __objc_classlist and __objc_catlist.
    std::string listSegment = "__DATA";
    bool withCategoryList = true;

    std::vector<MetadataBlock> build(const ClassMetadataAddresses& addresses);
    const ClassMetadataAddresses& addresses() const { return addresses_; }

    // Known once build() ran.
    uint64_t classAddress(size_t index) const { return classAddresses_.at(index); }
    uint64_t metaclassAddress(size_t index) const { return metaclassAddresses_.at(index); }
    // The run-time data of a realized class (its second word is the read-only pointer).
    uint64_t runtimeDataAddress(size_t index) const { return runtimeAddresses_.at(index); }
    // The read-only data of a class.
    uint64_t readOnlyAddress(size_t index) const { return readOnlyAddresses_.at(index); }

    // Version-1 metadata of a 32-bit image: "__OBJC,__module_info" at moduleInfo, and the symbol
    // tables, classes, method lists and strings in "__OBJC,__class" at records. Each class keeps
    // its methods in one list; with methodArray they are reached through an array of lists ended
    // by 0xffffffff.
    static std::vector<MetadataBlock> buildVersion1(uint64_t moduleInfo, uint64_t records, const std::vector<ObjCClass>& classes,
                                                    bool methodArray, bool swapped = false);

private:
    bool is64_;
    bool swapped_;
    ClassMetadataAddresses addresses_{};
    std::vector<ObjCClass> classes_;
    std::vector<ObjCCategory> categories_;
    std::vector<uint64_t> classAddresses_;
    std::vector<uint64_t> metaclassAddresses_;
    std::vector<uint64_t> runtimeAddresses_;
    std::vector<uint64_t> readOnlyAddresses_;
};

// Lays metadata blocks out as sections of the image: make is called once to learn the blocks'
// sizes (with every section address 0) and once more with the addresses the image gave those
// sections. Returns the image (one block from headerAddress) followed by the blocks that belong
// to no section.
using SectionAddress = std::function<uint64_t(const std::string& segment, const std::string& section)>;
std::vector<MetadataBlock> imageWithSections(MachOFixtureBuilder image, uint64_t headerAddress,
                                             const std::function<std::vector<MetadataBlock>(const SectionAddress&)>& make);

// The image with the builder's version-2 metadata, its run-time data at heapBase.
std::vector<MetadataBlock> imageWithClassMetadata(MachOFixtureBuilder image, uint64_t headerAddress, ClassMetadataBuilder& metadata,
                                                  uint64_t heapBase);
// A 32-bit image with version-1 metadata.
std::vector<MetadataBlock> imageWithVersion1Metadata(MachOFixtureBuilder image, uint64_t headerAddress,
                                                     const std::vector<ObjCClass>& classes, bool methodArray, bool swapped = false);

void placeBlocks(SimulatedTask& task, std::vector<MetadataBlock> blocks);

}  // namespace zvcrash::testing
