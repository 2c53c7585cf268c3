#include "platform/runtime/SequenceChecker.h"

#include <cstdio>
#include <cstdlib>

namespace velmo {

void SequenceCheckerImpl::fail(const std::source_location& where) {
    std::fprintf(stderr, "velmo: %s called off the thread it is bound to (%s:%u)\n", where.function_name(),
                 where.file_name(), unsigned(where.line()));
    std::fflush(stderr);
    std::abort();
}

}  // namespace velmo
