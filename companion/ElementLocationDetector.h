#pragma once

#include <string>

#include "companion/ModelServiceFields.h"

namespace velmo {

// A client type for locating screen elements through a hosted model. It is declared with its fields only: nothing in the
// application creates one or calls on it.
class ElementLocationDetector {
public:
    ElementLocationDetector(std::string apiKey, std::string model);
    const ModelServiceFields& fields() const { return fields_; }

private:
    ModelServiceFields fields_;
};

}  // namespace velmo
