#pragma once

#include <memory>
#include <string>

#include "platform/net/URLSession.h"

namespace velmo {

// What every hosted-model client holds: its key, its endpoint, its model and its own session.
// Set at construction and never changed.
struct ModelServiceFields {
    std::string apiKey;
    std::string apiURL;
    std::string model;
    std::shared_ptr<URLSession> session;
};

}  // namespace velmo
