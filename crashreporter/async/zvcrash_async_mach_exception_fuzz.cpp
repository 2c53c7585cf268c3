// Exception request bytes as they would arrive at the server port.
#include <cstddef>
#include <cstdint>

#include "crashreporter/async/zvcrash_async_mach_exception.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    zvcrash_mach_exception_request request;
    const auto result = zvcrash_mach_exception_request_decode(data, size, &request);
    if (result == ZVCRASH_MACH_REQUEST_DROP) return 0;
    if (result == ZVCRASH_MACH_REQUEST_OK) {
        int64_t codes[ZVCRASH_EXC_TYPES_COUNT];
        uint32_t count = request.code_count < ZVCRASH_EXC_TYPES_COUNT ? request.code_count : ZVCRASH_EXC_TYPES_COUNT;
        for (uint32_t i = 0; i < count; ++i) codes[i] = zvcrash_mach_exception_request_code(&request, i);
        zvcrash_async_siginfo info;
        zvcrash_async_mach_exception_get_siginfo(request.exception_type, codes, count, 0, &info);
    }
    uint8_t reply[ZVCRASH_MACH_EXCEPTION_REPLY_SIZE];
    zvcrash_exception_server_reply(&request, ZVCRASH_KERN_FAILURE, reply);
    return 0;
}
