#include "platform/runtime/OnceCallback.h"

#include <cstdio>
#include <cstdlib>

namespace velmo::detail {

#ifndef NDEBUG
void onceCallbackCalledAgain(const char* signature) {
    std::fprintf(stderr, "velmo: a run-once callback was called again (%s)\n", signature);
    std::fflush(stderr);
    std::abort();
}
#endif

}  // namespace velmo::detail
