// The report writer: one crash report of this process, written while it is crashing. Whatever
// needs allocation or files (identity texts, host and process facts, the report's identifier,
// the frame storage) is gathered into a writer state when the reporter is enabled; the write
// itself only stops the other threads, walks their stacks, looks up images and symbols and
// encodes fields straight into an async file.
#pragma once

#include <sys/types.h>
#include <time.h>

#include <cstddef>
#include <cstdint>

#include "crashreporter/async/zvcrash_async.h"
#include "crashreporter/async/zvcrash_async_file.h"
#include "crashreporter/async/zvcrash_async_image_list.h"
#include "crashreporter/async/zvcrash_async_symbol.h"
#include "crashreporter/async/zvcrash_async_thread_state.h"
#include "crashreporter/async/zvcrash_writer_pack.h"

// A private NUL-terminated copy and its length; absent is a null value with length 0.
struct zvcrash_log_writer_text {
    size_t length;
    char* value;
};

// Where a write finds the other threads of the process, and how it stops and releases them. The
// live source is the thread rendezvous; tests give simulated threads.
struct zvcrash_log_writer_thread_source {
    // Stops every thread but the caller; the threads are then count() and thread(0...).
    zvcrash_error_t (*suspend)(void* context);
    uint32_t (*count)(void* context);
    pid_t (*thread)(void* context, uint32_t index);
    void (*resume)(void* context);
    void* context;
};

// The threads of this process, stopped through the thread rendezvous. Safe at crash time.
const zvcrash_log_writer_thread_source* zvcrash_log_writer_live_threads();

// The host and process facts a state holds: what zvcrash_log_writer_init reads from the system.
// Texts may be null (unknown).
struct zvcrash_log_writer_facts {
    uint8_t uuid[16];
    const char* os_version;
    const char* os_build;
    const char* model;
    int64_t cpu_type;
    int64_t cpu_subtype;
    uint32_t physical_cpu_count;
    uint32_t logical_cpu_count;
    const char* process_name;
    int32_t process_id;
    const char* process_path;
    int64_t start_time;
    const char* parent_process_name;
    int32_t parent_process_id;
    bool native;
};

struct zvcrash_log_writer_exception {
    bool has_exception;
    zvcrash_log_writer_text name;
    zvcrash_log_writer_text reason;
    uint64_t* return_addresses;
    size_t return_address_count;
};

// Storage for the frames of one thread (or of the exception), prepared at init so that a write
// allocates nothing.
struct zvcrash_log_writer_frames {
    zvcrash_writer_frame* frames;
    // One name buffer per frame; null when the state does not symbolicate.
    char (*symbol_names)[ZVCRASH_ASYNC_SYMBOL_NAME_SIZE];
};

struct zvcrash_log_writer_t {
    // ZVCRASH_SYMBOL_STRATEGY_* bits; 0 names no frame.
    uint32_t symbolication_strategy;
    // A live report asked for by the program, not a crash.
    bool user_requested;
    uint8_t uuid[16];

    struct {
        zvcrash_log_writer_text version;
        zvcrash_log_writer_text build;
    } system_info;

    struct {
        zvcrash_log_writer_text model;
        int64_t cpu_type;
        int64_t cpu_subtype;
        uint32_t physical_cpu_count;
        uint32_t logical_cpu_count;
    } machine_info;

    struct {
        zvcrash_log_writer_text identifier;
        zvcrash_log_writer_text version;
        zvcrash_log_writer_text marketing_version;
    } application_info;

    struct {
        zvcrash_log_writer_text name;
        int32_t id;
        zvcrash_log_writer_text path;
        int64_t start_time;
        zvcrash_log_writer_text parent_name;
        int32_t parent_id;
        bool native;
    } process_info;

    zvcrash_log_writer_exception uncaught_exception;

    struct {
        size_t length;
        uint8_t* bytes;
    } custom_data;

    zvcrash_log_writer_frames frame_storage;

    // What a write stops and walks, and the clock of the report's timestamp (time() unless a test
    // sets another).
    const zvcrash_log_writer_thread_source* threads;
    time_t (*clock)(time_t*);
};

// The fatal signal, as the handler saw it.
struct zvcrash_log_signal_info {
    int32_t signo;
    int32_t code;
    uint64_t address;
};

// The exception the signal was derived from, where the crash came in as one.
struct zvcrash_log_mach_exception_info {
    uint32_t type;
    const uint64_t* codes;
    size_t code_count;
};

struct zvcrash_log_crash_info {
    zvcrash_log_signal_info signal;
    // Null when the crash came in as a signal.
    const zvcrash_log_mach_exception_info* mach_exception;
};

// Zeroes the state and fills it: a new report identifier, the texts given, this process (name,
// id, path from /proc/self/exe, start time, parent), the machine and the system (OS version
// "major.minor[.patch]" of the kernel release, the kernel build, the model, the processor type
// and counts). Prepares the thread rendezvous and the frame storage. ZVCRASH_ERR_INVAL, with the
// machine and system facts left empty, when this process's record cannot be read.
// Not safe at crash time: reads files and allocates.
zvcrash_error_t zvcrash_log_writer_init(zvcrash_log_writer_t* writer, const char* app_identifier, const char* app_version,
                                        const char* app_marketing_version, uint32_t symbolication_strategy, bool user_requested);

// The same with the facts given instead of read: for reports of simulated processes. Neither
// prepares the rendezvous nor reads the system. Not safe at crash time: allocates.
zvcrash_error_t zvcrash_log_writer_init_with_facts(zvcrash_log_writer_t* writer, const char* app_identifier, const char* app_version,
                                                   const char* app_marketing_version, uint32_t symbolication_strategy, bool user_requested,
                                                   const zvcrash_log_writer_facts* facts);

// Records the uncaught exception: its name, reason (empty when null) and call-stack return
// addresses. A second exception stops the process. Not safe at crash time: allocates.
void zvcrash_log_writer_set_exception(zvcrash_log_writer_t* writer, const char* name, const char* reason, const uint64_t* return_addresses,
                                      size_t return_address_count);

// Replaces the custom data with a copy of the bytes (none when data is null).
// Not safe at crash time: allocates.
void zvcrash_log_writer_set_custom_data(zvcrash_log_writer_t* writer, const void* data, size_t length);

// Writes the whole report into file: stops the other threads, writes the header and the fields
// in order (report, system, machine, application and process facts, every thread with at most
// 512 frames and the crashed thread's registers, the images in list order, the exception, the
// signal, the custom data), then lets the threads go. The calling thread is written with
// current_state, and left out when that is null. ZVCRASH_ERR_OUTPUT when the file refused a
// write (its byte limit, a failed descriptor): the report is incomplete. Safe at crash time.
zvcrash_error_t zvcrash_log_writer_write(zvcrash_log_writer_t* writer, pid_t crashed_thread, zvcrash_async_image_list* image_list,
                                         zvcrash_async_file* file, const zvcrash_log_crash_info* crash,
                                         const zvcrash_async_thread_state* current_state);

// Nothing to do: returns 0. Safe at crash time.
zvcrash_error_t zvcrash_log_writer_close(zvcrash_log_writer_t* writer);

// Releases every copy the state holds and its frame storage. Not safe at crash time: frees memory.
void zvcrash_log_writer_free(zvcrash_log_writer_t* writer);
