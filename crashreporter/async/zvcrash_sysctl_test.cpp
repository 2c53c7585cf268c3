#include "crashreporter/async/zvcrash_sysctl.h"

#include <gtest/gtest.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

namespace {

struct Folder {
    std::filesystem::path path;
    Folder() {
        std::string pattern = (std::filesystem::temp_directory_path() / "zvcrash-sysctl-XXXXXX").string();
        EXPECT_NE(nullptr, mkdtemp(pattern.data()));
        path = pattern;
    }
    ~Folder() {
        std::error_code error;
        std::filesystem::remove_all(path, error);
    }
    void write(const std::string& relative, const std::string& text) const {
        std::filesystem::create_directories((path / relative).parent_path());
        std::ofstream(path / relative) << text;
    }
};

std::string textOf(const char* name) {
    char* value = zvcrash_sysctl_string(name);
    if (value == nullptr) return "<none>";
    std::string text = value;
    free(value);
    return text;
}

TEST(ZVCrashSysctl, ValidUTF8Prefix) {
    const std::pair<std::string, size_t> cases[] = {
        {"", 0},
        {"abc", 3},
        {std::string("a\0b", 3), 1},
        {"\xEF\xBB\xBF"
         "ab",
         5},
        {"\xEF\xBB\xBF", 3},
        {"\xEF\xBB", 0},
        {"caf\xC3\xA9", 5},
        {"\xF0\x9F\x98\x80!", 5},
        // The last byte begins a three-byte sequence: cut before it.
        {"velmo-assist\xE2", 12},
        {"velmo-assis\xE2\x82", 11},
        {"a\xC3(", 1},
        {"\x80"
         "abc",
         0},
        {"ab\xF8", 2},
        // Sixteen bytes without a 0 byte: whole.
        {"abcdefghijklmnop", 16},
    };
    for (const auto& [bytes, valid] : cases) EXPECT_EQ(valid, zvcrash_sysctl_valid_utf8_length(bytes.data(), bytes.size())) << bytes;
    EXPECT_EQ(6u, zvcrash_sysctl_valid_utf8_strlen("h\xC3\xA9llo\xE2"));
    EXPECT_EQ(0u, zvcrash_sysctl_valid_utf8_strlen(""));
}

TEST(ZVCrashSysctl, TextsOfThisMachine) {
    struct utsname names {};
    ASSERT_EQ(0, uname(&names));
    EXPECT_EQ(names.release, textOf("kern.osrelease"));
    EXPECT_EQ(names.version, textOf("kern.osversion"));
    EXPECT_EQ(names.sysname, textOf("kern.ostype"));
    EXPECT_EQ(names.machine, textOf("hw.machine"));
    const std::string model = textOf("hw.model");
    EXPECT_EQ(zvcrash::sysctl::productName().value_or(names.machine), model);
    EXPECT_FALSE(model.empty());

    errno = 0;
    EXPECT_EQ(nullptr, zvcrash_sysctl_string("kern.nothing"));
    EXPECT_EQ(ENOENT, errno);
}

TEST(ZVCrashSysctl, IntegersOfThisMachine) {
    int32_t value = 0;
    ASSERT_TRUE(zvcrash_sysctl_int("hw.cputype", &value));
    EXPECT_EQ(0x1000007, value);
    ASSERT_TRUE(zvcrash_sysctl_int("hw.cpusubtype", &value));
    EXPECT_EQ(3, value);
    ASSERT_TRUE(zvcrash_sysctl_int("hw.logicalcpu_max", &value));
    const int32_t logical = value;
    EXPECT_EQ(sysconf(_SC_NPROCESSORS_CONF), logical);
    ASSERT_TRUE(zvcrash_sysctl_int("hw.ncpu", &value));
    EXPECT_EQ(logical, value);
    ASSERT_TRUE(zvcrash_sysctl_int("hw.logicalcpu", &value));
    EXPECT_EQ(sysconf(_SC_NPROCESSORS_ONLN), value);
    ASSERT_TRUE(zvcrash_sysctl_int("hw.physicalcpu_max", &value));
    EXPECT_GE(value, 1);
    EXPECT_LE(value, logical);
    ASSERT_TRUE(zvcrash_sysctl_int("sysctl.proc_native", &value));
    EXPECT_EQ(1, value);
    value = 42;
    EXPECT_FALSE(zvcrash_sysctl_int("hw.nothing", &value));
    EXPECT_EQ(42, value);
}

TEST(ZVCrashSysctl, PhysicalCoresFoldHardwareThreads) {
    Folder cpus;
    cpus.write("cpu0/topology/core_cpus_list", "0,4\n");
    cpus.write("cpu4/topology/core_cpus_list", "0,4\n");
    cpus.write("cpu1/topology/core_cpus_list", "1,5\n");
    cpus.write("cpu5/topology/core_cpus_list", "1,5\n");
    // An older kernel's name for the same list; an offline processor without topology.
    cpus.write("cpu2/topology/thread_siblings_list", "2\n");
    cpus.write("cpu3/online", "0\n");
    cpus.write("cpufreq/policy0/topology/core_cpus_list", "9\n");
    cpus.write("cpuidle/topology/core_cpus_list", "8\n");
    EXPECT_EQ(3, zvcrash::sysctl::physicalCpuCount(cpus.path.string()));

    Folder empty;
    EXPECT_EQ(std::nullopt, zvcrash::sysctl::physicalCpuCount(empty.path.string()));
    EXPECT_EQ(std::nullopt, zvcrash::sysctl::physicalCpuCount((empty.path / "missing").string()));
}

TEST(ZVCrashSysctl, ProductName) {
    Folder dmi;
    dmi.write("named", "  ThinkPad X1 Carbon \n");
    dmi.write("blank", " \n");
    EXPECT_EQ("ThinkPad X1 Carbon", zvcrash::sysctl::productName((dmi.path / "named").string()));
    EXPECT_EQ(std::nullopt, zvcrash::sysctl::productName((dmi.path / "blank").string()));
    EXPECT_EQ(std::nullopt, zvcrash::sysctl::productName((dmi.path / "missing").string()));
}

}  // namespace
