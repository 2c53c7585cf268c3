#include "crashreporter/async/zvcrash_writer_pack.h"

#include <gtest/gtest.h>

#include <climits>
#include <functional>
#include <string>

#include "crashreporter/async/WriterPackTesting.h"

namespace {

using Bytes = std::vector<uint8_t>;
using zvcrash::testing::CapturedFile;

Bytes packed(uint32_t field, uint32_t type, const void* value) {
    CapturedFile out;
    size_t counted = zvcrash_writer_pack(nullptr, field, type, value);
    size_t written = zvcrash_writer_pack(out.file(), field, type, value);
    Bytes bytes = out.bytes();
    EXPECT_EQ(counted, bytes.size());
    EXPECT_EQ(written, bytes.size());
    return bytes;
}

TEST(ZVCrashWriterPack, VarintsTakeSevenBitsPerByte) {
    struct Case {
        uint64_t value;
        Bytes bytes;
    } cases[] = {
        {0, {0x00}},
        {1, {0x01}},
        {127, {0x7f}},
        {128, {0x80, 0x01}},
        {300, {0xac, 0x02}},
        {UINT32_MAX, {0xff, 0xff, 0xff, 0xff, 0x0f}},
        {UINT64_MAX, {0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0x01}},
    };
    for (const auto& c : cases) {
        uint8_t out[10] = {};
        size_t used = zvcrash_writer_pack_varint(c.value, out);
        EXPECT_EQ(c.bytes, Bytes(out, out + used)) << c.value;
    }
}

TEST(ZVCrashWriterPack, NegativeInt32TakesTenBytes) {
    int32_t minusOne = -1;
    EXPECT_EQ((Bytes{0x08, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0x01}), packed(1, ZVCRASH_WRITER_TYPE_INT32, &minusOne));
    int32_t positive = 150;
    EXPECT_EQ((Bytes{0x08, 0x96, 0x01}), packed(1, ZVCRASH_WRITER_TYPE_INT32, &positive));
}

TEST(ZVCrashWriterPack, SignedTypesUseZigZag) {
    struct Case32 {
        int32_t value;
        Bytes bytes;
    } cases32[] = {
        {0, {0x08, 0x00}},
        {-1, {0x08, 0x01}},
        {1, {0x08, 0x02}},
        {-2, {0x08, 0x03}},
        {INT32_MAX, {0x08, 0xfe, 0xff, 0xff, 0xff, 0x0f}},
        {INT32_MIN, {0x08, 0xff, 0xff, 0xff, 0xff, 0x0f}},
    };
    for (const auto& c : cases32) EXPECT_EQ(c.bytes, packed(1, ZVCRASH_WRITER_TYPE_SINT32, &c.value)) << c.value;
    struct Case64 {
        int64_t value;
        Bytes bytes;
    } cases64[] = {
        {-1, {0x08, 0x01}},
        {2147483648LL, {0x08, 0x80, 0x80, 0x80, 0x80, 0x10}},
        {INT64_MIN, {0x08, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0x01}},
    };
    for (const auto& c : cases64) EXPECT_EQ(c.bytes, packed(1, ZVCRASH_WRITER_TYPE_SINT64, &c.value)) << c.value;
}

TEST(ZVCrashWriterPack, EveryTypeHasItsWireForm) {
    int64_t int64 = -2;
    uint32_t u32 = 0x12345678;
    uint64_t u64 = 0x0102030405060708ULL;
    bool yes = true;
    double d = 1.0;
    float f = 1.0f;
    int32_t s32 = -2;
    EXPECT_EQ((Bytes{0x10, 0xfe, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0x01}), packed(2, ZVCRASH_WRITER_TYPE_INT64, &int64));
    EXPECT_EQ((Bytes{0x10, 0xf8, 0xac, 0xd1, 0x91, 0x01}), packed(2, ZVCRASH_WRITER_TYPE_UINT32, &u32));
    EXPECT_EQ((Bytes{0x10, 0xf8, 0xac, 0xd1, 0x91, 0x01}), packed(2, ZVCRASH_WRITER_TYPE_ENUM, &u32));
    EXPECT_EQ((Bytes{0x10, 0x01}), packed(2, ZVCRASH_WRITER_TYPE_BOOL, &yes));
    EXPECT_EQ((Bytes{0x11, 0x08, 0x07, 0x06, 0x05, 0x04, 0x03, 0x02, 0x01}), packed(2, ZVCRASH_WRITER_TYPE_FIXED64, &u64));
    EXPECT_EQ((Bytes{0x11, 0, 0, 0, 0, 0, 0, 0xf0, 0x3f}), packed(2, ZVCRASH_WRITER_TYPE_DOUBLE, &d));
    EXPECT_EQ((Bytes{0x15, 0x78, 0x56, 0x34, 0x12}), packed(2, ZVCRASH_WRITER_TYPE_FIXED32, &u32));
    EXPECT_EQ((Bytes{0x15, 0xfe, 0xff, 0xff, 0xff}), packed(2, ZVCRASH_WRITER_TYPE_SFIXED32, &s32));
    EXPECT_EQ((Bytes{0x15, 0, 0, 0x80, 0x3f}), packed(2, ZVCRASH_WRITER_TYPE_FLOAT, &f));
    EXPECT_EQ((Bytes{0x1a, 0x02, 'h', 'i'}), packed(3, ZVCRASH_WRITER_TYPE_STRING, "hi"));
    zvcrash_writer_bytes raw = {"\0\1", 2};
    EXPECT_EQ((Bytes{0x1a, 0x02, 0x00, 0x01}), packed(3, ZVCRASH_WRITER_TYPE_BYTES, &raw));
    size_t length = 300;
    EXPECT_EQ((Bytes{0x1a, 0xac, 0x02}), packed(3, ZVCRASH_WRITER_TYPE_MESSAGE, &length));
}

TEST(ZVCrashWriterPack, AbsentTextIsEmpty) { EXPECT_EQ((Bytes{0x0a, 0x00}), packed(1, ZVCRASH_WRITER_TYPE_STRING, nullptr)); }

TEST(ZVCrashWriterPack, LargeFieldNumbersTakeLongTags) {
    bool no = false;
    EXPECT_EQ((Bytes{0x80, 0x01, 0x00}), packed(16, ZVCRASH_WRITER_TYPE_BOOL, &no));
    // The largest field number: its tag is (2^29 - 1) << 3, five bytes.
    EXPECT_EQ((Bytes{0xf8, 0xff, 0xff, 0xff, 0x0f, 0x00}), packed((1u << 29) - 1, ZVCRASH_WRITER_TYPE_BOOL, &no));
}

TEST(ZVCrashWriterPackDeathTest, UnknownTypeAbortsTheProcess) {
    uint32_t value = 0;
    EXPECT_DEATH(zvcrash_writer_pack(nullptr, 1, 17, &value), "");
}

TEST(ZVCrashWriterPack, FileHeader) {
    CapturedFile out;
    EXPECT_EQ(8u, zvcrash_writer_write_file_header(out.file()));
    EXPECT_EQ((Bytes{'z', 'v', 'c', 'r', 'a', 's', 'h', 1}), out.bytes());
}

// Every message routine counts, without a file, exactly the bytes it writes with one.
TEST(ZVCrashWriterPack, SizingPassEqualsBytesWritten) {
    static const uint8_t uuid[16] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
    static const zvcrash_writer_frame frames[] = {{0x1000, "main", 0xff0}, {0x2000, nullptr, 0}};
    static const zvcrash_writer_register registers[] = {{"rip", 0x1000}, {"rsp", UINT64_MAX}};
    static const zvcrash_writer_image image = {0x400000, 0x1000, "/usr/bin/velmo", uuid, 0x1000007, 3};
    static const zvcrash_writer_image noUuid = {0x400000, 0, nullptr, nullptr, 7, 3};
    static const uint64_t codes[] = {1, UINT64_MAX};
    const std::string longText(200, 'x');
    std::vector<zvcrash_writer_frame> deep(600, zvcrash_writer_frame{0x1234, "deep", 0x1200});

    struct Case {
        const char* kind;
        std::function<size_t(zvcrash_async_file*)> write;
    } cases[] = {
        {"report info", [](auto* f) { return zvcrash_writer_write_report_info(f, true, uuid); }},
        {"system info", [&](auto* f) { return zvcrash_writer_write_system_info(f, ZVCRASH_OS_LINUX, "6.1.0", longText.c_str(), 1, -5); }},
        {"system info, no texts", [](auto* f) { return zvcrash_writer_write_system_info(f, 0, nullptr, nullptr, 6, 0); }},
        {"processor", [](auto* f) { return zvcrash_writer_write_processor(f, 1, 0x1000007, UINT64_MAX); }},
        {"machine info", [](auto* f) { return zvcrash_writer_write_machine_info(f, "Standard PC", 0x1000007, 3, 8, 16); }},
        {"machine info, no model", [](auto* f) { return zvcrash_writer_write_machine_info(f, nullptr, 7, 3, 1, 1); }},
        {"application info", [](auto* f) { return zvcrash_writer_write_application_info(f, "com.velmo", "1.0", nullptr); }},
        {"process info",
         [](auto* f) { return zvcrash_writer_write_process_info(f, "velmo", 42, "/usr/bin/velmo", nullptr, 1, true, 1700000000); }},
        {"symbol", [](auto* f) { return zvcrash_writer_write_symbol(f, "main", 0xff0); }},
        {"frame", [](auto* f) { return zvcrash_writer_write_frame(f, &frames[0]); }},
        {"frame, no symbol", [](auto* f) { return zvcrash_writer_write_frame(f, &frames[1]); }},
        {"register", [](auto* f) { return zvcrash_writer_write_register(f, &registers[1]); }},
        {"thread", [](auto* f) { return zvcrash_writer_write_thread(f, 3, true, registers, 2, frames, 2); }},
        {"deep thread", [&](auto* f) { return zvcrash_writer_write_thread(f, 0, false, nullptr, 0, deep.data(), deep.size()); }},
        {"binary image", [](auto* f) { return zvcrash_writer_write_binary_image(f, &image); }},
        {"binary image, no identifier", [](auto* f) { return zvcrash_writer_write_binary_image(f, &noUuid); }},
        {"exception", [](auto* f) { return zvcrash_writer_write_exception(f, "std::runtime_error", nullptr, frames, 2); }},
        {"mach exception", [](auto* f) { return zvcrash_writer_write_mach_exception(f, 1, codes, 2); }},
        {"signal", [](auto* f) { return zvcrash_writer_write_signal(f, "SIGSEGV", "SEGV_MAPERR", 8, false, 0, nullptr, 0); }},
        {"signal with mach exception", [](auto* f) { return zvcrash_writer_write_signal(f, "SIGBUS", "#0", 0, true, 1, codes, 2); }},
    };
    for (const auto& c : cases) {
        CapturedFile out;
        size_t counted = c.write(nullptr);
        size_t written = c.write(out.file());
        EXPECT_EQ(counted, written) << c.kind;
        EXPECT_EQ(counted, out.bytes().size()) << c.kind;
        EXPECT_GT(counted, 0u) << c.kind;
    }
}

TEST(ZVCrashWriterPack, ThreadKeepsAtMost512Frames) {
    std::vector<zvcrash_writer_frame> deep(513, zvcrash_writer_frame{0x10, nullptr, 0});
    // Each frame: tag, length 2, then pc tag and one byte.
    size_t frame = 4;
    EXPECT_EQ(2 + 2 + 512 * frame, zvcrash_writer_write_thread(nullptr, 0, false, nullptr, 0, deep.data(), deep.size()));
    EXPECT_EQ(2 + 2 + 512 * frame, zvcrash_writer_write_thread(nullptr, 0, false, nullptr, 0, deep.data(), 512));
}

}  // namespace
