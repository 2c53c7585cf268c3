#pragma once

#include <memory>
#include <string>

#include "platform/foundation/URLSession.h"

namespace velmo {

// A client type for locating screen elements through a hosted model. It is declared with its
// fields only: nothing in the application creates one or calls on it.
class ElementLocationDetector {
public:
    ElementLocationDetector(std::string apiKey, std::string model);

    const std::string& apiKey() const { return apiKey_; }
    const std::string& apiURL() const { return apiURL_; }
    const std::string& model() const { return model_; }
    const std::shared_ptr<URLSession>& session() const { return session_; }

private:
    std::string apiKey_;
    std::string apiURL_;
    std::string model_;
    std::shared_ptr<URLSession> session_;
};

}  // namespace velmo
