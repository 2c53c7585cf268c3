#pragma once

#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace velmo {

// What the machine says about itself: the kernel (uname), the distribution (/etc/os-release),
// the firmware's product table (/sys/class/dmi/id), the locale and the time zone. Every reader
// takes its sources as arguments so tests point it at fixture files; all are stateless and safe
// from any thread.

struct KernelInfo {
    std::string sysname;  // "Linux"
    std::string release;  // "6.1.0-18-amd64"
    std::string machine;  // "x86_64", "aarch64"
};
KernelInfo readKernelInfo();

// "major.minor.patch" from the leading numbers of a kernel release ("6.1.0-18-amd64" -> "6.1.0");
// missing parts are 0; none when the text does not start with a number.
std::optional<std::string> kernelVersionNumbers(std::string_view release);

// KEY=value lines of an os-release file; values may be quoted ("..." or '...') with backslash
// escapes; comments, blank and malformed lines are skipped.
std::map<std::string, std::string> parseOsRelease(std::string_view text);
// The first of `paths` that can be read, parsed; empty when none can.
std::map<std::string, std::string> readOsRelease(const std::vector<std::string>& paths = {"/etc/os-release", "/usr/lib/os-release"});

struct DmiInfo {
    std::optional<std::string> sysVendor;  // "LENOVO", "QEMU"
    std::optional<std::string> productName;  // "ThinkPad X1 Carbon Gen 9"
};
// Reads "sys_vendor" and "product_name" of a DMI folder; an unreadable or blank file is none.
DmiInfo readDmi(const std::string& folder = "/sys/class/dmi/id");

using EnvironmentLookup = std::function<std::optional<std::string>(const std::string& name)>;
// The process environment.
std::optional<std::string> processEnvironment(const std::string& name);

// The locale of messages as POSIX resolves it: LC_ALL, else LC_MESSAGES, else LANG (the first
// that is set and not empty); none when all are unset.
std::optional<std::string> messagesLocale(const EnvironmentLookup& environment = processEnvironment);
// The language part of a locale name "ll[_CC][.codeset][@modifier]" ("en_US.UTF-8" -> "en");
// none for "C", "POSIX" and names that do not start with a two- or three-letter language.
std::optional<std::string> localeLanguageCode(std::string_view locale);

struct TimeZoneSources {
    EnvironmentLookup environment = processEnvironment;
    std::string timezoneFile = "/etc/timezone";
    std::string localtimeLink = "/etc/localtime";
};
// The time zone's identifier: TZ (":Area/City", a zoneinfo path, or a POSIX rule taken as
// given), else the first line of /etc/timezone, else the zoneinfo name the /etc/localtime link
// points at, else "UTC".
std::string currentTimeZoneIdentifier(const TimeZoneSources& sources = {});

}  // namespace velmo
