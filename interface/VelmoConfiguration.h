#pragma once

#include <map>
#include <optional>
#include <string>
#include <vector>

#include "voice/MirrinTranscriptionProvider.h"

namespace velmo {

// The main bundle's configuration, read once at start-up into a value: the keys the services
// need, the transcription back-end chosen from them (with the lines that say why when it is
// not the preferred one), the analytics ingestion host, and one warning line per problem (no
// bundle folder, a configuration file that cannot be read, a key that is not a string, a key
// the chosen services need that is missing or blank). Lines name files and keys, never a
// value. Reading writes nothing; `report` writes the lines. Any thread.
struct VelmoConfiguration {
    // Present, trimmed and not empty, by key.
    std::map<std::string, std::string> values;
    MirrinTranscriptionChoice transcription;
    // "AnalyticsIngestionHost" when it is an http or https address, else the built-in host.
    std::string analyticsIngestionHost;
    std::vector<std::string> problems;

    // The build's analytics ingestion host.
    static const char* const builtInIngestionHost;

    static VelmoConfiguration read();

    std::optional<std::string> value(const std::string& key) const;
    // Reads `values`, for the back-ends' factories.
    MirrinConfigurationLookup lookup() const;
    // Writes every problem, one line each.
    void report() const;
};

// Whether a configured analytics ingestion host can be used: an http or https address with a host.
bool isIngestionAddress(const std::string& text);

}  // namespace velmo
