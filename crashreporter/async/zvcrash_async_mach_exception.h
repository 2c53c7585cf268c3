// The parts of the Mach exception path that are plain data and arithmetic: the mapping of an
// exception to the equivalent signal, the async-safe record of the exception ports that were
// registered before ours, the choice of which of them an exception is forwarded to, and the
// exception request and reply messages as bytes. Linux has no exception ports or exception
// messages, so the server thread itself is not built; these parts are kept, and tested, so that
// the reporter's logic stays one piece.
#pragma once

#include <cstddef>
#include <cstdint>

// Mach exception types, masks, behaviours and results, as the kernel numbers them.
enum : int32_t {
    ZVCRASH_EXC_BAD_ACCESS = 1,
    ZVCRASH_EXC_BAD_INSTRUCTION = 2,
    ZVCRASH_EXC_ARITHMETIC = 3,
    ZVCRASH_EXC_EMULATION = 4,
    ZVCRASH_EXC_SOFTWARE = 5,
    ZVCRASH_EXC_BREAKPOINT = 6,
};
enum : int32_t {
    ZVCRASH_EXCEPTION_DEFAULT = 1,
    ZVCRASH_EXCEPTION_STATE = 2,
    ZVCRASH_EXCEPTION_STATE_IDENTITY = 3,
};
constexpr uint32_t ZVCRASH_MACH_EXCEPTION_CODES = 0x80000000u;
constexpr int32_t ZVCRASH_KERN_SUCCESS = 0;
constexpr int32_t ZVCRASH_KERN_INVALID_ADDRESS = 1;
constexpr int32_t ZVCRASH_KERN_PROTECTION_FAILURE = 2;
constexpr int32_t ZVCRASH_KERN_FAILURE = 5;
constexpr uint32_t ZVCRASH_MACH_PORT_NULL = 0;
constexpr uint32_t ZVCRASH_MACH_PORT_DEAD = 0xffffffffu;
// The number of exception types, and so of entries a port set can hold.
constexpr uint32_t ZVCRASH_EXC_TYPES_COUNT = 14;

// The signal an exception stands for: the three members of a siginfo_t the writer records.
struct zvcrash_async_siginfo {
    int32_t signo;
    int32_t code;
    uint64_t address;
};

// Maps an exception and its codes (at least two; codes[1] is the address) to a signal.
// Fewer than two codes, or a type outside 1-6, map to nothing. The processor type is not
// consulted. Safe at crash time.
bool zvcrash_async_mach_exception_get_siginfo(int32_t exception_type, const int64_t* codes, uint32_t code_count, int64_t cpu_type,
                                              zvcrash_async_siginfo* out);

// The exception ports registered before ours, as a plain record that a crash handler can read.
struct zvcrash_mach_exception_port_set {
    uint32_t count;
    uint32_t masks[ZVCRASH_EXC_TYPES_COUNT];
    uint32_t ports[ZVCRASH_EXC_TYPES_COUNT];
    int32_t behaviors[ZVCRASH_EXC_TYPES_COUNT];
    int32_t flavors[ZVCRASH_EXC_TYPES_COUNT];
};

// The kernel calls forwarding makes, injected: Linux has none of them.
struct zvcrash_mach_exception_raisers {
    void* context;
    int32_t (*raise)(void* context, uint32_t port, uint32_t thread, uint32_t task, int32_t exception_type, const int32_t* codes,
                     uint32_t code_count);
    // Reads the thread's state of the given flavour into state (at most *count words).
    int32_t (*get_state)(void* context, uint32_t thread, int32_t flavor, uint32_t* state, uint32_t* count);
    int32_t (*raise_state)(void* context, uint32_t port, int32_t exception_type, const int32_t* codes, uint32_t code_count, int32_t flavor,
                           uint32_t* state, uint32_t count);
    int32_t (*raise_state_identity)(void* context, uint32_t port, uint32_t thread, uint32_t task, int32_t exception_type,
                                    const int32_t* codes, uint32_t code_count, int32_t flavor, uint32_t* state, uint32_t count);
};

// Words of thread state a forwarded state-carrying exception holds.
constexpr uint32_t ZVCRASH_MACH_THREAD_STATE_MAX = 1296;

// Offers the exception to the first previous port that is live and asks for its type, in the
// way its behaviour says; ZVCRASH_KERN_SUCCESS means that handler took it. Ports that want
// 64-bit codes, or an unknown behaviour, are not forwarded to. Safe at crash time.
int32_t zvcrash_mach_exception_forward(uint32_t task, uint32_t thread, int32_t exception_type, const int64_t* codes, uint32_t code_count,
                                       const zvcrash_mach_exception_port_set* port_set, const zvcrash_mach_exception_raisers* raisers);

// One 64-bit-code exception request as it arrives at the server port.
struct zvcrash_mach_exception_request {
    uint32_t bits;
    uint32_t size;
    uint32_t reply_port;
    int32_t id;
    uint32_t thread;
    uint32_t task;
    int32_t exception_type;
    uint32_t code_count;
    const uint8_t* codes;  // code_count little-endian 64-bit values, inside the message bytes
};

// The smallest request: header, two port descriptors, the record and one code.
constexpr size_t ZVCRASH_MACH_EXCEPTION_REQUEST_MIN = 76;
constexpr size_t ZVCRASH_MACH_EXCEPTION_REPLY_SIZE = 36;

enum zvcrash_mach_request_result {
    // Decoded: call the reporter and answer with its result.
    ZVCRASH_MACH_REQUEST_OK,
    // Too short to be a request: answer ZVCRASH_KERN_FAILURE.
    ZVCRASH_MACH_REQUEST_SHORT,
    // The codes reach past the message: drop it without an answer.
    ZVCRASH_MACH_REQUEST_DROP,
};

// Decodes message bytes (length bytes received). Safe at crash time.
zvcrash_mach_request_result zvcrash_mach_exception_request_decode(const uint8_t* message, size_t length,
                                                                  zvcrash_mach_exception_request* out);

// The 64-bit code i of a decoded request. Safe at crash time.
int64_t zvcrash_mach_exception_request_code(const zvcrash_mach_exception_request* request, uint32_t i);

// Writes the 36-byte answer to a request: its reply port with the request's remote
// disposition, id + 100, the standard NDR record and the return code. Safe at crash time.
void zvcrash_exception_server_reply(const zvcrash_mach_exception_request* request, int32_t return_code,
                                    uint8_t reply[ZVCRASH_MACH_EXCEPTION_REPLY_SIZE]);
