// Named facts of the running system, asked by name the way the reporter's writer and facade ask
// for them, answered from Linux's own sources: uname, sysconf, sysfs and procfs. Read when the
// reporter is enabled or a report is prepared, never while crashing.
//
// Text names: "kern.osrelease" (the kernel release), "kern.osversion" (uname's version: the
// kernel build), "kern.ostype", "kern.hostname", "hw.machine" (the machine name), "hw.model" (the
// firmware's product name, else the machine name).
// Integer names: "hw.cputype" and "hw.cpusubtype" (the processor type of this build),
// "hw.ncpu", "hw.logicalcpu_max" (configured processors), "hw.logicalcpu", "hw.activecpu"
// (online processors), "hw.physicalcpu", "hw.physicalcpu_max" (cores, hyper-threads folded),
// "hw.pagesize", "sysctl.proc_native" (always 1: nothing translates this process).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

// The named text in a new NUL-terminated buffer that the caller releases with free; null, with
// errno set, when the name is unknown (ENOENT) or its source cannot be read.
// Not safe at crash time: allocates and reads files.
char* zvcrash_sysctl_string(const char* name);

// The named integer into *out; false when the name is unknown or its source cannot be read.
// Not safe at crash time: reads files.
bool zvcrash_sysctl_int(const char* name, int32_t* out);

// The length of the valid UTF-8 prefix of the bytes: a leading byte-order mark is skipped (and
// counted), a 0 byte ends the text, and so does the first lead byte whose continuation bytes are
// missing or wrong. Safe at crash time.
size_t zvcrash_sysctl_valid_utf8_length(const void* bytes, size_t length);
// The same over the bytes before the text's NUL. Safe at crash time.
size_t zvcrash_sysctl_valid_utf8_strlen(const char* text);

namespace zvcrash::sysctl {

// The number of cores: distinct lists of hardware-thread siblings among the processors of a
// sysfs cpu folder; none when no processor there describes its topology.
// Not safe at crash time: reads files.
std::optional<int32_t> physicalCpuCount(const std::string& cpuFolder = "/sys/devices/system/cpu");

// The firmware's product name, trimmed; none when unreadable or blank. Not safe at crash time: reads a file.
std::optional<std::string> productName(const std::string& path = "/sys/devices/virtual/dmi/id/product_name");

}  // namespace zvcrash::sysctl
