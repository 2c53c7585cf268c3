#pragma once

#include <string>
#include <vector>

namespace velmo {

// The start-up's look at the main bundle's configuration: one warning line for each problem (no
// bundle folder, a configuration file that cannot be read, a key that is not a string, a key the
// chosen services need that is missing or blank). Lines name files and keys, never a value. The
// lookups themselves are not changed by it. Any thread.
std::vector<std::string> configurationProblems();

// Whether a configured analytics ingestion host can be used: an http or https address with a host.
bool isIngestionAddress(const std::string& text);

}  // namespace velmo
