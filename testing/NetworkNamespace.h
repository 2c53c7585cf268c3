#pragma once

#include <sched.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>

namespace velmo::test {

struct NamespaceRun {
    std::string skipReason;  // not empty: the machine cannot make a private network namespace
    std::string failure;  // not empty: what the body reported, or how the child ended
};

// Runs `body` in a forked child inside a fresh network namespace of its own (only a loopback
// link, down), so a test can add links and routes without touching the machine's network.
// The body returns an empty text on success, else what went wrong.
inline NamespaceRun runInPrivateNetworkNamespace(const std::function<std::string()>& body) {
    if (std::system("ip -V >/dev/null 2>&1") != 0) return {"the ip command (iproute2) is not installed", ""};
    int pipeFds[2];
    if (::pipe(pipeFds) != 0) return {"", std::string("pipe: ") + std::strerror(errno)};
    const pid_t child = ::fork();
    if (child < 0) return {"", std::string("fork: ") + std::strerror(errno)};
    if (child == 0) {
        ::close(pipeFds[0]);
        std::string message;
        int status = 0;
        if (::unshare(CLONE_NEWNET) != 0) {
            message = std::string("unshare(CLONE_NEWNET) failed: ") + std::strerror(errno) +
                      " (needs root or CAP_SYS_ADMIN, and a kernel that allows network namespaces)";
            status = 77;
        } else {
            message = body();
            status = message.empty() ? 0 : 1;
        }
        const char* data = message.data();
        std::size_t left = message.size();
        while (left > 0) {
            const ssize_t n = ::write(pipeFds[1], data, left);
            if (n <= 0) break;
            data += n;
            left -= std::size_t(n);
        }
        ::_exit(status);
    }
    ::close(pipeFds[1]);
    std::string message;
    char buffer[512];
    for (ssize_t n; (n = ::read(pipeFds[0], buffer, sizeof buffer)) != 0;) {
        if (n < 0) {
            if (errno == EINTR) continue;
            break;
        }
        message.append(buffer, std::size_t(n));
    }
    ::close(pipeFds[0]);
    int status = 0;
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    if (WIFEXITED(status) && WEXITSTATUS(status) == 77) return {message, ""};
    if (WIFEXITED(status) && WEXITSTATUS(status) == 0) return {"", ""};
    if (!message.empty()) return {"", message};
    return {"", "child ended with status " + std::to_string(status)};
}

// Runs a shell command; empty on success, else the command and its exit status.
inline std::string shell(const std::string& command) {
    const int status = std::system((command + " 2>&1").c_str());
    if (status == 0) return "";
    return "'" + command + "' failed with status " + std::to_string(status);
}

// Adds an up and running link named `name` that is not loopback: a dummy link where the kernel
// has the dummy driver, else one end of a veth pair whose other end is up too.
inline std::string addUpLink(const std::string& name) {
    if (shell("ip link add " + name + " type dummy >/dev/null").empty()) return shell("ip link set " + name + " up");
    if (auto error = shell("ip link add " + name + " type veth peer name " + name + "p"); !error.empty()) return error;
    if (auto error = shell("ip link set " + name + "p up"); !error.empty()) return error;
    return shell("ip link set " + name + " up");
}

}  // namespace velmo::test
