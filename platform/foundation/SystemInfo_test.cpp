#include "platform/foundation/SystemInfo.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include "platform/foundation/TestDirectory.h"

namespace velmo {
namespace {

EnvironmentLookup environmentOf(std::map<std::string, std::string> values) {
    return [values = std::move(values)](const std::string& name) -> std::optional<std::string> {
        auto it = values.find(name);
        if (it == values.end()) return std::nullopt;
        return it->second;
    };
}

TEST(SystemInfoTest, ParsesOsReleaseFile) {
    test::TestDirectory dir;
    const std::string path = dir.write("os-release",
                                       "# Debian\n"
                                       "PRETTY_NAME=\"Debian GNU/Linux 12 (bookworm)\"\n"
                                       "NAME=\"Debian GNU/Linux\"\n"
                                       "VERSION_ID=\"12\"\n"
                                       "ID=debian\n"
                                       "  \n"
                                       "QUOTED='single \"inner\"'\n"
                                       "ESCAPED=\"a \\\"b\\\" \\\\c\"\n"
                                       "UNCLOSED=\"oops\n"
                                       "no equals sign\n"
                                       "=empty key\n"
                                       "BAD-KEY=x\n");
    const auto fields = readOsRelease({dir / "missing", path});
    const std::map<std::string, std::string> expected = {
        {"PRETTY_NAME", "Debian GNU/Linux 12 (bookworm)"},
        {"NAME", "Debian GNU/Linux"},
        {"VERSION_ID", "12"},
        {"ID", "debian"},
        {"QUOTED", "single \"inner\""},
        {"ESCAPED", "a \"b\" \\c"},
    };
    EXPECT_EQ(fields, expected);
    EXPECT_TRUE(readOsRelease({dir / "missing"}).empty());
}

TEST(SystemInfoTest, ReadsDmiFolder) {
    test::TestDirectory dir;
    dir.write("id/sys_vendor", "LENOVO\n");
    dir.write("id/product_name", "  20XW0055GE \n");
    const DmiInfo dmi = readDmi(dir / "id");
    EXPECT_EQ(dmi.sysVendor, "LENOVO");
    EXPECT_EQ(dmi.productName, "20XW0055GE");

    dir.write("blank/sys_vendor", " \n");
    const DmiInfo blank = readDmi(dir / "blank");
    EXPECT_EQ(blank.sysVendor, std::nullopt);
    EXPECT_EQ(blank.productName, std::nullopt);
}

TEST(SystemInfoTest, KernelVersionNumbers) {
    const std::pair<const char*, std::optional<std::string>> cases[] = {
        {"6.1.0-18-amd64", "6.1.0"},
        {"5.15.133.1-microsoft-standard-WSL2", "5.15.133"},
        {"6.8", "6.8.0"},
        {"4", "4.0.0"},
        {"6.x", "6.0.0"},
        {"", std::nullopt},
        {"rc1", std::nullopt},
    };
    for (const auto& [release, expected] : cases) EXPECT_EQ(kernelVersionNumbers(release), expected) << release;
    const KernelInfo kernel = readKernelInfo();
    EXPECT_EQ(kernel.sysname, "Linux");
    EXPECT_FALSE(kernel.machine.empty());
}

TEST(SystemInfoTest, MessagesLocaleFollowsPosixPrecedence) {
    EXPECT_EQ(messagesLocale(environmentOf({{"LC_ALL", "de_DE.UTF-8"}, {"LC_MESSAGES", "fr_FR"}, {"LANG", "C"}})), "de_DE.UTF-8");
    EXPECT_EQ(messagesLocale(environmentOf({{"LC_ALL", ""}, {"LC_MESSAGES", "fr_FR"}, {"LANG", "C"}})), "fr_FR");
    EXPECT_EQ(messagesLocale(environmentOf({{"LANG", "en_US.UTF-8"}})), "en_US.UTF-8");
    EXPECT_EQ(messagesLocale(environmentOf({})), std::nullopt);
}

TEST(SystemInfoTest, LocaleLanguageCode) {
    const std::pair<const char*, std::optional<std::string>> cases[] = {
        {"en_US.UTF-8", "en"},     {"de_DE", "de"},         {"fr", "fr"},       {"ast_ES.UTF-8", "ast"},
        {"sr_RS@latin", "sr"},     {"EN_us", "en"},         {"ja.eucJP", "ja"}, {"C", std::nullopt},
        {"C.UTF-8", std::nullopt}, {"POSIX", std::nullopt}, {"", std::nullopt}, {"e1_US", std::nullopt},
    };
    for (const auto& [locale, expected] : cases) EXPECT_EQ(localeLanguageCode(locale), expected) << locale;
}

TEST(SystemInfoTest, TimeZoneFromEachSource) {
    test::TestDirectory dir;
    const std::string timezoneFile = dir.write("timezone", "Europe/Berlin\n");
    const std::string emptyFile = dir.write("empty-timezone", "\n");
    ASSERT_EQ(::symlink("/usr/share/zoneinfo/America/New_York", (dir / "localtime").c_str()), 0);
    ASSERT_EQ(::symlink("../usr/share/zoneinfo/posix/Asia/Tokyo", (dir / "localtime-posix").c_str()), 0);
    const std::string plainFile = dir.write("localtime-file", "TZif");
    const std::string missing = dir / "missing";

    struct Case {
        std::optional<std::string> tz;
        std::string timezoneFile;
        std::string localtime;
        std::string expected;
    };
    const Case cases[] = {
        {"Asia/Kolkata", timezoneFile, dir / "localtime", "Asia/Kolkata"},
        {":Europe/Paris", timezoneFile, dir / "localtime", "Europe/Paris"},
        {":/usr/share/zoneinfo/Australia/Sydney", timezoneFile, missing, "Australia/Sydney"},
        {"EST5EDT", missing, missing, "EST5EDT"},
        {"", timezoneFile, dir / "localtime", "Europe/Berlin"},
        {std::nullopt, timezoneFile, dir / "localtime", "Europe/Berlin"},
        {std::nullopt, emptyFile, dir / "localtime", "America/New_York"},
        {std::nullopt, missing, dir / "localtime-posix", "Asia/Tokyo"},
        {std::nullopt, missing, plainFile, "UTC"},
        {std::nullopt, missing, missing, "UTC"},
    };
    for (const auto& c : cases) {
        std::map<std::string, std::string> env;
        if (c.tz) env["TZ"] = *c.tz;
        EXPECT_EQ(currentTimeZoneIdentifier({environmentOf(env), c.timezoneFile, c.localtime}), c.expected)
            << c.tz.value_or("(unset)") << " " << c.timezoneFile << " " << c.localtime;
    }
}

}  // namespace
}  // namespace velmo
