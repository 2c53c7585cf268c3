#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <map>
#include <mutex>
#include <set>
#include <vector>

#include "platform/net/NetworkReachabilityTarget.h"
#include "platform/runtime/MainLoop.h"
#include "platform/runtime/SerialQueue.h"

namespace velmo {
namespace {

class Socket {
public:
    explicit Socket(int fd)
        : fd_(fd) {}
    ~Socket() {
        if (fd_ >= 0) ::close(fd_);
    }
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;
    int fd() const { return fd_; }

private:
    int fd_;
};

int openRouteSocket(unsigned groups, bool nonBlocking) {
    const int fd = ::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC | (nonBlocking ? SOCK_NONBLOCK : 0), NETLINK_ROUTE);
    if (fd < 0) return -1;
    sockaddr_nl local{};
    local.nl_family = AF_NETLINK;
    local.nl_groups = groups;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
        const int saved = errno;
        ::close(fd);
        errno = saved;
        return -1;
    }
    return fd;
}

// Sends one dump request and hands every answer message to `each`; 0 or an errno value.
template <class Each>
int dump(int fd, std::uint16_t type, std::uint32_t sequence, Each&& each) {
    struct {
        nlmsghdr header;
        rtgenmsg body;
    } request{};
    request.header.nlmsg_len = NLMSG_LENGTH(sizeof(rtgenmsg));
    request.header.nlmsg_type = type;
    request.header.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
    request.header.nlmsg_seq = sequence;
    request.body.rtgen_family = AF_UNSPEC;
    sockaddr_nl kernel{};
    kernel.nl_family = AF_NETLINK;
    if (::sendto(fd, &request, request.header.nlmsg_len, 0, reinterpret_cast<sockaddr*>(&kernel), sizeof kernel) < 0) return errno;
    alignas(nlmsghdr) static thread_local char buffer[64 * 1024];
    for (;;) {
        iovec vector{buffer, sizeof buffer};
        msghdr header{};
        header.msg_iov = &vector;
        header.msg_iovlen = 1;
        const ssize_t n = ::recvmsg(fd, &header, 0);
        if (n < 0) {
            if (errno == EINTR) continue;
            return errno;
        }
        if (header.msg_flags & MSG_TRUNC) return EMSGSIZE;  // a cut answer would hide links or routes
        int length = int(n);
        for (auto* message = reinterpret_cast<nlmsghdr*>(buffer); NLMSG_OK(message, length); message = NLMSG_NEXT(message, length)) {
            if (message->nlmsg_seq != sequence) continue;
            if (message->nlmsg_type == NLMSG_DONE) return 0;
            if (message->nlmsg_type == NLMSG_ERROR) {
                const auto* error = static_cast<const nlmsgerr*>(NLMSG_DATA(message));
                if (message->nlmsg_len < NLMSG_LENGTH(sizeof(nlmsgerr))) return EPROTO;
                if (error->error != 0) return -error->error;
                continue;
            }
            each(*message);
        }
    }
}

// Links that can carry traffic out of the machine, by index.
std::optional<std::set<int>> usableLinks(int fd, std::uint32_t sequence, int& error) {
    std::set<int> links;
    error = dump(fd, RTM_GETLINK, sequence, [&](const nlmsghdr& message) {
        if (message.nlmsg_type != RTM_NEWLINK || message.nlmsg_len < NLMSG_LENGTH(sizeof(ifinfomsg))) return;
        const auto* info = static_cast<const ifinfomsg*>(NLMSG_DATA(&message));
        const unsigned flags = info->ifi_flags;
        if ((flags & IFF_UP) && (flags & IFF_RUNNING) && !(flags & IFF_LOOPBACK)) links.insert(info->ifi_index);
    });
    if (error != 0) return std::nullopt;
    return links;
}

// Output links of every default route (both families, multipath included), outside the local table.
std::optional<std::set<int>> defaultRouteLinks(int fd, std::uint32_t sequence, int& error) {
    std::set<int> links;
    error = dump(fd, RTM_GETROUTE, sequence, [&](const nlmsghdr& message) {
        if (message.nlmsg_type != RTM_NEWROUTE || message.nlmsg_len < NLMSG_LENGTH(sizeof(rtmsg))) return;
        const auto* route = static_cast<const rtmsg*>(NLMSG_DATA(&message));
        if (route->rtm_dst_len != 0 || route->rtm_type != RTN_UNICAST) return;
        if (route->rtm_family != AF_INET && route->rtm_family != AF_INET6) return;
        std::uint32_t table = route->rtm_table;
        std::vector<int> outputs;
        int length = int(RTM_PAYLOAD(&message));
        for (auto* attribute = RTM_RTA(route); RTA_OK(attribute, length); attribute = RTA_NEXT(attribute, length)) {
            const std::size_t payload = RTA_PAYLOAD(attribute);
            if (attribute->rta_type == RTA_TABLE && payload >= sizeof(std::uint32_t)) {
                std::memcpy(&table, RTA_DATA(attribute), sizeof table);
            } else if (attribute->rta_type == RTA_OIF && payload >= sizeof(int)) {
                int index;
                std::memcpy(&index, RTA_DATA(attribute), sizeof index);
                outputs.push_back(index);
            } else if (attribute->rta_type == RTA_MULTIPATH) {
                const auto* hop = static_cast<const rtnexthop*>(RTA_DATA(attribute));
                int left = int(payload);
                while (RTNH_OK(hop, left)) {
                    outputs.push_back(hop->rtnh_ifindex);
                    left -= int(RTNH_ALIGN(hop->rtnh_len));
                    hop = RTNH_NEXT(hop);
                }
            }
        }
        if (table == RT_TABLE_LOCAL) return;
        links.insert(outputs.begin(), outputs.end());
    });
    if (error != 0) return std::nullopt;
    return links;
}

class NetlinkReachabilityTarget final : public NetworkReachabilityTarget, public std::enable_shared_from_this<NetlinkReachabilityTarget> {
public:
    explicit NetlinkReachabilityTarget(int eventFd)
        : events_(std::make_shared<Socket>(eventFd)) {}
    ~NetlinkReachabilityTarget() override { watch_.cancel(); }

    std::optional<ReachabilityFlags> flags() override {
        // One short-lived socket per reading keeps answers of concurrent readings apart.
        Socket socket(openRouteSocket(0, false));
        if (socket.fd() < 0) return fail(errno);
        int error = 0;
        const std::uint32_t sequence = nextSequence_.fetch_add(2);
        const auto links = usableLinks(socket.fd(), sequence, error);
        if (!links) return fail(error);
        const auto routes = defaultRouteLinks(socket.fd(), sequence + 1, error);
        if (!routes) return fail(error);
        for (int index : *routes)
            if (links->count(index)) return ReachabilityFlag::reachable;
        return ReachabilityFlags{0};
    }

    bool setCallback(Callback callback) override {
        std::lock_guard lock(mutex_);
        callback_ = callback ? std::make_shared<Callback>(std::move(callback)) : nullptr;
        return updateWatch();
    }

    bool setDispatchQueue(std::shared_ptr<SerialQueue> queue) override {
        std::lock_guard lock(mutex_);
        queue_ = std::move(queue);
        return updateWatch();
    }

    int lastError() const override { return lastError_.load(); }

private:
    std::nullopt_t fail(int error) {
        lastError_.store(error);
        return std::nullopt;
    }

    // Guarded by mutex_.
    bool updateWatch() {
        if (!callback_ || !queue_) {
            watch_.cancel();
            return true;
        }
        if (watch_.isActive()) return true;
        auto loop = MainLoop::current();
        if (!loop) {
            lastError_.store(ENXIO);
            return false;
        }
        std::weak_ptr<NetlinkReachabilityTarget> weak = weak_from_this();
        try {
            watch_.set(loop->watchFd(events_->fd(), FdReadable, [weak, events = events_](unsigned) {
                drain(events->fd());
                if (auto self = weak.lock()) self->changed();
            }));
        } catch (const std::exception&) {
            lastError_.store(errno ? errno : EIO);
            return false;
        }
        return true;
    }

    static void drain(int fd) {
        alignas(nlmsghdr) char buffer[8192];
        // ENOBUFS (the kernel dropped events) needs nothing more: the flags are read afresh.
        while (::recv(fd, buffer, sizeof buffer, MSG_DONTWAIT) > 0 || errno == EINTR || errno == ENOBUFS) {
        }
    }

    // On the main loop after any link, address or route event: read the flags on the queue.
    void changed() {
        std::shared_ptr<Callback> callback;
        std::shared_ptr<SerialQueue> queue;
        {
            std::lock_guard lock(mutex_);
            callback = callback_;
            queue = queue_;
        }
        if (!callback || !queue) return;
        std::weak_ptr<NetlinkReachabilityTarget> weak = weak_from_this();
        queue->async([weak, callback] {
            auto self = weak.lock();
            if (!self || !self->stillCurrent(callback)) return;
            if (auto flags = self->flags()) (*callback)(*flags);
        });
    }

    // A delivery queued before its callback was removed or replaced is dropped.
    bool stillCurrent(const std::shared_ptr<Callback>& callback) {
        std::lock_guard lock(mutex_);
        return callback_ == callback;
    }

    // An FdWatch that can say whether it is set.
    struct Watch {
        FdWatch watch;
        bool active = false;
        bool isActive() const { return active; }
        void set(FdWatch w) {
            watch = std::move(w);
            active = true;
        }
        void cancel() {
            watch.cancel();
            active = false;
        }
    };

    std::shared_ptr<Socket> events_;
    std::atomic<std::uint32_t> nextSequence_{1};
    std::atomic<int> lastError_{0};
    std::mutex mutex_;
    std::shared_ptr<Callback> callback_;  // guarded by mutex_
    std::shared_ptr<SerialQueue> queue_;  // guarded by mutex_
    Watch watch_;  // guarded by mutex_
};

}  // namespace

std::shared_ptr<NetworkReachabilityTarget> makeDefaultRouteReachabilityTarget(int* error) {
    const int fd = openRouteSocket(RTMGRP_LINK | RTMGRP_IPV4_IFADDR | RTMGRP_IPV6_IFADDR | RTMGRP_IPV4_ROUTE | RTMGRP_IPV6_ROUTE, true);
    if (fd < 0) {
        if (error) *error = errno;
        return nullptr;
    }
    return std::make_shared<NetlinkReachabilityTarget>(fd);
}

}  // namespace velmo
