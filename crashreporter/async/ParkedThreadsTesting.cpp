#include "crashreporter/async/ParkedThreadsTesting.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <stdexcept>
#include <thread>

namespace zvcrash::testing {

namespace {

// Blocks until a byte arrives; records where in its caller it will return to.
__attribute__((noinline)) char parkOnce(int fd, std::atomic<uint64_t>* returnAddress) {
    returnAddress->store(reinterpret_cast<uint64_t>(__builtin_return_address(0)));
    // Waiting in poll() rather than read() lets a sanitizer's runtime hand the thread its signals
    // while it waits.
    // The pipe does not block: another thread may take the byte poll() announced.
    for (;;) {
        pollfd ready{fd, POLLIN, 0};
        poll(&ready, 1, -1);
        char byte = 0;
        const ssize_t got = read(fd, &byte, 1);
        asm volatile("" ::: "memory");
        if (got == 1) return byte;
        if (got == 0 || (errno != EAGAIN && errno != EINTR)) return 'q';
    }
}

}  // namespace

// The known function the threads are parked in.
extern "C" __attribute__((noinline)) void zvcrash_testing_parked_thread(int fd, std::atomic<uint64_t>* returnAddress,
                                                                        std::atomic<uint64_t>* wakeups) {
    while (parkOnce(fd, returnAddress) == 'p') wakeups->fetch_add(1);
    asm volatile("" ::: "memory");
}

ParkedThreads::ParkedThreads(size_t count, int blockedSignal)
    : blockedSignal_(blockedSignal) {
    if (pipe2(pipe_, O_NONBLOCK) != 0) throw std::runtime_error("pipe");
    for (size_t i = 0; i < count; ++i) {
        auto thread = std::make_unique<Thread>();
        thread->owner = this;
        if (pthread_create(&thread->handle, nullptr, &ParkedThreads::run, thread.get()) != 0) throw std::runtime_error("pthread_create");
        threads_.push_back(std::move(thread));
    }
    for (auto& thread : threads_)
        while (thread->returnAddress.load() == 0) std::this_thread::sleep_for(std::chrono::microseconds(200));
    // Give the last of them time to reach read() itself.
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
}

ParkedThreads::~ParkedThreads() {
    releaseAndJoin();
    close(pipe_[0]);
    close(pipe_[1]);
}

void* ParkedThreads::run(void* raw) {
    auto* thread = static_cast<Thread*>(raw);
    if (thread->owner->blockedSignal_ != 0) {
        sigset_t set;
        sigemptyset(&set);
        sigaddset(&set, thread->owner->blockedSignal_);
        pthread_sigmask(SIG_BLOCK, &set, nullptr);
    }
    pthread_attr_t attributes;
    if (pthread_getattr_np(pthread_self(), &attributes) == 0) {
        void* low = nullptr;
        size_t size = 0;
        pthread_attr_getstack(&attributes, &low, &size);
        thread->stackLow = reinterpret_cast<uint64_t>(low);
        thread->stackHigh = thread->stackLow + size;
        pthread_attr_destroy(&attributes);
    }
    thread->id.store(static_cast<pid_t>(syscall(SYS_gettid)));
    zvcrash_testing_parked_thread(thread->owner->pipe_[0], &thread->returnAddress, &thread->owner->wakeups_);
    if (thread->owner->blockedSignal_ != 0) {
        // Take any signal left pending for us before finishing.
        sigset_t set;
        sigemptyset(&set);
        sigaddset(&set, thread->owner->blockedSignal_);
        pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
    }
    return nullptr;
}

pid_t ParkedThreads::id(size_t index) const { return threads_.at(index)->id.load(); }
uint64_t ParkedThreads::stackLow(size_t index) const { return threads_.at(index)->stackLow; }
uint64_t ParkedThreads::stackHigh(size_t index) const { return threads_.at(index)->stackHigh; }
uint64_t ParkedThreads::parkedReturnAddress(size_t index) const { return threads_.at(index)->returnAddress.load(); }

void ParkedThreads::poke() {
    const std::vector<char> bytes(threads_.size(), 'p');
    if (write(pipe_[1], bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size())) throw std::runtime_error("write");
}

bool ParkedThreads::waitForWakeups(uint64_t target) const {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (wakeups_.load() < target) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    return true;
}

bool ParkedThreads::releaseAndJoin() {
    if (joined_) return true;
    joined_ = true;
    const std::vector<char> bytes(threads_.size(), 'q');
    if (!bytes.empty() && write(pipe_[1], bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size())) return false;
    bool all = true;
    for (auto& thread : threads_) {
        timespec deadline;
        clock_gettime(CLOCK_REALTIME, &deadline);
        deadline.tv_sec += 10;
        if (pthread_timedjoin_np(thread->handle, nullptr, &deadline) != 0) {
            all = false;
            pthread_detach(thread->handle);
        }
    }
    return all;
}

}  // namespace zvcrash::testing
