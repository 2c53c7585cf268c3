#pragma once

#include <functional>
#include <optional>
#include <vector>

#include "RideZav/model/RideZavEvent.h"
#include "platform/base/Error.h"

namespace ridezav {

// The result of an upload: the HTTP status when an answer came, the transport error if any.
struct RideZavBatchUploadInfo {
    std::optional<int> statusCode;
    std::optional<velmo::Error> error;
};

// The two upload requests the queues send through. The ingestion client implements it; the
// completion may run on any thread (the URL session's callback queue), exactly once.
class RideZavBatchUploading {
public:
    using Completion = std::function<void(RideZavBatchUploadInfo)>;
    virtual ~RideZavBatchUploading() = default;
    virtual void batch(std::vector<RideZavEvent> events, Completion completion) = 0;
    virtual void snapshot(std::vector<RideZavEvent> events, Completion completion) = 0;
};

}  // namespace ridezav
