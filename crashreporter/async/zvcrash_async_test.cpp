#include "crashreporter/async/zvcrash_async.h"

#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstring>

#include "crashreporter/async/SimulatedTask.h"
#include "crashreporter/async/zvcrash_async_mobject.h"

namespace {

using zvcrash::testing::SimulatedTask;

TEST(ZVCrashAsync, SelfTaskTellsUnmappedFromUnreadable) {
    const size_t page = 4096;
    ASSERT_EQ(static_cast<long>(page), sysconf(_SC_PAGESIZE));
    auto* area = static_cast<uint8_t*>(mmap(nullptr, 3 * page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
    ASSERT_NE(area, MAP_FAILED);
    std::memset(area, 0x5a, page);
    ASSERT_EQ(0, mprotect(area + page, page, PROT_NONE));
    ASSERT_EQ(0, munmap(area + 2 * page, page));
    const auto base = reinterpret_cast<uint64_t>(area);

    uint8_t byte = 0;
    EXPECT_EQ(ZVCRASH_OK, zvcrash_async_task_read_uint8(zvcrash_async_task_self(), base, 10, &byte));
    EXPECT_EQ(0x5a, byte);
    EXPECT_EQ(ZVCRASH_ERR_ACCESS, zvcrash_async_task_read_uint8(zvcrash_async_task_self(), base + page, 0, &byte));
    EXPECT_EQ(ZVCRASH_ERR_NOTFOUND, zvcrash_async_task_read_uint8(zvcrash_async_task_self(), base + 2 * page, 0, &byte));

    // Two pages whose second cannot be read: a partial mapping keeps the first page only.
    zvcrash_async_mobject mobj;
    ASSERT_EQ(ZVCRASH_OK, zvcrash_async_mobject_init(&mobj, zvcrash_async_task_self(), base, 2 * page, false));
    EXPECT_EQ(page, zvcrash_async_mobject_length(&mobj));
    uint32_t word = 0;
    EXPECT_EQ(ZVCRASH_OK, zvcrash_async_mobject_read_uint32(&mobj, zvcrash_async_byteorder_direct(), base, 4, &word));
    EXPECT_EQ(0x5a5a5a5au, word);
    EXPECT_EQ(ZVCRASH_ERR_INVAL, zvcrash_async_mobject_read_uint32(&mobj, zvcrash_async_byteorder_direct(), base, page - 2, &word));
    zvcrash_async_mobject_free(&mobj);
    EXPECT_EQ(ZVCRASH_ERR_NOMEM, zvcrash_async_mobject_init(&mobj, zvcrash_async_task_self(), base, 2 * page, true));
    munmap(area, 2 * page);
}

TEST(ZVCrashAsync, SimulatedTaskRegions) {
    SimulatedTask task;
    task.map(0x10000, {1, 2, 3, 4});
    task.map(0x20000, {9}, false);
    uint32_t value = 0;
    EXPECT_EQ(ZVCRASH_OK, zvcrash_async_task_read_uint32(task.task(), zvcrash_async_byteorder_swapped(), 0x10000, 0, &value));
    EXPECT_EQ(0x01020304u, value);
    EXPECT_EQ(ZVCRASH_ERR_NOTFOUND, zvcrash_async_task_read_uint32(task.task(), zvcrash_async_byteorder_direct(), 0x10002, 0, &value));
    uint8_t byte;
    EXPECT_EQ(ZVCRASH_ERR_ACCESS, zvcrash_async_task_read_uint8(task.task(), 0x20000, 0, &byte));
    EXPECT_EQ(ZVCRASH_ERR_NOMEM, zvcrash_async_task_read_uint8(task.task(), 0, -1, &byte));
}

}  // namespace
