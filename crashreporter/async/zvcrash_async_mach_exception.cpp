#include "crashreporter/async/zvcrash_async_mach_exception.h"

#include <csignal>

#include "crashreporter/async/zvcrash_async.h"

namespace {

// Software exception codes of the kernel's BSD layer.
constexpr int64_t excUnixBadSyscall = 0x10000;
constexpr int64_t excUnixBadPipe = 0x10001;
constexpr int64_t excUnixAbort = 0x10002;
constexpr int64_t excSoftSignal = 0x10003;

uint32_t load32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
           static_cast<uint32_t>(p[3]) << 24;
}

void store32(uint8_t* p, uint32_t value) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(value >> (8 * i));
}

}  // namespace

bool zvcrash_async_mach_exception_get_siginfo(int32_t exception_type, const int64_t* codes, uint32_t code_count, int64_t cpu_type,
                                              zvcrash_async_siginfo* out) {
    (void)cpu_type;
    if (code_count < 2) return false;
    int32_t signo;
    int32_t code = 0;
    switch (exception_type) {
        case ZVCRASH_EXC_BAD_ACCESS:
            if (codes[0] == ZVCRASH_KERN_INVALID_ADDRESS) {
                signo = SIGSEGV;
                code = SEGV_MAPERR;
            } else {
                signo = SIGBUS;
                code = BUS_ADRERR;
            }
            break;
        case ZVCRASH_EXC_BAD_INSTRUCTION:
            signo = SIGILL;
            break;
        case ZVCRASH_EXC_ARITHMETIC:
            signo = SIGFPE;
            break;
        case ZVCRASH_EXC_EMULATION:
            // Emulation traps stand for SIGEMT, which Linux does not have.
            return false;
        case ZVCRASH_EXC_SOFTWARE:
            switch (codes[0]) {
                case excUnixBadSyscall:
                    signo = SIGSYS;
                    break;
                case excUnixBadPipe:
                    signo = SIGPIPE;
                    break;
                case excSoftSignal:
                    signo = SIGKILL;
                    break;
                case excUnixAbort:
                default:
                    signo = SIGABRT;
                    break;
            }
            break;
        case ZVCRASH_EXC_BREAKPOINT:
            signo = SIGTRAP;
            code = TRAP_BRKPT;
            break;
        default:
            return false;
    }
    out->signo = signo;
    out->code = code;
    out->address = static_cast<uint64_t>(codes[1]);
    return true;
}

int32_t zvcrash_mach_exception_forward(uint32_t task, uint32_t thread, int32_t exception_type, const int64_t* codes, uint32_t code_count,
                                       const zvcrash_mach_exception_port_set* port_set, const zvcrash_mach_exception_raisers* raisers) {
    if (exception_type < 0 || exception_type >= 32) return ZVCRASH_KERN_FAILURE;
    const uint32_t bit = 1u << exception_type;
    uint32_t count = port_set->count < ZVCRASH_EXC_TYPES_COUNT ? port_set->count : ZVCRASH_EXC_TYPES_COUNT;
    uint32_t chosen = count;
    for (uint32_t i = 0; i < count; ++i) {
        const uint32_t port = port_set->ports[i];
        if (port == ZVCRASH_MACH_PORT_NULL || port == ZVCRASH_MACH_PORT_DEAD) continue;
        if ((port_set->masks[i] & bit) == 0) continue;
        chosen = i;
        break;
    }
    if (chosen == count) return ZVCRASH_KERN_FAILURE;

    // The old-style interfaces take 32-bit codes: the low half of each.
    int32_t narrow[ZVCRASH_EXC_TYPES_COUNT];
    if (code_count > ZVCRASH_EXC_TYPES_COUNT) code_count = ZVCRASH_EXC_TYPES_COUNT;
    for (uint32_t i = 0; i < code_count; ++i) narrow[i] = static_cast<int32_t>(static_cast<uint64_t>(codes[i]));

    const uint32_t behavior = static_cast<uint32_t>(port_set->behaviors[chosen]);
    if ((behavior & ZVCRASH_MACH_EXCEPTION_CODES) != 0) return ZVCRASH_KERN_FAILURE;
    const uint32_t port = port_set->ports[chosen];
    const int32_t flavor = port_set->flavors[chosen];
    switch (static_cast<int32_t>(behavior)) {
        case ZVCRASH_EXCEPTION_DEFAULT:
            return raisers->raise(raisers->context, port, thread, task, exception_type, narrow, code_count);
        case ZVCRASH_EXCEPTION_STATE:
        case ZVCRASH_EXCEPTION_STATE_IDENTITY: {
            uint32_t state[ZVCRASH_MACH_THREAD_STATE_MAX];
            uint32_t stateCount = ZVCRASH_MACH_THREAD_STATE_MAX;
            int32_t result = raisers->get_state(raisers->context, thread, flavor, state, &stateCount);
            if (result != ZVCRASH_KERN_SUCCESS) return result;
            if (static_cast<int32_t>(behavior) == ZVCRASH_EXCEPTION_STATE) {
                return raisers->raise_state(raisers->context, port, exception_type, narrow, code_count, flavor, state, stateCount);
            }
            return raisers->raise_state_identity(raisers->context, port, thread, task, exception_type, narrow, code_count, flavor, state,
                                                 stateCount);
        }
        default:
            return ZVCRASH_KERN_FAILURE;
    }
}

zvcrash_mach_request_result zvcrash_mach_exception_request_decode(const uint8_t* message, size_t length,
                                                                  zvcrash_mach_exception_request* out) {
    // Without a whole header there is no one to answer.
    if (length < 24) return ZVCRASH_MACH_REQUEST_DROP;
    zvcrash_async_memset(out, 0, sizeof(*out));
    out->bits = load32(message);
    out->size = load32(message + 4);
    out->reply_port = load32(message + 8);
    out->id = static_cast<int32_t>(load32(message + 20));
    if (length < ZVCRASH_MACH_EXCEPTION_REQUEST_MIN) return ZVCRASH_MACH_REQUEST_SHORT;
    out->thread = load32(message + 28);
    out->task = load32(message + 40);
    out->exception_type = static_cast<int32_t>(load32(message + 60));
    out->code_count = load32(message + 64);
    if (static_cast<uint64_t>(out->code_count) * 8 > length - 68) return ZVCRASH_MACH_REQUEST_DROP;
    out->codes = message + 68;
    return ZVCRASH_MACH_REQUEST_OK;
}

int64_t zvcrash_mach_exception_request_code(const zvcrash_mach_exception_request* request, uint32_t i) {
    const uint8_t* p = request->codes + 8 * static_cast<size_t>(i);
    return static_cast<int64_t>(static_cast<uint64_t>(load32(p)) | static_cast<uint64_t>(load32(p + 4)) << 32);
}

void zvcrash_exception_server_reply(const zvcrash_mach_exception_request* request, int32_t return_code,
                                    uint8_t reply[ZVCRASH_MACH_EXCEPTION_REPLY_SIZE]) {
    zvcrash_async_memset(reply, 0, ZVCRASH_MACH_EXCEPTION_REPLY_SIZE);
    // The answer goes back with the disposition the request gave its reply port.
    store32(reply, request->bits & 0x1f);
    store32(reply + 4, ZVCRASH_MACH_EXCEPTION_REPLY_SIZE);
    store32(reply + 8, request->reply_port);
    store32(reply + 20, static_cast<uint32_t>(request->id) + 100u);
    // The standard NDR record: little-endian integers, everything else zero.
    reply[24 + 4] = 1;
    store32(reply + 32, static_cast<uint32_t>(return_code));
}
