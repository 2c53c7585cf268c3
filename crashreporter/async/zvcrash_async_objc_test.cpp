#include "crashreporter/async/zvcrash_async_objc.h"

#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

#include "crashreporter/async/ClassMetadataTesting.h"
#include "crashreporter/async/SimulatedTask.h"
#include "crashreporter/async/zvcrash_async_image.h"

namespace {

using zvcrash::testing::ClassMetadataBuilder;
using zvcrash::testing::MachOFixtureBuilder;
using zvcrash::testing::MethodListForm;
using zvcrash::testing::ObjCCategory;
using zvcrash::testing::ObjCClass;
using zvcrash::testing::SimulatedTask;

constexpr uint64_t kHeader = 0x10000000;
constexpr uint64_t kHeap = 0x30000000;

// One reported method, its names copied out of the lazy strings.
using Method = std::tuple<bool, std::string, std::string, uint64_t>;

std::string text(zvcrash_async_macho_string* string) {
    const char* pointer = nullptr;
    size_t length = 0;
    if (zvcrash_async_macho_string_get_pointer(string, &pointer) != ZVCRASH_OK) return "<unmapped>";
    if (zvcrash_async_macho_string_get_length(string, &length) != ZVCRASH_OK) return "<unterminated>";
    return std::string(pointer, length);
}

void collect(bool isClassMethod, zvcrash_async_macho_string* className, zvcrash_async_macho_string* methodName, uint64_t imp,
             void* context) {
    static_cast<std::vector<Method>*>(context)->emplace_back(isClassMethod, text(className), text(methodName), imp);
}

// A fixture image in a simulated task, read through the Mach-O reader.
class ObjCImage {
public:
    explicit ObjCImage(std::vector<zvcrash::testing::MetadataBlock> blocks) {
        zvcrash::testing::placeBlocks(task, std::move(blocks));
        initError = zvcrash_async_macho_init(&image, task.task(), "fixture", kHeader);
        zvcrash_async_objc_cache_init(&cache);
    }
    ~ObjCImage() {
        zvcrash_async_objc_cache_free(&cache);
        if (initError == ZVCRASH_OK) zvcrash_async_macho_free(&image);
    }

    std::vector<Method> parse(zvcrash_error_t expected = ZVCRASH_OK) {
        std::vector<Method> methods;
        EXPECT_EQ(expected, zvcrash_async_objc_parse(&image, &cache, collect, &methods));
        return methods;
    }

    SimulatedTask task;
    zvcrash_async_macho image{};
    zvcrash_error_t initError;
    zvcrash_async_objc_cache cache;
};

MachOFixtureBuilder machO(bool is64, bool swapped = false) {
    return MachOFixtureBuilder(is64 ? MachOFixtureBuilder::Width::Bits64 : MachOFixtureBuilder::Width::Bits32,
                               swapped ? MachOFixtureBuilder::Order::Swapped : MachOFixtureBuilder::Order::Host);
}

std::vector<zvcrash::testing::MetadataBlock> image(ClassMetadataBuilder& builder, bool is64 = true, bool swapped = false) {
    return zvcrash::testing::imageWithClassMetadata(machO(is64, swapped), kHeader, builder, kHeap);
}

ClassMetadataBuilder sampleMetadata(bool is64, MethodListForm form, bool swapped = false) {
    ClassMetadataBuilder builder(is64, swapped);
    builder.methodListForm = form;
    const size_t engine = builder.addClass({"Engine", {{"start", 0x10002000}, {"stop", 0x10002040}}, {{"shared", 0x10002100}}});
    builder.addClass({"Wheel", {{"spin", 0x10002200}}, {}, /*realized=*/true, /*nonPointerIsa=*/true});
    builder.addCategory({"Diagnostics", engine, {{"dump", 0x10002300}}, {{"selfTest", 0x10002400}}});
    return builder;
}

struct ParseCase {
    bool is64;
    MethodListForm form;
    bool swapped;
};

class ObjCParse : public testing::TestWithParam<ParseCase> {};

TEST_P(ObjCParse, ReportsClassesMetaclassesAndCategories) {
    ClassMetadataBuilder builder = sampleMetadata(GetParam().is64, GetParam().form, GetParam().swapped);
    ObjCImage fixture(image(builder, GetParam().is64, GetParam().swapped));
    ASSERT_EQ(ZVCRASH_OK, fixture.initError);
    const std::vector<Method> expected{
        {false, "Engine", "start", 0x10002000}, {false, "Engine", "stop", 0x10002040}, {true, "Engine", "shared", 0x10002100},
        {false, "Wheel", "spin", 0x10002200},   {false, "Engine", "dump", 0x10002300}, {true, "Engine", "selfTest", 0x10002400},
    };
    EXPECT_EQ(expected, fixture.parse());
    EXPECT_TRUE(fixture.cache.skip_objc1);
    // The sections stay with the cache: a second parse of the image reports the same.
    EXPECT_EQ(expected, fixture.parse());
}

INSTANTIATE_TEST_SUITE_P(Layouts, ObjCParse,
                         testing::Values(ParseCase{true, MethodListForm::Absolute, false}, ParseCase{true, MethodListForm::Relative, false},
                                         ParseCase{false, MethodListForm::Absolute, false}, ParseCase{true, MethodListForm::Relative, true},
                                         ParseCase{false, MethodListForm::Absolute, true}));

TEST(ObjCParse, ReadsVersion1ModuleInfo) {
    const std::vector<ObjCClass> classes{{"Legacy", {{"draw", 0x10002000}, {"erase", 0x10002010}}, {{"alloc", 0x10002020}}},
                                         {"Plain", {}, {{"new", 0x10002030}}}};
    const std::vector<Method> expected{{false, "Legacy", "draw", 0x10002000},
                                       {false, "Legacy", "erase", 0x10002010},
                                       {true, "Legacy", "alloc", 0x10002020},
                                       {true, "Plain", "new", 0x10002030}};
    for (bool methodArray : {false, true}) {
        for (bool swapped : {false, true}) {
            SCOPED_TRACE(testing::Message() << (methodArray ? "array of method lists" : "one method list") << (swapped ? ", swapped" : ""));
            ObjCImage fixture(zvcrash::testing::imageWithVersion1Metadata(machO(false, swapped), kHeader, classes, methodArray, swapped));
            ASSERT_EQ(ZVCRASH_OK, fixture.initError);
            EXPECT_EQ(expected, fixture.parse());
        }
    }
}

TEST(ObjCParse, ClassesWithoutAnyCategoryAreNamed) {
    ClassMetadataBuilder builder(true);
    builder.addClass({"Solo", {{"run", 0x10002000}}, {}});
    ObjCImage fixture(image(builder));
    EXPECT_EQ((std::vector<Method>{{false, "Solo", "run", 0x10002000}}), fixture.parse());
}

TEST(ObjCParse, ListsAreFoundInEveryDataSegment) {
    for (const char* segment : {"__DATA_CONST", "__DATA_DIRTY"}) {
        SCOPED_TRACE(segment);
        ClassMetadataBuilder builder(true);
        builder.listSegment = segment;
        builder.addClass({"Moved", {{"run", 0x10002000}}, {}});
        ObjCImage fixture(image(builder));
        EXPECT_EQ((std::vector<Method>{{false, "Moved", "run", 0x10002000}}), fixture.parse());
    }
}

TEST(ObjCParse, MissingClassListIsNotFound) {
    ClassMetadataBuilder builder = sampleMetadata(true, MethodListForm::Absolute);
    builder.withClassList = false;
    ObjCImage fixture(image(builder));
    EXPECT_TRUE(fixture.parse(ZVCRASH_ERR_NOTFOUND).empty());
    EXPECT_FALSE(fixture.cache.skip_objc1);
}

// Patches a 32-bit word of the region that starts at region.
void patch32(SimulatedTask& task, uint64_t region, uint64_t address, uint32_t value) {
    std::vector<uint8_t>& bytes = task.bytesAt(region);
    for (int i = 0; i < 4; ++i) bytes.at(address - region + i) = static_cast<uint8_t>(value >> (8 * i));
}

TEST(ObjCParse, BrokenMethodListsAreBadData) {
    // Each case damages the first method list's header (in __objc_const) after the image is built.
    struct Case {
        const char* what;
        uint32_t entrySize;
        uint32_t count;
    };
    for (const Case& c : {Case{"entry smaller than its fields", 0, 0xffffffff}, Case{"entries past the section", 24, 0x100000}}) {
        SCOPED_TRACE(c.what);
        ClassMetadataBuilder builder(true);
        builder.addClass({"Solo", {{"run", 0x10002000}}, {}});
        ObjCImage fixture(image(builder));
        // The instance method list is the first record of __objc_const.
        const uint64_t list = builder.addresses().objcConst;
        patch32(fixture.task, kHeader, list, c.entrySize);
        patch32(fixture.task, kHeader, list + 4, c.count);
        EXPECT_TRUE(fixture.parse(ZVCRASH_ERR_BADDATA).empty());
    }
}

TEST(ObjCParse, ClassCacheKeepsTheFirstClassOfASlot) {
    ClassMetadataBuilder builder(true);
    // Class records 4096 bytes apart share one slot.
    builder.classStride = 4096;
    builder.addClass({"First", {{"one", 0x10002000}}, {}, /*realized=*/true});
    builder.addClass({"Second", {{"two", 0x10002100}}, {}, /*realized=*/true});
    ObjCImage fixture(image(builder));
    ASSERT_EQ(ZVCRASH_OK, fixture.initError);
    const uint64_t first = builder.classAddress(0);
    const uint64_t second = builder.classAddress(1);
    const uint64_t slot = (first >> 2) % ZVCRASH_ASYNC_OBJC_CLASS_CACHE_SLOTS;
    ASSERT_EQ(slot, (second >> 2) % ZVCRASH_ASYNC_OBJC_CLASS_CACHE_SLOTS);

    const std::vector<Method> expected{{false, "First", "one", 0x10002000}, {false, "Second", "two", 0x10002100}};
    EXPECT_EQ(expected, fixture.parse());
    ASSERT_EQ(ZVCRASH_ASYNC_OBJC_CLASS_CACHE_SLOTS, fixture.cache.class_cache_capacity);
    EXPECT_EQ(first, fixture.cache.class_cache_keys[slot]);
    EXPECT_EQ(builder.readOnlyAddress(0), fixture.cache.class_cache_values[slot]);

    // The first class's run-time data is no longer read: its cached read-only data still names it.
    patch32(fixture.task, kHeap, builder.runtimeDataAddress(0) + 8, 0xdead0000);
    EXPECT_EQ(expected, fixture.parse());
    // The second class is read afresh every time.
    patch32(fixture.task, kHeap, builder.runtimeDataAddress(1) + 8, 0xdead0000);
    EXPECT_EQ((std::vector<Method>{{false, "First", "one", 0x10002000}}), fixture.parse(ZVCRASH_ERR_BADDATA));
}

struct Found {
    int calls = 0;
    Method method;
};

void keep(bool isClassMethod, zvcrash_async_macho_string* className, zvcrash_async_macho_string* methodName, uint64_t imp, void* context) {
    auto* found = static_cast<Found*>(context);
    ++found->calls;
    found->method = {isClassMethod, text(className), text(methodName), imp};
}

TEST(ObjCFindMethod, HighestImplementationAtOrBelowThePc) {
    ClassMetadataBuilder builder = sampleMetadata(true, MethodListForm::Relative);
    ObjCImage fixture(image(builder));
    ASSERT_EQ(ZVCRASH_OK, fixture.initError);
    struct Case {
        uint64_t pc;
        Method method;
    };
    for (const Case& c :
         {Case{0x10002000, {false, "Engine", "start", 0x10002000}}, Case{0x1000203f, {false, "Engine", "start", 0x10002000}},
          Case{0x10002104, {true, "Engine", "shared", 0x10002100}}, Case{0x10009000, {true, "Engine", "selfTest", 0x10002400}}}) {
        SCOPED_TRACE(c.pc);
        Found found;
        EXPECT_EQ(ZVCRASH_OK, zvcrash_async_objc_find_method(&fixture.image, &fixture.cache, c.pc, keep, &found));
        EXPECT_EQ(1, found.calls);
        EXPECT_EQ(c.method, found.method);
    }
    Found none;
    EXPECT_EQ(ZVCRASH_ERR_NOTFOUND, zvcrash_async_objc_find_method(&fixture.image, &fixture.cache, 0x10001fff, keep, &none));
    EXPECT_EQ(0, none.calls);
}

}  // namespace
