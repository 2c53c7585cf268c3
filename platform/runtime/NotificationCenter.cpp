#include "platform/runtime/NotificationCenter.h"

#include <algorithm>
#include <atomic>

#include "platform/runtime/MainLoop.h"

namespace velmo {

struct NotificationCenter::State {
    struct Entry {
        std::uint64_t id;
        std::string name;
        std::shared_ptr<Observer> observer;
        std::shared_ptr<std::atomic<bool>> active;
    };
    mutable std::mutex mutex;
    std::vector<Entry> entries;
    std::uint64_t nextId = 0;
};

NotificationCenter::NotificationCenter()
    : state_(std::make_shared<State>()) {}

NotificationCenter& NotificationCenter::defaultCenter() {
    static NotificationCenter center;
    return center;
}

void NotificationCenter::post(const std::string& name, std::any object) {
    std::vector<State::Entry> matching;
    {
        std::lock_guard lock(state_->mutex);
        for (const auto& e : state_->entries)
            if (e.name == name) matching.push_back(e);
    }
    auto note = std::make_shared<Notification>(Notification{name, std::move(object)});
    for (auto& e : matching) {
        MainLoop::postToMain([observer = e.observer, active = e.active, note] {
            if (active->load()) (*observer)(*note);
        });
    }
}

NotificationCenter::Token NotificationCenter::addObserver(const std::string& name, Observer observer) {
    std::lock_guard lock(state_->mutex);
    std::uint64_t id = ++state_->nextId;
    state_->entries.push_back(
        State::Entry{id, name, std::make_shared<Observer>(std::move(observer)), std::make_shared<std::atomic<bool>>(true)});
    return Token(std::weak_ptr<void>(state_), id);
}

void NotificationCenter::removeObserver(const Token& token) {
    if (token.center_.lock() != state_) return;
    std::lock_guard lock(state_->mutex);
    for (auto& e : state_->entries)
        if (e.id == token.id_) e.active->store(false);
    std::erase_if(state_->entries, [&](const State::Entry& e) { return e.id == token.id_; });
}

std::size_t NotificationCenter::observerCount(const std::string& name) const {
    std::lock_guard lock(state_->mutex);
    return std::count_if(state_->entries.begin(), state_->entries.end(), [&](const State::Entry& e) { return e.name == name; });
}

}  // namespace velmo
