#include "crashreporter/async/zvcrash_async_mach_exception.h"

#include <gtest/gtest.h>

#include <csignal>
#include <array>
#include <cstring>
#include <string>
#include <vector>

namespace {

struct SiginfoCase {
    int32_t type;
    int64_t code0;
    int32_t signo;
    int32_t code;
};

TEST(ZVCrashMachException, EveryExceptionMapsToItsSignalWithTheSecondCodeAsAddress) {
    const SiginfoCase cases[] = {
        {ZVCRASH_EXC_BAD_ACCESS, ZVCRASH_KERN_INVALID_ADDRESS, SIGSEGV, SEGV_MAPERR},
        {ZVCRASH_EXC_BAD_ACCESS, ZVCRASH_KERN_PROTECTION_FAILURE, SIGBUS, BUS_ADRERR},
        {ZVCRASH_EXC_BAD_INSTRUCTION, 0, SIGILL, 0},
        {ZVCRASH_EXC_ARITHMETIC, 0, SIGFPE, 0},
        {ZVCRASH_EXC_SOFTWARE, 0x10000, SIGSYS, 0},
        {ZVCRASH_EXC_SOFTWARE, 0x10001, SIGPIPE, 0},
        {ZVCRASH_EXC_SOFTWARE, 0x10002, SIGABRT, 0},
        {ZVCRASH_EXC_SOFTWARE, 0x10003, SIGKILL, 0},
        {ZVCRASH_EXC_SOFTWARE, 7, SIGABRT, 0},
        {ZVCRASH_EXC_BREAKPOINT, 0, SIGTRAP, TRAP_BRKPT},
    };
    for (const auto& c : cases) {
        const int64_t codes[] = {c.code0, 0x7fff1234};
        zvcrash_async_siginfo info{};
        ASSERT_TRUE(zvcrash_async_mach_exception_get_siginfo(c.type, codes, 2, 0x1000007, &info)) << c.type;
        EXPECT_EQ(c.signo, info.signo) << c.type << " " << c.code0;
        EXPECT_EQ(c.code, info.code) << c.type << " " << c.code0;
        EXPECT_EQ(0x7fff1234u, info.address);
    }
}

TEST(ZVCrashMachException, OneCodeAnUnknownTypeAndEmulationMapToNothing) {
    const int64_t codes[] = {1, 2};
    zvcrash_async_siginfo info{};
    EXPECT_FALSE(zvcrash_async_mach_exception_get_siginfo(ZVCRASH_EXC_BAD_ACCESS, codes, 1, 0, &info));
    EXPECT_FALSE(zvcrash_async_mach_exception_get_siginfo(0, codes, 2, 0, &info));
    EXPECT_FALSE(zvcrash_async_mach_exception_get_siginfo(7, codes, 2, 0, &info));
    // Linux has no SIGEMT for an emulation trap to become.
    EXPECT_FALSE(zvcrash_async_mach_exception_get_siginfo(ZVCRASH_EXC_EMULATION, codes, 2, 0, &info));
}

// Records which kernel call forwarding chose and with what.
struct Recorder {
    std::vector<std::string> calls;
    uint32_t port = 0;
    std::vector<int32_t> codes;
    int32_t flavor = 0;
    uint32_t stateCount = 0;
    int32_t getStateResult = ZVCRASH_KERN_SUCCESS;

    zvcrash_mach_exception_raisers raisers() {
        zvcrash_mach_exception_raisers r{};
        r.context = this;
        r.raise = [](void* c, uint32_t port, uint32_t, uint32_t, int32_t, const int32_t* codes, uint32_t n) {
            auto* self = static_cast<Recorder*>(c);
            self->calls.push_back("raise");
            self->port = port;
            self->codes.assign(codes, codes + n);
            return ZVCRASH_KERN_SUCCESS;
        };
        r.get_state = [](void* c, uint32_t, int32_t flavor, uint32_t* state, uint32_t* count) {
            auto* self = static_cast<Recorder*>(c);
            self->calls.push_back("get_state");
            self->flavor = flavor;
            state[0] = 42;
            *count = 3;
            return self->getStateResult;
        };
        r.raise_state = [](void* c, uint32_t port, int32_t, const int32_t*, uint32_t, int32_t, uint32_t* state, uint32_t count) {
            auto* self = static_cast<Recorder*>(c);
            self->calls.push_back("raise_state");
            self->port = port;
            self->stateCount = state[0] == 42 ? count : 0;
            return ZVCRASH_KERN_SUCCESS;
        };
        r.raise_state_identity = [](void* c, uint32_t port, uint32_t, uint32_t, int32_t, const int32_t*, uint32_t, int32_t, uint32_t*,
                                    uint32_t) {
            auto* self = static_cast<Recorder*>(c);
            self->calls.push_back("raise_state_identity");
            self->port = port;
            return ZVCRASH_KERN_SUCCESS;
        };
        return r;
    }
};

zvcrash_mach_exception_port_set portSet(std::initializer_list<std::array<uint32_t, 4>> entries) {
    zvcrash_mach_exception_port_set set{};
    for (const auto& e : entries) {
        set.masks[set.count] = e[0];
        set.ports[set.count] = e[1];
        set.behaviors[set.count] = static_cast<int32_t>(e[2]);
        set.flavors[set.count] = static_cast<int32_t>(e[3]);
        ++set.count;
    }
    return set;
}

TEST(ZVCrashMachException, ForwardingTakesTheFirstLivePortAskingForTheTypeAndNarrowsTheCodes) {
    const uint32_t badAccess = 1u << ZVCRASH_EXC_BAD_ACCESS;
    // Null and dead ports, and one that asks for other exceptions, are passed over.
    auto set = portSet({{badAccess, ZVCRASH_MACH_PORT_NULL, ZVCRASH_EXCEPTION_DEFAULT, 7},
                        {badAccess, ZVCRASH_MACH_PORT_DEAD, ZVCRASH_EXCEPTION_DEFAULT, 7},
                        {1u << ZVCRASH_EXC_BREAKPOINT, 0x100, ZVCRASH_EXCEPTION_DEFAULT, 7},
                        {badAccess, 0x200, ZVCRASH_EXCEPTION_DEFAULT, 7},
                        {badAccess, 0x300, ZVCRASH_EXCEPTION_DEFAULT, 7}});
    Recorder recorder;
    auto raisers = recorder.raisers();
    const int64_t codes[] = {0x100000001, -1};
    EXPECT_EQ(ZVCRASH_KERN_SUCCESS, zvcrash_mach_exception_forward(1, 2, ZVCRASH_EXC_BAD_ACCESS, codes, 2, &set, &raisers));
    EXPECT_EQ(std::vector<std::string>{"raise"}, recorder.calls);
    EXPECT_EQ(0x200u, recorder.port);
    EXPECT_EQ((std::vector<int32_t>{1, -1}), recorder.codes);
}

TEST(ZVCrashMachException, StateBehavioursReadTheThreadFirstAndSixtyFourBitCodePortsAreNotForwardedTo) {
    const uint32_t mask = 1u << ZVCRASH_EXC_ARITHMETIC;
    const int64_t codes[] = {0, 0};
    {
        auto set = portSet({{mask, 0x10, ZVCRASH_EXCEPTION_STATE, 7}});
        Recorder recorder;
        auto raisers = recorder.raisers();
        EXPECT_EQ(ZVCRASH_KERN_SUCCESS, zvcrash_mach_exception_forward(1, 2, ZVCRASH_EXC_ARITHMETIC, codes, 2, &set, &raisers));
        EXPECT_EQ((std::vector<std::string>{"get_state", "raise_state"}), recorder.calls);
        EXPECT_EQ(7, recorder.flavor);
        EXPECT_EQ(3u, recorder.stateCount);
    }
    {
        auto set = portSet({{mask, 0x10, ZVCRASH_EXCEPTION_STATE_IDENTITY, 7}});
        Recorder recorder;
        recorder.getStateResult = 4;
        auto raisers = recorder.raisers();
        EXPECT_EQ(4, zvcrash_mach_exception_forward(1, 2, ZVCRASH_EXC_ARITHMETIC, codes, 2, &set, &raisers));
        EXPECT_EQ(std::vector<std::string>{"get_state"}, recorder.calls);
    }
    for (uint32_t behavior : {ZVCRASH_MACH_EXCEPTION_CODES | ZVCRASH_EXCEPTION_DEFAULT, 9u}) {
        auto set = portSet({{mask, 0x10, behavior, 7}});
        Recorder recorder;
        auto raisers = recorder.raisers();
        EXPECT_EQ(ZVCRASH_KERN_FAILURE, zvcrash_mach_exception_forward(1, 2, ZVCRASH_EXC_ARITHMETIC, codes, 2, &set, &raisers));
        EXPECT_TRUE(recorder.calls.empty());
    }
    auto empty = portSet({});
    Recorder recorder;
    auto raisers = recorder.raisers();
    EXPECT_EQ(ZVCRASH_KERN_FAILURE, zvcrash_mach_exception_forward(1, 2, ZVCRASH_EXC_ARITHMETIC, codes, 2, &empty, &raisers));
}

std::vector<uint8_t> request(uint32_t codeCount, size_t codesWritten) {
    std::vector<uint8_t> m(68 + 8 * codesWritten);
    auto put = [&](size_t at, uint32_t v) { std::memcpy(m.data() + at, &v, 4); };
    put(0, 0x80001112);  // complex, remote disposition 0x12
    put(4, static_cast<uint32_t>(m.size()));
    put(8, 0x777);  // reply port
    put(20, 2405);  // the 64-bit-code exception request
    put(28, 0x1003);  // thread
    put(40, 0x1004);  // task
    put(60, ZVCRASH_EXC_BAD_ACCESS);
    put(64, codeCount);
    for (size_t i = 0; i < codesWritten; ++i) {
        const int64_t code = i == 0 ? 1 : 0x7ffdeadbeef0;
        std::memcpy(m.data() + 68 + 8 * i, &code, 8);
    }
    return m;
}

TEST(ZVCrashMachException, RequestsDecodeAndAreAnsweredInThirtySixBytes) {
    auto bytes = request(2, 2);
    zvcrash_mach_exception_request req;
    ASSERT_EQ(ZVCRASH_MACH_REQUEST_OK, zvcrash_mach_exception_request_decode(bytes.data(), bytes.size(), &req));
    EXPECT_EQ(0x1003u, req.thread);
    EXPECT_EQ(0x1004u, req.task);
    EXPECT_EQ(ZVCRASH_EXC_BAD_ACCESS, req.exception_type);
    ASSERT_EQ(2u, req.code_count);
    EXPECT_EQ(1, zvcrash_mach_exception_request_code(&req, 0));
    EXPECT_EQ(0x7ffdeadbeef0, zvcrash_mach_exception_request_code(&req, 1));

    uint8_t reply[ZVCRASH_MACH_EXCEPTION_REPLY_SIZE];
    zvcrash_exception_server_reply(&req, ZVCRASH_KERN_FAILURE, reply);
    const uint8_t expected[36] = {0x12, 0, 0,    0,    36, 0, 0, 0, 0x77, 7, 0, 0, 0, 0, 0, 0, 0, 0,
                                  0,    0, 0xc9, 0x09, 0,  0, 0, 0, 0,    0, 1, 0, 0, 0, 5, 0, 0, 0};
    EXPECT_EQ(std::vector<uint8_t>(expected, expected + 36), std::vector<uint8_t>(reply, reply + 36));
}

TEST(ZVCrashMachException, ShortRequestsAreRefusedAndCodesPastTheEndDropTheMessage) {
    auto bytes = request(1, 1);
    zvcrash_mach_exception_request req;
    EXPECT_EQ(ZVCRASH_MACH_REQUEST_OK, zvcrash_mach_exception_request_decode(bytes.data(), 76, &req));
    EXPECT_EQ(ZVCRASH_MACH_REQUEST_SHORT, zvcrash_mach_exception_request_decode(bytes.data(), 75, &req));
    EXPECT_EQ(0x777u, req.reply_port);
    EXPECT_EQ(ZVCRASH_MACH_REQUEST_DROP, zvcrash_mach_exception_request_decode(bytes.data(), 23, &req));
    auto lying = request(3, 2);
    EXPECT_EQ(ZVCRASH_MACH_REQUEST_DROP, zvcrash_mach_exception_request_decode(lying.data(), lying.size(), &req));
    auto huge = request(0xffffffff, 1);
    EXPECT_EQ(ZVCRASH_MACH_REQUEST_DROP, zvcrash_mach_exception_request_decode(huge.data(), huge.size(), &req));
}

}  // namespace
