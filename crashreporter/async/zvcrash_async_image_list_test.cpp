#include "crashreporter/async/zvcrash_async_image_list.h"

#include <dlfcn.h>
#include <gtest/gtest.h>
#include <sys/auxv.h>
#include <unistd.h>

#include <climits>
#include <string>
#include <vector>

#include "crashreporter/async/MachOFixtureBuilderTesting.h"
#include "crashreporter/async/SimulatedTask.h"
#include "crashreporter/async/zvcrash_async_image_feeder.h"

extern "C" __attribute__((noinline, visibility("default"))) int a_test_function(int value) { return value + 41; }

namespace {

using zvcrash::async::async_list;
using zvcrash::testing::MachOFixtureBuilder;
using zvcrash::testing::SimulatedTask;

std::vector<int> contents(async_list<int>& list) {
    std::vector<int> values;
    list.set_reading(true);
    for (auto* n = list.first(); n != nullptr; n = list.after(n)) values.push_back(n->value);
    list.set_reading(false);
    return values;
}

// Every prev link matches the forward order.
bool backLinksAgree(async_list<int>& list) {
    const async_list<int>::node* previous = nullptr;
    for (auto* n = list.first(); n != nullptr; n = list.after(n)) {
        if (n->prev != previous) return false;
        previous = n;
    }
    return list.tail == previous;
}

TEST(ZVCrashAsyncList, HeadAndTailFollowAppendsAndRemovals) {
    struct Case {
        const char* what;
        std::vector<int> appended;
        int removed;
        std::vector<int> expected;
    };
    const std::vector<Case> cases = {
        {"one node is head and tail", {1}, 0, {1}},
        {"removing the only node empties the list", {1}, 1, {}},
        {"removing the head makes its next the head", {1, 2, 3}, 1, {2, 3}},
        {"removing the tail makes its previous the tail", {1, 2, 3}, 3, {1, 2}},
        {"removing a middle node joins its neighbours", {1, 2, 3}, 2, {1, 3}},
        {"removing a value not listed changes nothing", {1, 2}, 9, {1, 2}},
    };
    for (const Case& c : cases) {
        async_list<int> list;
        for (int v : c.appended) list.append_node(v);
        if (c.appended.size() == 1 && c.removed == 0) {
            EXPECT_EQ(list.first(), list.tail) << c.what;
        }
        if (c.removed != 0) list.remove_first([&](int v) { return v == c.removed; });
        EXPECT_EQ(c.expected, contents(list)) << c.what;
        EXPECT_TRUE(backLinksAgree(list)) << c.what;
        if (c.expected.empty()) {
            EXPECT_EQ(nullptr, list.first()) << c.what;
            EXPECT_EQ(nullptr, list.tail) << c.what;
        } else {
            EXPECT_EQ(c.expected.front(), list.first()->value) << c.what;
            EXPECT_EQ(c.expected.back(), list.tail->value) << c.what;
        }
        list.free_all();
    }
}

int released = 0;
void countRelease(int) { ++released; }

TEST(ZVCrashAsyncList, ANodeRemovedUnderAReaderIsParkedThenReused) {
    async_list<int> list;
    list.release_value = &countRelease;
    released = 0;
    list.append_node(1);
    list.append_node(2);
    auto* second = list.after(list.first());

    // A reader stands on the node while it is removed: it stays, with its next intact.
    list.set_reading(true);
    list.remove_node(second);
    EXPECT_EQ(second, list.free_list);
    EXPECT_EQ(0, released);
    EXPECT_EQ(2, second->value);
    // While the reader is counted, an append takes fresh memory.
    list.append_node(3);
    EXPECT_NE(second, list.tail);
    list.set_reading(false);

    // Once nobody reads, the parked node is reused and its old value released.
    list.append_node(4);
    EXPECT_EQ(second, list.tail);
    EXPECT_EQ(nullptr, list.free_list);
    EXPECT_EQ(1, released);
    EXPECT_EQ((std::vector<int>{1, 3, 4}), contents(list));

    // Removed with no reader counted: released at once.
    list.remove_first([](int v) { return v == 3; });
    list.remove_node(list.first());
    EXPECT_EQ(nullptr, list.free_list);
    list.free_all();
    EXPECT_EQ(4, released);
}

constexpr uint64_t kImageA = 0x10000000;
constexpr uint64_t kImageB = 0x20000000;
constexpr uint64_t kImageC = 0x30000000;

class ZVCrashImageList : public ::testing::Test {
protected:
    void SetUp() override {
        fixture_ = MachOFixtureBuilder(MachOFixtureBuilder::Width::Bits64, MachOFixtureBuilder::Order::Host)
                       .section("__TEXT", "__text", std::vector<uint8_t>(0x200, 0x90))
                       .build();
        for (uint64_t at : {kImageA, kImageB, kImageC}) task_.map(at, fixture_.bytes);
        zvcrash_async_image_list_init(&list_, task_.task());
    }
    void TearDown() override { zvcrash_async_image_list_free(&list_); }

    std::vector<uint64_t> bases() {
        std::vector<uint64_t> result;
        zvcrash_async_image_list_set_reading(&list_, true);
        for (auto* image = zvcrash_async_image_list_next(&list_, nullptr); image != nullptr;
             image = zvcrash_async_image_list_next(&list_, image)) {
            result.push_back(zvcrash_async_image_base(image));
        }
        zvcrash_async_image_list_set_reading(&list_, false);
        return result;
    }

    SimulatedTask task_;
    MachOFixtureBuilder::Image fixture_;
    zvcrash_async_image_list list_{};
};

TEST_F(ZVCrashImageList, NextWalksOldestFirstAndLookupsUseTheTextExtent) {
    EXPECT_TRUE(zvcrash_async_image_list_append(&list_, kImageB, "/b"));
    EXPECT_TRUE(zvcrash_async_image_list_append(&list_, kImageA, "/a"));
    // Nothing readable there: left out.
    EXPECT_FALSE(zvcrash_async_image_list_append(&list_, 0x40000000, "/missing"));
    EXPECT_EQ((std::vector<uint64_t>{kImageB, kImageA}), bases());

    zvcrash_async_image_list_set_reading(&list_, true);
    zvcrash_async_image* a = zvcrash_async_image_containing_address(&list_, kImageA);
    ASSERT_NE(nullptr, a);
    EXPECT_STREQ("/a", zvcrash_async_image_path(a));
    const uint64_t size = zvcrash_async_image_size(a);
    EXPECT_EQ(a, zvcrash_async_image_containing_address(&list_, kImageA + size - 1));
    EXPECT_EQ(nullptr, zvcrash_async_image_containing_address(&list_, kImageA + size));
    EXPECT_EQ(nullptr, zvcrash_async_image_containing_address(&list_, kImageA - 1));
    EXPECT_EQ(nullptr, zvcrash_async_image_list_next(&list_, a));
    zvcrash_async_image_list_set_reading(&list_, false);

    zvcrash_async_image_list_remove(&list_, kImageB);
    zvcrash_async_image_list_remove(&list_, kImageC);
    EXPECT_EQ((std::vector<uint64_t>{kImageA}), bases());
    EXPECT_TRUE(zvcrash_async_image_list_append(&list_, kImageC, "/c"));
    EXPECT_EQ((std::vector<uint64_t>{kImageA, kImageC}), bases());
}

TEST_F(ZVCrashImageList, ARemovedImageStaysReadableForAReaderAlreadyOnIt) {
    zvcrash_async_image_list_append(&list_, kImageA, "/a");
    zvcrash_async_image_list_append(&list_, kImageB, "/b");
    zvcrash_async_image_list_set_reading(&list_, true);
    zvcrash_async_image* a = zvcrash_async_image_list_next(&list_, nullptr);
    zvcrash_async_image_list_remove(&list_, kImageA);
    // Still intact, and it still leads on to the rest of the list.
    EXPECT_STREQ("/a", zvcrash_async_image_path(a));
    zvcrash_async_image* b = zvcrash_async_image_list_next(&list_, a);
    ASSERT_NE(nullptr, b);
    EXPECT_EQ(kImageB, zvcrash_async_image_base(b));
    zvcrash_async_image_list_set_reading(&list_, false);
    EXPECT_EQ((std::vector<uint64_t>{kImageB}), bases());
}

// The live images of this process.

std::string selfPath() {
    char buffer[PATH_MAX];
    const ssize_t length = readlink("/proc/self/exe", buffer, sizeof(buffer) - 1);
    return length > 0 ? std::string(buffer, static_cast<size_t>(length)) : std::string();
}

std::string hex(const uint8_t* bytes, size_t length) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (size_t i = 0; i < length; ++i) {
        out += digits[bytes[i] >> 4];
        out += digits[bytes[i] & 15];
    }
    return out;
}

std::string readelfBuildId(const std::string& path) {
    const std::string command = "readelf -n '" + path + "' 2>/dev/null";
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) return {};
    std::string output;
    char chunk[512];
    while (fgets(chunk, sizeof(chunk), pipe) != nullptr) output += chunk;
    pclose(pipe);
    const auto at = output.find("Build ID: ");
    if (at == std::string::npos) return {};
    const auto start = at + 10;
    return output.substr(start, output.find_first_of("\r\n", start) - start);
}

class ZVCrashLiveImages : public ::testing::Test {
protected:
    void SetUp() override {
        zvcrash_async_image_list_init(&list_, zvcrash_async_task_self());
        zvcrash_async_image_feeder_init(&feeder_, &list_);
    }
    void TearDown() override { zvcrash_async_image_list_free(&list_); }

    zvcrash_async_image* find(uint64_t address) {
        zvcrash_async_image_list_set_reading(&list_, true);
        zvcrash_async_image* image = zvcrash_async_image_containing_address(&list_, address);
        zvcrash_async_image_list_set_reading(&list_, false);
        return image;
    }
    zvcrash_async_image* findPath(const std::string& part) {
        zvcrash_async_image* found = nullptr;
        zvcrash_async_image_list_set_reading(&list_, true);
        for (auto* image = zvcrash_async_image_list_next(&list_, nullptr); image != nullptr && found == nullptr;
             image = zvcrash_async_image_list_next(&list_, image)) {
            if (std::string(zvcrash_async_image_path(image)).find(part) != std::string::npos) found = image;
        }
        zvcrash_async_image_list_set_reading(&list_, false);
        return found;
    }

    zvcrash_async_image_list list_{};
    zvcrash_async_image_feeder feeder_{};
};

TEST_F(ZVCrashLiveImages, TheTestFunctionIsInTheExecutableWithItsBuildId) {
    EXPECT_EQ(42, a_test_function(1));
    zvcrash_async_image* image = find(reinterpret_cast<uint64_t>(&a_test_function));
    ASSERT_NE(nullptr, image);
    EXPECT_EQ(ZVCRASH_ASYNC_IMAGE_FORMAT_ELF, image->format);
    EXPECT_EQ(selfPath(), zvcrash_async_image_path(image));
    EXPECT_EQ(0x01000007u, zvcrash_async_image_cpu_type(image));
    EXPECT_EQ(3u, zvcrash_async_image_cpu_subtype(image));

    const std::string expected = readelfBuildId(selfPath());
    ASSERT_FALSE(expected.empty()) << "readelf shows no build-id";
    ASSERT_NE(0u, image->elf.build_id_size);
    EXPECT_EQ(expected, hex(image->elf.build_id, image->elf.build_id_size));
    uint8_t uuid[16];
    ASSERT_EQ(ZVCRASH_OK, zvcrash_async_image_uuid(image, uuid));
    EXPECT_EQ(expected.substr(0, 32), hex(uuid, 16));

    // The executable's unwind tables.
    zvcrash_async_mobject frames;
    ASSERT_EQ(ZVCRASH_OK, zvcrash_async_image_map_section(image, ZVCRASH_ASYNC_IMAGE_SECTION_EH_FRAME_HDR, &frames));
    EXPECT_EQ(1, *reinterpret_cast<const uint8_t*>(frames.address));
    zvcrash_async_mobject_free(&frames);
    ASSERT_EQ(ZVCRASH_OK, zvcrash_async_image_map_section(image, ZVCRASH_ASYNC_IMAGE_SECTION_EH_FRAME, &frames));
    ASSERT_GE(zvcrash_async_mobject_length(&frames), 8u);
    uint32_t cieId = 1;
    ASSERT_EQ(ZVCRASH_OK, zvcrash_async_mobject_read_uint32(&frames, zvcrash_async_byteorder_direct(), frames.task_address, 4, &cieId));
    EXPECT_EQ(0u, cieId) << "the first record of .eh_frame is a CIE";
    zvcrash_async_mobject_free(&frames);
    EXPECT_EQ(ZVCRASH_ERR_NOTFOUND, zvcrash_async_image_map_section(image, ZVCRASH_ASYNC_IMAGE_SECTION_UNWIND_INFO, &frames));
}

TEST_F(ZVCrashLiveImages, LibcAndTheVdsoAreListed) {
    zvcrash_async_image* libc = findPath("libc.so");
    ASSERT_NE(nullptr, libc);
    EXPECT_NE(0u, libc->elf.dynsym_count);
    EXPECT_NE(0u, libc->elf.build_id_size);

    const uint64_t vdsoBase = getauxval(AT_SYSINFO_EHDR);
    ASSERT_NE(0u, vdsoBase);
    zvcrash_async_image* vdso = find(vdsoBase);
    ASSERT_NE(nullptr, vdso);
    EXPECT_EQ(vdsoBase, zvcrash_async_image_base(vdso));
    // Its dynamic section is never relocated by the loader; its symbols are still found.
    uint64_t gettime = 0;
    ASSERT_EQ(ZVCRASH_OK, zvcrash_async_elf_find_symbol_by_name(&vdso->elf, "__vdso_clock_gettime", &gettime));
    EXPECT_TRUE(zvcrash_async_image_contains_address(vdso, gettime));
}

TEST_F(ZVCrashLiveImages, AnOpenedLibraryJoinsOnResyncAndLeavesAfterClose) {
    const std::string library = ZVCRASH_IMAGE_TEST_LIBRARY;
    ASSERT_EQ(nullptr, findPath("libzvcrash_image_test"));
    zvcrash_async_image* first = zvcrash_async_image_list_next(&list_, nullptr);

    // Nothing moved: the list is left exactly as it is.
    zvcrash_async_image_feeder_resync(&feeder_);
    EXPECT_EQ(first, zvcrash_async_image_list_next(&list_, nullptr));

    void* handle = dlopen(library.c_str(), RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(nullptr, handle) << dlerror();
    auto* function = reinterpret_cast<int (*)(int)>(dlsym(handle, "zvcrash_image_test_function"));
    ASSERT_NE(nullptr, function);
    EXPECT_EQ(7, function(2));
    const auto address = reinterpret_cast<uint64_t>(function);
    EXPECT_EQ(nullptr, find(address)) << "not listed before a resync";

    zvcrash_async_image_feeder_resync(&feeder_);
    zvcrash_async_image* image = find(address);
    ASSERT_NE(nullptr, image);
    EXPECT_EQ(library, zvcrash_async_image_path(image));
    EXPECT_EQ(first, zvcrash_async_image_list_next(&list_, nullptr)) << "the images already listed stay";

    struct Found {
        uint64_t address = 0;
        std::string name;
    } found;
    ASSERT_EQ(ZVCRASH_OK, zvcrash_async_image_find_symbol_by_pc(
                              image, address + 2,
                              [](uint64_t at, const char* name, void* context) {
                                  static_cast<Found*>(context)->address = at;
                                  static_cast<Found*>(context)->name = name;
                              },
                              &found));
    EXPECT_EQ("zvcrash_image_test_function", found.name);
    EXPECT_EQ(address, found.address);
    uint64_t other = 0;
    ASSERT_EQ(ZVCRASH_OK, zvcrash_async_elf_find_symbol_by_name(&image->elf, "zvcrash_image_test_other", &other));
    EXPECT_EQ(reinterpret_cast<uint64_t>(dlsym(handle, "zvcrash_image_test_other")), other);
    EXPECT_EQ(readelfBuildId(library), hex(image->elf.build_id, image->elf.build_id_size));

    ASSERT_EQ(0, dlclose(handle));
    zvcrash_async_image_feeder_resync(&feeder_);
    EXPECT_EQ(nullptr, findPath("libzvcrash_image_test"));
    EXPECT_EQ(nullptr, find(address));
}

}  // namespace
