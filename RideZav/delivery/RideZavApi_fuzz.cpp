// Answers of the ingestion service are outside input: whatever status and body arrive, each
// reader returns a result or an error, never crashes. The first two bytes pick the status.
#include <cstddef>
#include <cstdint>
#include <string>

#include "RideZav/delivery/RideZavApi.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2) return 0;
    velmo::URLResponse response;
    response.statusCode = 100 + (data[0] << 8 | data[1]) % 500;
    const std::string body(reinterpret_cast<const char*>(data + 2), size - 2);
    (void)ridezav::RideZavApi::readUploadAnswer("batch", body, response, nullptr);
    (void)ridezav::RideZavApi::readFlagsAnswer(body, response, nullptr);
    (void)ridezav::RideZavApi::readRemoteConfigAnswer(body, response, nullptr);
    return 0;
}
