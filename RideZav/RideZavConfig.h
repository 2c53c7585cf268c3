#pragma once

#include <string>

namespace ridezav {

// Settings of the analytics client. Built once by the application with the project key and the
// ingestion host; every other setting keeps its default.
class RideZavConfig {
public:
    static const char* const defaultIngestionHost;

    // The host string is taken when it parses as an absolute URL, else the default endpoint.
    RideZavConfig(std::string apiKey, const std::string& host);
    explicit RideZavConfig(std::string apiKey);

    const std::string& apiKey() const { return apiKey_; }
    const std::string& host() const { return host_; }

    bool debug = false;
    bool optOut = false;

private:
    std::string apiKey_;
    std::string host_;
};

}  // namespace ridezav
