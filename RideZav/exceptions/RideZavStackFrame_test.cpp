#include <gtest/gtest.h>

#include <elf.h>

#include "RideZav/exceptions/RideZavBinaryImageInfo.h"
#include "RideZav/exceptions/RideZavStackFrame.h"
#include "RideZav/integrations/RideZavErrorTrackingConfig.h"

using namespace ridezav;

namespace {

std::vector<std::string> keysOf(const Object& object) {
    std::vector<std::string> keys;
    for (const auto& [key, value] : object) keys.push_back(key);
    return keys;
}

}  // namespace

TEST(RideZavStackFrame, ItsDictionaryHoldsHexAddressesWithoutLeadingZerosAndOnlyThePresentKeys) {
    RideZavStackFrame bare;
    bare.instructionAddress = 4096;
    EXPECT_EQ(bare.toDictionary(), (Object{{"instruction_addr", "0x1000"}, {"platform", "apple"}, {"in_app", false}}));

    RideZavStackFrame full{0xDEADBEEF, "Velmo", "/opt/Velmo/Velmo", 0x400000, true, "main", 0x401000};
    EXPECT_EQ(full.toDictionary(), (Object{{"instruction_addr", "0xdeadbeef"},
                                           {"platform", "apple"},
                                           {"in_app", true},
                                           {"module", "Velmo"},
                                           {"package", "/opt/Velmo/Velmo"},
                                           {"image_addr", "0x400000"},
                                           {"function", "main"},
                                           {"symbol_addr", "0x401000"}}));
    EXPECT_EQ(hexAddress(0), "0x0");
    EXPECT_EQ(hexAddress(0xFFFFFFFFFFFFFFFFull), "0xffffffffffffffff");
}

TEST(RideZavStackFrame, InAppTriesIncludesThenExcludesThenSystemLibrariesThenTheDefault) {
    RideZavErrorTrackingConfig config;
    config.inAppIncludes = {"com.korvale.velmo", "Velmo"};
    config.inAppExcludes = {"VelmoVendor"};
    struct Case {
        std::optional<std::string> module;
        std::vector<std::string> includes;
        bool byDefault;
        bool expected;
    } cases[] = {
        {std::nullopt, {"Velmo"}, true, false},
        {"Velmo", {"com.korvale.velmo", "Velmo"}, false, true},  // the executable: second include
        {"VelmoVendor.so", {"com.korvale.velmo"}, true, false},  // an exclude
        {"VelmoVendor.so", {"Velmo"}, true, true},  // includes first
        {"libsystem_kernel.dylib", {"Velmo"}, true, false},  // a system prefix
        {"Foundation", {"Foundation"}, false, true},  // an include beats the system prefixes
        {"libswiftCore.dylib", {"Velmo"}, true, false},
        {"libthird.so", {"Velmo"}, true, true},  // no match: the default
        {"libthird.so", {"Velmo"}, false, false},
        {"velmo", {"Velmo"}, false, false},  // case-sensitive
        {"anything", {""}, false, true},  // an empty entry matches all
    };
    for (const auto& c : cases) {
        config.inAppIncludes = c.includes;
        config.inAppByDefault = c.byDefault;
        EXPECT_EQ(isInApp(c.module, config), c.expected) << c.module.value_or("<none>");
    }
}

TEST(RideZavBinaryImageInfo, ItsDictionaryAlwaysHasANumericSizeAndLeavesOutAZeroVmAddress) {
    RideZavBinaryImageInfo image{"/usr/lib/libc.so.6", std::nullopt, 0, 0x7f0000001000, 4096, std::nullopt};
    const Object dictionary = image.toDictionary();
    EXPECT_EQ(keysOf(dictionary), (std::vector<std::string>{"type", "code_file", "image_addr", "image_size"}));
    EXPECT_EQ(*dictionary.find("type"), Value("macho"));
    EXPECT_EQ(*dictionary.find("image_addr"), Value("0x7f0000001000"));
    ASSERT_TRUE(dictionary.find("image_size")->isNumber());
    EXPECT_EQ(dictionary.find("image_size")->asInt64(), 4096);

    RideZavBinaryImageInfo elf{"/bin/velmo", "0123ABCD-0000-0000-0000-000000000000", 0x400000, 0x400000, 10, "x86_64", "elf"};
    EXPECT_EQ(keysOf(elf.toDictionary()),
              (std::vector<std::string>{"type", "code_file", "image_addr", "image_size", "debug_id", "image_vmaddr", "arch"}));
    EXPECT_EQ(*elf.toDictionary().find("image_vmaddr"), Value("0x400000"));
    EXPECT_EQ(*elf.toDictionary().find("type"), Value("elf"));
}

TEST(RideZavBinaryImageInfo, UUIDsAreNormalisedOnlyWhenTheyComeToThirtyTwoCharacters) {
    struct Case {
        const char* given;
        const char* expected;
    } cases[] = {
        {"0123456789abcdef0123456789abcdef", "01234567-89AB-CDEF-0123-456789ABCDEF"},
        {"01234567-89ab-cdef-0123-456789abcdef", "01234567-89AB-CDEF-0123-456789ABCDEF"},
        {"0123-456789abcdef0123456789abcdef", "01234567-89AB-CDEF-0123-456789ABCDEF"},
        {"abc", "abc"},
        {"a-b", "a-b"},
        {"", ""},
        {"0123456789abcdef0123456789abcdef00", "0123456789abcdef0123456789abcdef00"},
    };
    for (const auto& c : cases) EXPECT_EQ(normalizedImageUUID(c.given), c.expected) << c.given;
}

TEST(RideZavBinaryImageInfo, ArchitectureNamesFollowTheMachOAndElfTables) {
    struct MachO {
        std::optional<std::int64_t> type;
        std::int64_t subtype;
        std::optional<std::string> name;
    } machO[] = {
        {12, 9, "armv7"},        {12, 11, "armv7s"},      {12, 0, "arm"},       {0x1000007, 3, "x86_64"},
        {0x100000C, 0, "arm64"}, {0x100000C, 2, "arm64"}, {7, 3, std::nullopt}, {std::nullopt, 0, std::nullopt},
    };
    for (const auto& c : machO) EXPECT_EQ(archNameForMachO(c.type, c.subtype), c.name) << c.type.value_or(-1);

    EXPECT_EQ(archNameForElfMachine(EM_X86_64), "x86_64");
    EXPECT_EQ(archNameForElfMachine(EM_AARCH64), "arm64");
    EXPECT_EQ(archNameForElfMachine(EM_ARM), "arm");
    EXPECT_EQ(archNameForElfMachine(EM_386), "x86");
    EXPECT_EQ(archNameForElfMachine(EM_RISCV), std::nullopt);
}
