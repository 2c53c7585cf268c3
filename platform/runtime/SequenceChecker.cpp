#include "platform/runtime/SequenceChecker.h"

#include <cstdio>
#include <cstdlib>

namespace velmo {

void SequenceCheckerImpl::fail(const char* function, const char* file, unsigned line) {
    std::fprintf(stderr, "velmo: %s called off the thread it is bound to (%s:%u)\n", function, file, line);
    std::fflush(stderr);
    std::abort();
}

}  // namespace velmo
