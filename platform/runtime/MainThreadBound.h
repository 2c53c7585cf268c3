#pragma once

#include <memory>
#include <utility>

#include "platform/runtime/MainLoop.h"

namespace velmo {

// Makes a shared object whose destruction always runs on the main loop: when the last reference
// goes away on another thread, the delete is posted there. Objects bound to the main thread
// (the companion object, the dictation manager, ...) are made with it.
template <class T, class... Args>
std::shared_ptr<T> makeMainBound(Args&&... args) {
    return std::shared_ptr<T>(new T(std::forward<Args>(args)...), [](T* object) {
        auto loop = MainLoop::current();
        if (!loop || loop->isLoopThread()) {
            delete object;
        } else {
            loop->post([object] { delete object; });
        }
    });
}

}  // namespace velmo
