#include "crashreporter/async/zvcrash_async.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <deque>
#include <string>

#include "crashreporter/async/SimulatedTask.h"
#include "crashreporter/async/zvcrash_async_file.h"
#include "crashreporter/async/zvcrash_async_mobject.h"

namespace {

// What write does on the scripted descriptor, one entry per call; every other descriptor, and
// the scripted one once the script is used up, gets the real system call.
struct ScriptedWrite {
    enum Kind { Zero, Interrupted, Partial } kind;
    size_t bytes = 0;
};
int scriptedFd = -1;
int scriptedCalls = 0;
std::deque<ScriptedWrite> script;

}  // namespace

// Stands in for the C library's write in this test program, so that the tests can make a
// descriptor answer what no real one does on demand (0 bytes written, an interruption).
extern "C" ssize_t write(int fd, const void* data, size_t length) {
    if (fd == scriptedFd) {
        ++scriptedCalls;
        if (!script.empty()) {
            const ScriptedWrite next = script.front();
            script.pop_front();
            switch (next.kind) {
                case ScriptedWrite::Zero:
                    return 0;
                case ScriptedWrite::Interrupted:
                    errno = EINTR;
                    return -1;
                case ScriptedWrite::Partial:
                    length = next.bytes < length ? next.bytes : length;
                    break;
            }
        }
    }
    return syscall(SYS_write, fd, data, length);
}

namespace {

// A pipe whose read end does not block: what has reached the descriptor so far.
struct Pipe {
    int read = -1;
    int write = -1;
    Pipe() {
        int fds[2];
        EXPECT_EQ(0, pipe2(fds, O_NONBLOCK));
        read = fds[0];
        write = fds[1];
    }
    ~Pipe() {
        ::close(read);
        if (write >= 0) ::close(write);
        scriptedFd = -1;
        script.clear();
    }
    std::string drain() const {
        std::string out;
        char chunk[4096];
        ssize_t n;
        while ((n = ::read(read, chunk, sizeof(chunk))) > 0) out.append(chunk, static_cast<size_t>(n));
        return out;
    }
};

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

volatile int forkedValue = 0;

// What the own task reads of forkedValue: -1 when the read fails.
int readForkedValue() {
    int value = -1;
    if (zvcrash_async_task_memcpy(zvcrash_async_task_self(), reinterpret_cast<uint64_t>(&forkedValue), 0, &value, sizeof value) !=
        ZVCRASH_OK)
        return -1;
    return value;
}

// Exits with 0 when the reads of the process that runs it see its own value.
[[noreturn]] void checkOwnReadsAndExit(int value, int generations) {
    forkedValue = value;
    if (readForkedValue() != value) _exit(1);
    if (generations > 0) {
        const pid_t child = fork();
        if (child < 0) _exit(2);
        if (child == 0) checkOwnReadsAndExit(value + 1, generations - 1);
        int status = 0;
        if (waitpid(child, &status, 0) != child || !WIFEXITED(status) || WEXITSTATUS(status) != 0) _exit(3);
        // The child's reads left ours alone.
        if (readForkedValue() != value) _exit(4);
    }
    _exit(0);
}

TEST(ZVCrashAsync, SelfTaskReadsTheForkedChildsOwnMemory) {
    forkedValue = 1;
    ASSERT_EQ(1, readForkedValue());
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    // A child and a grandchild, each changing the value after the fork and reading it back.
    if (child == 0) checkOwnReadsAndExit(2, 1);
    int status = 0;
    ASSERT_EQ(child, waitpid(child, &status, 0));
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(0, WEXITSTATUS(status));
    EXPECT_EQ(1, readForkedValue());
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

TEST(ZVCrashAsync, ErrorTexts) {
    const std::pair<int, const char*> texts[] = {
        {0, "No error"},
        {1, "Unknown error"},
        {2, "Output file can not be opened (or written to)"},
        {3, "No memory available"},
        {4, "Operation not supported"},
        {5, "Invalid argument"},
        {6, "Internal error"},
        {7, "Access denied"},
        {8, "Not found"},
        {9, "The input data is in an unknown or invalid format."},
        {10, "Unhandled error code"},
        {11, "Unhandled error code"},
        {1000, "Unhandled error code"},
        {-1, "Unhandled error code"},
    };
    for (auto [code, text] : texts) EXPECT_STREQ(text, zvcrash_async_strerror(code)) << code;
}

TEST(ZVCrashAsync, ByteOrderTables) {
    const zvcrash_async_byteorder* direct = zvcrash_async_byteorder_direct();
    const zvcrash_async_byteorder* swapped = zvcrash_async_byteorder_swapped();
    EXPECT_EQ(0x1234u, direct->swap16(0x1234));
    EXPECT_EQ(0x12345678u, direct->swap32(0x12345678));
    EXPECT_EQ(0x0102030405060708u, direct->swap64(0x0102030405060708));
    EXPECT_EQ(0x3412u, swapped->swap16(0x1234));
    EXPECT_EQ(0x78563412u, swapped->swap32(0x12345678));
    EXPECT_EQ(0x0807060504030201u, swapped->swap64(0x0102030405060708));
    EXPECT_EQ(&zvcrash_async_byteorder_swap32, swapped->swap32);
    EXPECT_EQ(direct, zvcrash_async_byteorder_direct());
}

TEST(ZVCrashAsync, ApplyOffsetAtTheEnds) {
    struct Case {
        uint64_t base;
        int64_t offset;
        bool ok;
        uint64_t result;
    };
    const Case cases[] = {
        {0, -1, false, 0},
        {0, 0, true, 0},
        {UINT64_MAX, 1, false, 0},
        {UINT64_MAX, 0, true, UINT64_MAX},
        {UINT64_MAX - 1, 1, true, UINT64_MAX},
        {1, -1, true, 0},
        {uint64_t{1} << 63, INT64_MIN, true, 0},
        {(uint64_t{1} << 63) - 1, INT64_MIN, false, 0},
        {UINT64_MAX - INT64_MAX, INT64_MAX, true, UINT64_MAX},
        {UINT64_MAX - INT64_MAX + 1, INT64_MAX, false, 0},
    };
    for (const Case& c : cases) {
        uint64_t out = 0xdead;
        EXPECT_EQ(c.ok, zvcrash_async_address_apply_offset(c.base, c.offset, &out)) << c.base << " " << c.offset;
        EXPECT_EQ(c.ok ? c.result : 0xdead, out) << c.base << " " << c.offset;
        EXPECT_EQ(c.ok, zvcrash_async_address_apply_offset(c.base, c.offset, nullptr));
    }
}

TEST(ZVCrashAsync, TaskReadThatOverflowsTouchesNothing) {
    SimulatedTask task;
    task.map(0, {7});
    uint8_t byte = 0;
    EXPECT_EQ(ZVCRASH_ERR_NOMEM, zvcrash_async_task_memcpy(task.task(), UINT64_MAX, 1, &byte, 1));
    EXPECT_EQ(ZVCRASH_ERR_NOMEM, zvcrash_async_task_read_uint8(zvcrash_async_task_self(), 0, -1, &byte));
    EXPECT_EQ(0, byte);
    EXPECT_EQ(ZVCRASH_OK, zvcrash_async_task_read_uint8(task.task(), 1, -1, &byte));
    EXPECT_EQ(7, byte);
}

TEST(ZVCrashAsync, TwoPageMobjectWhoseSecondPageIsUnmapped) {
    const size_t page = 4096;
    // Far below where mmap places new mappings, so that the mobject's own mapping cannot land in
    // the hole after the page and fill it.
    uint8_t* area = nullptr;
    for (uint64_t at = 0x2000'0000; at < 0x4000'0000 && area == nullptr; at += 0x10'0000) {
        void* mapped =
            mmap(reinterpret_cast<void*>(at), page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED_NOREPLACE, -1, 0);
        if (mapped == MAP_FAILED) continue;
        uint8_t probe;
        if (zvcrash_async_task_read_uint8(zvcrash_async_task_self(), at + page, 0, &probe) == ZVCRASH_ERR_NOTFOUND) {
            area = static_cast<uint8_t*>(mapped);
        } else {
            munmap(mapped, page);
        }
    }
    ASSERT_NE(nullptr, area);
    for (size_t i = 0; i < page; ++i) area[i] = static_cast<uint8_t>(i);
    const auto base = reinterpret_cast<uint64_t>(area);

    // Starting inside the first page: only the rest of that page is usable.
    zvcrash_async_mobject mobj;
    ASSERT_EQ(ZVCRASH_OK, zvcrash_async_mobject_init(&mobj, zvcrash_async_task_self(), base + 16, 2 * page - 16, false));
    EXPECT_EQ(page - 16, zvcrash_async_mobject_length(&mobj));
    EXPECT_EQ(base + 16, zvcrash_async_mobject_base_address(&mobj));
    EXPECT_EQ(page, mobj.vm_length);
    uint8_t byte = 0;
    EXPECT_EQ(ZVCRASH_OK, zvcrash_async_mobject_read_uint8(&mobj, base, page - 1, &byte));
    EXPECT_EQ(0xff, byte);
    EXPECT_EQ(ZVCRASH_ERR_INVAL, zvcrash_async_mobject_read_uint8(&mobj, base, page, &byte));
    EXPECT_EQ(ZVCRASH_ERR_INVAL, zvcrash_async_mobject_read_uint8(&mobj, base, 15, &byte));
    zvcrash_async_mobject_free(&mobj);

    EXPECT_EQ(ZVCRASH_ERR_NOMEM, zvcrash_async_mobject_init(&mobj, zvcrash_async_task_self(), base, 2 * page, true));
    // A read that runs off the end of the mapping is told by the page where it stopped.
    uint8_t across[8];
    EXPECT_EQ(ZVCRASH_ERR_NOTFOUND, zvcrash_async_task_memcpy(zvcrash_async_task_self(), base + page - 4, 0, across, sizeof(across)));
    ASSERT_EQ(0, mprotect(area, page, PROT_NONE));
    EXPECT_EQ(ZVCRASH_ERR_ACCESS, zvcrash_async_task_memcpy(zvcrash_async_task_self(), base + page - 4, 0, across, sizeof(across)));
    // Nothing readable at the start: nothing to map even when a part would do.
    EXPECT_EQ(ZVCRASH_ERR_NOMEM, zvcrash_async_mobject_init(&mobj, zvcrash_async_task_self(), base + page, page, false));
    munmap(area, page);
}

TEST(ZVCrashAsync, MobjectTranslatesAndVerifiesTaskAddresses) {
    SimulatedTask task;
    std::vector<uint8_t> bytes(64);
    for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>(0xa0 + i);
    task.map(0x7000'1000, bytes);
    zvcrash_async_mobject mobj;
    ASSERT_EQ(ZVCRASH_OK, zvcrash_async_mobject_init(&mobj, task.task(), 0x7000'1008, 32, true));
    EXPECT_EQ(task.task(), zvcrash_async_mobject_task(&mobj));
    EXPECT_EQ(32u, zvcrash_async_mobject_length(&mobj));
    EXPECT_EQ(0u, mobj.vm_address % 4096);
    EXPECT_EQ(mobj.vm_address + 8, mobj.address);

    auto* local = static_cast<const uint8_t*>(zvcrash_async_mobject_remap_address(&mobj, 0x7000'1008, 4, 28));
    ASSERT_NE(nullptr, local);
    EXPECT_EQ(0xa0 + 12, *local);
    EXPECT_EQ(nullptr, zvcrash_async_mobject_remap_address(&mobj, 0x7000'1008, 4, 29));
    EXPECT_EQ(nullptr, zvcrash_async_mobject_remap_address(&mobj, 0x7000'1000, 7, 1));
    EXPECT_NE(nullptr, zvcrash_async_mobject_remap_address(&mobj, 0x7000'1000, 8, 0));
    EXPECT_EQ(nullptr, zvcrash_async_mobject_remap_address(&mobj, 0x7000'1008, INT64_MIN, 1));

    EXPECT_TRUE(zvcrash_async_mobject_verify_local_pointer(&mobj, mobj.address, 0, 32));
    EXPECT_FALSE(zvcrash_async_mobject_verify_local_pointer(&mobj, mobj.address, 1, 32));
    EXPECT_FALSE(zvcrash_async_mobject_verify_local_pointer(&mobj, mobj.address, -1, 1));
    EXPECT_FALSE(zvcrash_async_mobject_verify_local_pointer(&mobj, mobj.address, 0, SIZE_MAX));
    EXPECT_FALSE(zvcrash_async_mobject_verify_local_pointer(&mobj, UINTPTR_MAX, 1, 0));

    uint16_t half = 0;
    EXPECT_EQ(ZVCRASH_OK, zvcrash_async_mobject_read_uint16(&mobj, zvcrash_async_byteorder_swapped(), 0x7000'1008, 0, &half));
    EXPECT_EQ(0xa8a9u, half);
    uint64_t word = 0;
    EXPECT_EQ(ZVCRASH_OK, zvcrash_async_mobject_read_uint64(&mobj, zvcrash_async_byteorder_direct(), 0x7000'1008, 24, &word));
    EXPECT_EQ(0xc7c6c5c4c3c2c1c0u, word);
    EXPECT_EQ(ZVCRASH_ERR_INVAL, zvcrash_async_mobject_read_uint64(&mobj, zvcrash_async_byteorder_direct(), 0x7000'1008, 25, &word));
    zvcrash_async_mobject_free(&mobj);
    EXPECT_EQ(0u, mobj.vm_length);

    // An unreadable region is refused like an unmapped one; an empty request needs the full form.
    task.map(0x7000'9000, {1, 2, 3}, false);
    EXPECT_EQ(ZVCRASH_ERR_NOMEM, zvcrash_async_mobject_init(&mobj, task.task(), 0x7000'9000, 3, false));
    EXPECT_EQ(ZVCRASH_ERR_NOMEM, zvcrash_async_mobject_init(&mobj, task.task(), 0x7000'1000, 0, false));
    EXPECT_EQ(ZVCRASH_ERR_NOMEM, zvcrash_async_mobject_init(&mobj, task.task(), UINT64_MAX - 4, 8, false));
}

TEST(ZVCrashAsync, StringAndMemoryRoutines) {
    EXPECT_EQ(0, zvcrash_async_strcmp("frame", "frame"));
    EXPECT_LT(zvcrash_async_strcmp("fram", "frame"), 0);
    EXPECT_EQ(0xff - 'a', zvcrash_async_strcmp("\xff", "a"));
    EXPECT_EQ(0, zvcrash_async_strncmp("abcX", "abcY", 3));
    EXPECT_EQ('X' - 'Y', zvcrash_async_strncmp("abcX", "abcY", 4));
    EXPECT_EQ(0, zvcrash_async_strncmp("abc", "xyz", 0));
    EXPECT_EQ(0, zvcrash_async_strncmp("ab", "ab", 100));

    char dest[8] = "-------";
    EXPECT_EQ(dest, zvcrash_async_memcpy(dest + 0, "abc", 3));
    EXPECT_STREQ("abc----", dest);
    EXPECT_EQ(dest, zvcrash_async_memset(dest, 0x100 | 'z', 2));
    EXPECT_STREQ("zzc----", dest);
    EXPECT_EQ(nullptr, zvcrash_async_memset(nullptr, 0, 0));
}

TEST(ZVCrashAsync, WritenOfNothingMakesNoSystemCall) {
    Pipe pipe;
    scriptedFd = pipe.write;
    scriptedCalls = 0;
    EXPECT_EQ(0, zvcrash_async_writen(pipe.write, "x", 0));
    EXPECT_EQ(0, scriptedCalls);
    EXPECT_EQ(0, zvcrash_async_writen(-1, "x", 0));
}

TEST(ZVCrashAsync, WritenFailsOnAWriteOfNothingEvenWithAStaleInterruption) {
    Pipe pipe;
    scriptedFd = pipe.write;
    scriptedCalls = 0;
    script = {{ScriptedWrite::Zero}, {ScriptedWrite::Zero}};
    errno = EINTR;
    EXPECT_EQ(-1, zvcrash_async_writen(pipe.write, "report", 6));
    EXPECT_EQ(1, scriptedCalls);
    EXPECT_EQ("", pipe.drain());
}

TEST(ZVCrashAsync, WritenRetriesInterruptionsAndFinishesShortWrites) {
    Pipe pipe;
    scriptedFd = pipe.write;
    scriptedCalls = 0;
    script = {{ScriptedWrite::Interrupted}, {ScriptedWrite::Partial, 2}, {ScriptedWrite::Interrupted}};
    EXPECT_EQ(6, zvcrash_async_writen(pipe.write, "report", 6));
    EXPECT_EQ(4, scriptedCalls);
    EXPECT_EQ("report", pipe.drain());
    EXPECT_EQ(-1, zvcrash_async_writen(-1, "x", 1));
}

TEST(ZVCrashAsync, FileWriteLongerThanTheBufferGoesStraightOut) {
    Pipe pipe;
    zvcrash_async_file file;
    zvcrash_async_file_init(&file, pipe.write, 0);
    const std::string data(300, 'a');
    ASSERT_TRUE(zvcrash_async_file_write(&file, data.data(), data.size()));
    EXPECT_EQ(data, pipe.drain());
    EXPECT_EQ(0u, file.buflen);
}

TEST(ZVCrashAsync, FileFlushesWhatIsBufferedBeforeWhatDoesNotFit) {
    Pipe pipe;
    zvcrash_async_file file;
    zvcrash_async_file_init(&file, pipe.write, 0);
    const std::string first(100, '1');
    const std::string second(200, '2');
    ASSERT_TRUE(zvcrash_async_file_write(&file, first.data(), first.size()));
    EXPECT_EQ("", pipe.drain());
    ASSERT_TRUE(zvcrash_async_file_write(&file, second.data(), second.size()));
    EXPECT_EQ(first, pipe.drain());
    EXPECT_EQ(200u, file.buflen);
    ASSERT_TRUE(zvcrash_async_file_flush(&file));
    EXPECT_EQ(second, pipe.drain());
    // Exactly a full buffer still fits without a write.
    const std::string full(256, 'f');
    ASSERT_TRUE(zvcrash_async_file_write(&file, full.data(), full.size()));
    EXPECT_EQ("", pipe.drain());
    ASSERT_TRUE(zvcrash_async_file_close(&file));
    pipe.write = -1;
    EXPECT_EQ(full, pipe.drain());
}

TEST(ZVCrashAsync, FileLimitAcceptsExactlyTheLimitAndRefusesWholeWrites) {
    Pipe pipe;
    zvcrash_async_file file;
    zvcrash_async_file_init(&file, pipe.write, 1000);
    const std::string data(1000, 'L');
    ASSERT_TRUE(zvcrash_async_file_write(&file, data.data(), 600));
    ASSERT_TRUE(zvcrash_async_file_write(&file, data.data(), 399));
    EXPECT_FALSE(zvcrash_async_file_incomplete(&file));
    EXPECT_TRUE(zvcrash_async_file_write(&file, "L", 1));
    EXPECT_FALSE(zvcrash_async_file_write(&file, "x", 1));
    EXPECT_EQ(1000u, file.total_bytes);
    EXPECT_TRUE(zvcrash_async_file_incomplete(&file));
    ASSERT_TRUE(zvcrash_async_file_close(&file));
    pipe.write = -1;
    EXPECT_EQ(data, pipe.drain());
}

TEST(ZVCrashAsync, AfterARefusedWriteEveryLaterWriteIsRefused) {
    // A dropped field would leave every length after it pointing at the wrong bytes.
    Pipe pipe;
    zvcrash_async_file file;
    zvcrash_async_file_init(&file, pipe.write, 10);
    ASSERT_TRUE(zvcrash_async_file_write(&file, "abcdefgh", 8));
    EXPECT_FALSE(zvcrash_async_file_write(&file, "xyz", 3));
    EXPECT_FALSE(zvcrash_async_file_write(&file, "y", 1));
    EXPECT_EQ(8u, file.total_bytes);
    EXPECT_TRUE(zvcrash_async_file_incomplete(&file));
    ASSERT_TRUE(zvcrash_async_file_close(&file));
    pipe.write = -1;
    EXPECT_EQ("abcdefgh", pipe.drain());
}

TEST(ZVCrashAsync, FileFailuresAreReported) {
    // An empty buffer makes no system call, so even a bad descriptor flushes.
    zvcrash_async_file file;
    zvcrash_async_file_init(&file, -1, 0);
    EXPECT_TRUE(zvcrash_async_file_flush(&file));

    const int readOnly = open("/dev/null", O_RDONLY | O_CLOEXEC);
    ASSERT_GE(readOnly, 0);
    zvcrash_async_file_init(&file, readOnly, 0);
    ASSERT_TRUE(zvcrash_async_file_write(&file, "abc", 3));
    EXPECT_FALSE(zvcrash_async_file_flush(&file));
    EXPECT_EQ(3u, file.buflen);
    const std::string big(300, 'b');
    EXPECT_FALSE(zvcrash_async_file_write(&file, big.data(), big.size()));
    // A failed flush leaves the descriptor open for the caller.
    EXPECT_FALSE(zvcrash_async_file_close(&file));
    EXPECT_NE(-1, fcntl(readOnly, F_GETFD));
    ::close(readOnly);
}

}  // namespace
