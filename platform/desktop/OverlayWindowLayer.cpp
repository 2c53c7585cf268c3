#include "platform/desktop/OverlayWindowLayer.h"

#include "platform/runtime/ProcessWide.h"

namespace velmo {

namespace {
ProcessWide<OverlayWindowLayer>& layers() {
    static ProcessWide<OverlayWindowLayer> instance;
    return instance;
}
}  // namespace

std::shared_ptr<OverlayWindowLayer> OverlayWindowLayer::current() { return layers().current(); }
void OverlayWindowLayer::install(std::shared_ptr<OverlayWindowLayer> layer) { layers().exchange(std::move(layer)); }

}  // namespace velmo
