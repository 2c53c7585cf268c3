#include "platform/runtime/Task.h"

namespace velmo::detail {

CancellationToken*& currentTaskToken() {
    thread_local CancellationToken* token = nullptr;
    return token;
}

}  // namespace velmo::detail
