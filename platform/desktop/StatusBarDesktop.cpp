#include "platform/desktop/StatusBarDesktop.h"

#include "platform/runtime/ProcessWide.h"

namespace velmo {

namespace {
ProcessWide<StatusBarDesktop>& desktops() {
    static ProcessWide<StatusBarDesktop> instance;
    return instance;
}
}  // namespace

std::shared_ptr<StatusBarDesktop> StatusBarDesktop::current() { return desktops().current(); }
void StatusBarDesktop::install(std::shared_ptr<StatusBarDesktop> desktop) { desktops().exchange(std::move(desktop)); }

}  // namespace velmo
