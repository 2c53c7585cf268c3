#pragma once

#include "platform/desktop/LoginItem.h"

namespace velmo {

// Test double: the status is set by the test; registrations are counted and may fail.
class SimulatedLoginItem : public LoginItemService {
public:
    LoginItemStatus currentStatus = LoginItemStatus::notRegistered;
    bool failRegistration = false;
    int registrations = 0;

    LoginItemStatus status() override { return currentStatus; }
    void registerApp() override;
};

}  // namespace velmo
