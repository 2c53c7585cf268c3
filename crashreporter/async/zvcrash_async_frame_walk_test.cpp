// Walks of real stacks of this process: the image list fed from the loader, every default
// reader, code with and without frame pointers and a C library frame in between.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <link.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "crashreporter/async/ParkedThreadsTesting.h"
#include "crashreporter/async/zvcrash_async_frame_cursor.h"
#include "crashreporter/async/zvcrash_async_image_feeder.h"
#include "crashreporter/async/zvcrash_async_thread_rendezvous.h"

extern "C" {
zvcrash_error_t zvcrash_walk_chain_1(zvcrash_async_thread_state_current_callback callback, void* context);
zvcrash_error_t zvcrash_walk_chain_2(zvcrash_async_thread_state_current_callback callback, void* context);
zvcrash_error_t zvcrash_walk_chain_3(zvcrash_async_thread_state_current_callback callback, void* context);
zvcrash_error_t zvcrash_walk_chain_4(zvcrash_async_thread_state_current_callback callback, void* context);
zvcrash_error_t zvcrash_walk_chain_5(zvcrash_async_thread_state_current_callback callback, void* context);
void zvcrash_testing_parked_thread(int, void*, void*);
}

namespace {

struct Walk {
    zvcrash_async_image_list* images;
    std::vector<uint64_t> ips;
    zvcrash_async_frame_error end = ZVCRASH_FRAME_OK;
};

void walkFrom(zvcrash_async_frame_cursor* cursor, Walk* walk) {
    zvcrash_async_frame_error result = ZVCRASH_FRAME_OK;
    while (walk->ips.size() < 256 && (result = zvcrash_async_frame_cursor_next(cursor)) == ZVCRASH_FRAME_OK) {
        uint64_t ip = 0;
        zvcrash_async_frame_cursor_get_reg(cursor, ZVCRASH_REG_IP, &ip);
        walk->ips.push_back(ip);
    }
    walk->end = result;
}

zvcrash_error_t walkHere(zvcrash_async_thread_state* state, void* context) {
    auto* walk = static_cast<Walk*>(context);
    zvcrash_async_frame_cursor cursor;
    zvcrash_async_frame_cursor_init(&cursor, zvcrash_async_task_self(), state, walk->images);
    walkFrom(&cursor, walk);
    zvcrash_async_frame_cursor_free(&cursor);
    return ZVCRASH_OK;
}

// The extent of an exported function of this executable.
struct Extent {
    uint64_t start = 0;
    uint64_t end = 0;
    bool contains(uint64_t address) const { return address >= start && address < end; }
};

Extent extentOf(const void* function) {
    Dl_info info;
    ElfW(Sym)* symbol = nullptr;
    if (dladdr1(function, &info, reinterpret_cast<void**>(&symbol), RTLD_DL_SYMENT) == 0 || symbol == nullptr) return {};
    const auto start = reinterpret_cast<uint64_t>(info.dli_saddr);
    return {start, start + symbol->st_size};
}

std::string objectOf(uint64_t address) {
    Dl_info info;
    if (dladdr(reinterpret_cast<void*>(address), &info) == 0 || info.dli_fname == nullptr) return "";
    return info.dli_fname;
}

// Index of the first frame at or after from that falls in extent, or -1.
int findFrame(const std::vector<uint64_t>& ips, const Extent& extent, size_t from = 0) {
    for (size_t i = from; i < ips.size(); ++i)
        if (extent.contains(ips[i])) return static_cast<int>(i);
    return -1;
}

class ZVCrashFrameWalk : public ::testing::Test {
protected:
    void SetUp() override {
        zvcrash_async_image_list_init(&images_, zvcrash_async_task_self());
        zvcrash_async_image_feeder_init(&feeder_, &images_);
        walk_.images = &images_;
    }
    void TearDown() override { zvcrash_async_image_list_free(&images_); }

    zvcrash_async_image_list images_{};
    zvcrash_async_image_feeder feeder_{};
    Walk walk_;
};

TEST_F(ZVCrashFrameWalk, FramesWithoutFramePointersInOrderUpToMain) {
    ASSERT_EQ(ZVCRASH_OK, zvcrash_walk_chain_1(walkHere, &walk_));
    const Extent chain[] = {
        extentOf(reinterpret_cast<void*>(zvcrash_walk_chain_5)), extentOf(reinterpret_cast<void*>(zvcrash_walk_chain_4)),
        extentOf(reinterpret_cast<void*>(zvcrash_walk_chain_3)), extentOf(reinterpret_cast<void*>(zvcrash_walk_chain_2)),
        extentOf(reinterpret_cast<void*>(zvcrash_walk_chain_1))};
    ASSERT_GE(walk_.ips.size(), 6u);
    // The first frame is the caller of the capture, the chain's innermost function.
    for (size_t i = 0; i < 5; ++i) {
        ASSERT_NE(0u, chain[i].end) << i;
        EXPECT_TRUE(chain[i].contains(walk_.ips[i])) << "frame " << i << " at " << std::hex << walk_.ips[i];
    }
    const Extent mainExtent = extentOf(dlsym(RTLD_DEFAULT, "main"));
    ASSERT_NE(0u, mainExtent.end);
    EXPECT_GT(findFrame(walk_.ips, mainExtent, 5), 5);
}

Walk* g_sortWalk = nullptr;

extern "C" __attribute__((noinline, visibility("default"))) int zvcrash_walk_compare(const void* a, const void* b) {
    if (g_sortWalk != nullptr && g_sortWalk->ips.empty()) zvcrash_async_thread_state_current(walkHere, g_sortWalk);
    const int x = *static_cast<const int*>(a);
    const int y = *static_cast<const int*>(b);
    return (x > y) - (x < y);
}

extern "C" __attribute__((noinline, visibility("default"))) void zvcrash_walk_sort(int* values, size_t count) {
    qsort(values, count, sizeof(int), zvcrash_walk_compare);
    asm volatile("" ::: "memory");
}

TEST_F(ZVCrashFrameWalk, AWalkCrossesQsortAndComesBack) {
    int values[32];
    for (int i = 0; i < 32; ++i) values[i] = (i * 7919) % 101;
    g_sortWalk = &walk_;
    zvcrash_walk_sort(values, 32);
    g_sortWalk = nullptr;

    ASSERT_FALSE(walk_.ips.empty());
    EXPECT_TRUE(extentOf(reinterpret_cast<void*>(zvcrash_walk_compare)).contains(walk_.ips[0]));
    // Between the comparator and the caller of qsort, only frames of the library that sorts:
    // the C library, or a sanitizer's runtime, which brings its own qsort.
    const int caller = findFrame(walk_.ips, extentOf(reinterpret_cast<void*>(zvcrash_walk_sort)));
    ASSERT_GT(caller, 1) << "the walk did not come back to the caller of qsort";
    const std::string executable = objectOf(walk_.ips[0]);
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    const char* sorter = "san.so";
#else
    const char* sorter = "libc.so";
#endif
    for (int i = 1; i < caller; ++i) {
        const std::string object = objectOf(walk_.ips[i]);
        EXPECT_NE(executable, object) << i;
        EXPECT_NE(std::string::npos, object.find(sorter)) << i << " " << object;
    }
}

// Drops every ELF image's copies of its tables, so that the readers go to the task as they do
// when a copy could not be made.
void dropTableCopies(zvcrash_async_image_list* list) {
    for (zvcrash_async_image* image = zvcrash_async_image_list_next(list, nullptr); image != nullptr;
         image = zvcrash_async_image_list_next(list, image)) {
        if (image->format != ZVCRASH_ASYNC_IMAGE_FORMAT_ELF) continue;
        for (zvcrash_async_mobject* copy :
             {&image->elf.eh_frame_hdr_copy, &image->elf.eh_frame_copy, &image->elf.dynsym_copy, &image->elf.dynstr_copy}) {
            zvcrash_async_mobject_free(copy);
            *copy = {};
        }
    }
}

TEST_F(ZVCrashFrameWalk, AWalkWithoutCopiedTablesFindsTheSameFrames) {
    std::vector<uint64_t> ips[2];
    zvcrash_async_frame_error ends[2] = {};
    for (int pass = 0; pass < 2; ++pass) {
        if (pass == 1) dropTableCopies(&images_);
        Walk walk{&images_, {}, ZVCRASH_FRAME_OK};
        int values[8] = {5, 3, 8, 1, 9, 2, 7, 4};
        g_sortWalk = &walk;
        zvcrash_walk_sort(values, 8);
        g_sortWalk = nullptr;
        ips[pass] = walk.ips;
        ends[pass] = walk.end;
    }
    ASSERT_GT(ips[0].size(), 3u);
    EXPECT_EQ(ips[0], ips[1]);
    EXPECT_EQ(ends[0], ends[1]);
}

TEST_F(ZVCrashFrameWalk, AStoppedThreadsWalkPassesThroughWhereItIsParked) {
    ASSERT_EQ(ZVCRASH_OK, zvcrash_async_thread_rendezvous_prepare(0));
    zvcrash::testing::ParkedThreads threads(1);
    ASSERT_EQ(ZVCRASH_OK, zvcrash_async_thread_rendezvous_suspend());
    zvcrash_async_frame_cursor cursor;
    const zvcrash_error_t error = zvcrash_async_frame_cursor_thread_init(&cursor, zvcrash_async_task_self(), threads.id(0), &images_);
    if (error == ZVCRASH_OK) walkFrom(&cursor, &walk_);
    zvcrash_async_thread_rendezvous_resume();
    ASSERT_EQ(ZVCRASH_OK, error);

    const uint64_t parked = threads.parkedReturnAddress(0);
    bool found = false;
    for (uint64_t ip : walk_.ips) found = found || ip == parked;
    EXPECT_TRUE(found) << "no frame at " << std::hex << parked;
    EXPECT_TRUE(threads.releaseAndJoin());
    // A thread the rendezvous never stopped has nothing to walk.
    EXPECT_EQ(ZVCRASH_ERR_INTERNAL, zvcrash_async_frame_cursor_thread_init(&cursor, zvcrash_async_task_self(), threads.id(0), &images_));
}

}  // namespace
