#include "RideZav/RideZavConfig.h"

#include <cctype>

namespace ridezav {

const char* const RideZavConfig::defaultIngestionHost = "https://ingest.ridezav.com";

namespace {
// An absolute URL: a scheme of letters, digits, "+", "-" or ".", then "://" and a host.
bool parsesAsURL(const std::string& s) {
    auto sep = s.find("://");
    if (sep == std::string::npos || sep == 0 || sep + 3 >= s.size()) return false;
    if (!std::isalpha(static_cast<unsigned char>(s[0]))) return false;
    for (std::size_t i = 0; i < sep; ++i) {
        unsigned char c = static_cast<unsigned char>(s[i]);
        if (!std::isalnum(c) && c != '+' && c != '-' && c != '.') return false;
    }
    for (unsigned char c : s)
        if (c <= ' ' || c == 0x7f) return false;
    return true;
}
}  // namespace

RideZavConfig::RideZavConfig(std::string apiKey, const std::string& host)
    : apiKey_(std::move(apiKey)), host_(parsesAsURL(host) ? host : defaultIngestionHost) {}

RideZavConfig::RideZavConfig(std::string apiKey) : RideZavConfig(std::move(apiKey), defaultIngestionHost) {}

}  // namespace ridezav
