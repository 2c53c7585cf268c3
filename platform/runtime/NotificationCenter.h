#pragma once

#include <any>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace velmo {

struct Notification {
    std::string name;
    std::any object;
};

// In-process notifications by name. Posting may happen on any thread; observers are always
// called on the main loop (posted), in the order they were added.
class NotificationCenter {
public:
    using Observer = std::function<void(const Notification&)>;

    class Token {
    public:
        Token() = default;
        Token(std::weak_ptr<void> center, std::uint64_t id)
            : center_(std::move(center)),
              id_(id) {}
        std::uint64_t id() const { return id_; }
        explicit operator bool() const { return id_ != 0; }

    private:
        friend class NotificationCenter;
        std::weak_ptr<void> center_;
        std::uint64_t id_ = 0;
    };

    NotificationCenter();
    static NotificationCenter& defaultCenter();

    void post(const std::string& name, std::any object = {});
    Token addObserver(const std::string& name, Observer observer);
    void removeObserver(const Token& token);
    std::size_t observerCount(const std::string& name) const;

private:
    struct State;
    std::shared_ptr<State> state_;
};

}  // namespace velmo
