#pragma once

#include <functional>
#include <optional>
#include <string>
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
    // The batch upload of events in their JSON form (RideZavEvent::isJSONForm), each sent as it
    // is. By default they are read back and go through `batch`.
    virtual void batchJSON(std::vector<std::string> events, Completion completion) {
        std::vector<RideZavEvent> decoded;
        decoded.reserve(events.size());
        for (const auto& json : events) {
            const auto value = parseJSON(json);
            const Object* object = value ? value->get<Object>() : nullptr;
            if (auto event = object ? RideZavEvent::fromJSON(*object) : std::nullopt) decoded.push_back(std::move(*event));
        }
        batch(std::move(decoded), std::move(completion));
    }
};

}  // namespace ridezav
