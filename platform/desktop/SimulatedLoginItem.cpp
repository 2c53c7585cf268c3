#include "platform/desktop/SimulatedLoginItem.h"

#include "platform/base/Error.h"

namespace velmo {

void SimulatedLoginItem::registerApp() {
    ++registrations;
    if (failRegistration) throw Error("LoginItem", 1, "The login item could not be written: permission denied");
    currentStatus = LoginItemStatus::enabled;
}

}  // namespace velmo
