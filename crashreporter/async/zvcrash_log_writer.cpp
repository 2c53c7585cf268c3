#include "crashreporter/async/zvcrash_log_writer.h"

#include <sys/random.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "crashreporter/async/ZVCrashHostInfo.h"
#include "crashreporter/async/ZVCrashProcessInfo.h"
#include "crashreporter/async/zvcrash_async_frame_cursor.h"
#include "crashreporter/async/zvcrash_async_signal_info.h"
#include "crashreporter/async/zvcrash_async_thread_rendezvous.h"
#include "crashreporter/async/zvcrash_sysctl.h"

namespace {

// A broken promise of the writer's own callers: say which, and stop.
[[noreturn]] void writer_assert_failed(const char* condition, const char* function) {
    const char* parts[] = {"zvcrash_log_writer: assertion failed: ", condition, ", function ", function, ", file zvcrash_log_writer.cpp\n"};
    for (const char* part : parts) zvcrash_async_writen(STDERR_FILENO, part, strlen(part));
    abort();
}

#define ZVCRASH_WRITER_ASSERT(condition)                              \
    do {                                                              \
        if (!(condition)) writer_assert_failed(#condition, __func__); \
    } while (0)

void text_set(zvcrash_log_writer_text* text, const char* value) {
    free(text->value);
    text->value = nullptr;
    text->length = 0;
    if (value == nullptr) return;
    text->length = strlen(value);
    text->value = strdup(value);
    if (text->value == nullptr) text->length = 0;
}

void text_free(zvcrash_log_writer_text* text) { text_set(text, nullptr); }

// Decimal digits of value appended to out. Not on the crash path, but no formatting library is
// needed for three numbers.
void append_decimal(std::string& out, uint64_t value) {
    char digits[20];
    size_t count = 0;
    do {
        digits[count++] = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value != 0);
    while (count > 0) out.push_back(digits[--count]);
}

std::string os_version_text(const ZVCrashHostInfoVersion& version) {
    std::string text;
    append_decimal(text, version.major);
    text.push_back('.');
    append_decimal(text, version.minor);
    if (version.revision > 0) {
        text.push_back('.');
        append_decimal(text, version.revision);
    }
    return text;
}

// The executable's path, grown until readlink has room for all of it.
std::string executable_path() {
    std::string path(256, '\0');
    for (;;) {
        const ssize_t used = readlink("/proc/self/exe", path.data(), path.size());
        if (used < 0) return {};
        if (static_cast<size_t>(used) < path.size()) {
            path.resize(static_cast<size_t>(used));
            return path;
        }
        path.resize(path.size() * 2);
    }
}

std::string sysctl_text(const char* name, bool* found) {
    char* value = zvcrash_sysctl_string(name);
    *found = value != nullptr;
    std::string text = value != nullptr ? value : "";
    free(value);
    return text;
}

void new_uuid(uint8_t uuid[16]) {
    size_t filled = 0;
    while (filled < 16) {
        const ssize_t got = getrandom(uuid + filled, 16 - filled, 0);
        if (got <= 0) break;
        filled += static_cast<size_t>(got);
    }
    // Version 4, variant 1.
    uuid[6] = static_cast<uint8_t>((uuid[6] & 0x0f) | 0x40);
    uuid[8] = static_cast<uint8_t>((uuid[8] & 0x3f) | 0x80);
}

bool prepare_frame_storage(zvcrash_log_writer_t* writer) {
    auto* storage = &writer->frame_storage;
    storage->frames = static_cast<zvcrash_writer_frame*>(calloc(ZVCRASH_WRITER_MAX_FRAMES, sizeof(zvcrash_writer_frame)));
    if (storage->frames == nullptr) return false;
    if (writer->symbolication_strategy != 0) {
        storage->symbol_names =
            static_cast<char(*)[ZVCRASH_ASYNC_SYMBOL_NAME_SIZE]>(calloc(ZVCRASH_WRITER_MAX_FRAMES, ZVCRASH_ASYNC_SYMBOL_NAME_SIZE));
        if (storage->symbol_names == nullptr) return false;
    }
    return true;
}

// The thread rendezvous as a thread source.
zvcrash_error_t live_suspend(void*) { return zvcrash_async_thread_rendezvous_suspend(); }
uint32_t live_count(void*) { return zvcrash_async_thread_rendezvous_count(); }
pid_t live_thread(void*, uint32_t index) { return zvcrash_async_thread_rendezvous_thread(index); }
void live_resume(void*) { zvcrash_async_thread_rendezvous_resume(); }

const zvcrash_log_writer_thread_source kLiveThreads = {live_suspend, live_count, live_thread, live_resume, nullptr};

// ---- The write: everything below runs at crash time.

template <class Content>
void write_field(zvcrash_async_file* file, uint32_t field_id, Content content) {
    size_t length = content(nullptr);
    zvcrash_writer_pack(file, field_id, ZVCRASH_WRITER_TYPE_MESSAGE, &length);
    content(file);
}

struct symbol_found {
    char* name;
    uint64_t address;
    bool found;
};

void keep_symbol(uint64_t address, const char* name, void* context) {
    auto* found = static_cast<symbol_found*>(context);
    size_t length = 0;
    while (name[length] != '\0' && length < ZVCRASH_ASYNC_SYMBOL_NAME_SIZE - 1) {
        found->name[length] = name[length];
        ++length;
    }
    found->name[length] = '\0';
    found->address = address;
    found->found = true;
}

// Fills frame index of the storage with pc and, when the state symbolicates and an image holds
// the pc, its symbol.
void fill_frame(zvcrash_log_writer_t* writer, zvcrash_async_image_list* image_list, zvcrash_async_symbol_cache* cache, size_t index,
                uint64_t pc) {
    zvcrash_writer_frame* frame = &writer->frame_storage.frames[index];
    frame->pc = pc;
    frame->symbol_name = nullptr;
    frame->symbol_start = 0;
    if (writer->symbolication_strategy == 0 || writer->frame_storage.symbol_names == nullptr || image_list == nullptr) return;
    symbol_found found = {writer->frame_storage.symbol_names[index], 0, false};
    zvcrash_async_image_list_set_reading(image_list, true);
    const zvcrash_async_image* image = zvcrash_async_image_containing_address(image_list, pc);
    if (image != nullptr) zvcrash_async_find_symbol(image, writer->symbolication_strategy & 3, cache, pc, keep_symbol, &found);
    zvcrash_async_image_list_set_reading(image_list, false);
    if (found.found) {
        frame->symbol_name = found.name;
        frame->symbol_start = found.address;
    }
}

struct thread_walk {
    zvcrash_writer_register registers[ZVCRASH_X86_64_REG_COUNT];
    size_t register_count;
    size_t frame_count;
};

// Steps the cursor through at most 512 frames into the frame storage; the crashed thread's
// registers are those of its first frame.
void walk_thread(zvcrash_log_writer_t* writer, zvcrash_async_image_list* image_list, zvcrash_async_symbol_cache* cache,
                 zvcrash_async_frame_cursor* cursor, bool crashed, thread_walk* walk) {
    while (walk->frame_count < ZVCRASH_WRITER_MAX_FRAMES) {
        if (zvcrash_async_frame_cursor_next(cursor) != ZVCRASH_FRAME_OK) break;
        if (crashed && walk->frame_count == 0) {
            size_t count = zvcrash_async_frame_cursor_get_regcount(cursor);
            if (count > ZVCRASH_X86_64_REG_COUNT) count = ZVCRASH_X86_64_REG_COUNT;
            for (size_t i = 0; i < count; ++i) {
                const auto regnum = static_cast<zvcrash_async_regnum>(i);
                uint64_t value = 0;
                if (zvcrash_async_frame_cursor_get_reg(cursor, regnum, &value) != ZVCRASH_FRAME_OK) value = 0;
                walk->registers[i] = {zvcrash_async_frame_cursor_get_regname(cursor, regnum), value};
            }
            walk->register_count = count;
        }
        uint64_t pc = 0;
        if (zvcrash_async_frame_cursor_get_reg(cursor, ZVCRASH_REG_IP, &pc) != ZVCRASH_FRAME_OK) break;
        fill_frame(writer, image_list, cache, walk->frame_count, pc);
        ++walk->frame_count;
    }
}

void write_thread(zvcrash_log_writer_t* writer, zvcrash_async_file* file, zvcrash_async_image_list* image_list,
                  zvcrash_async_symbol_cache* cache, uint32_t number, pid_t thread, bool crashed, const zvcrash_async_thread_state* state) {
    thread_walk walk;
    walk.register_count = 0;
    walk.frame_count = 0;
    zvcrash_async_frame_cursor cursor;
    const zvcrash_error_t made = state != nullptr ? zvcrash_async_frame_cursor_init(&cursor, image_list->task, state, image_list)
                                                  : zvcrash_async_frame_cursor_thread_init(&cursor, image_list->task, thread, image_list);
    if (made == ZVCRASH_OK) {
        walk_thread(writer, image_list, cache, &cursor, crashed, &walk);
        zvcrash_async_frame_cursor_free(&cursor);
    }
    const zvcrash_writer_frame* frames = writer->frame_storage.frames;
    write_field(file, ZVCRASH_REPORT_THREADS, [&](zvcrash_async_file* f) {
        return zvcrash_writer_write_thread(f, number, crashed, walk.registers, walk.register_count, frames, walk.frame_count);
    });
}

void write_images(zvcrash_async_file* file, zvcrash_async_image_list* image_list) {
    zvcrash_async_image_list_set_reading(image_list, true);
    for (const zvcrash_async_image* image = zvcrash_async_image_list_next(image_list, nullptr); image != nullptr;
         image = zvcrash_async_image_list_next(image_list, image)) {
        uint8_t uuid[16];
        const bool has_uuid = zvcrash_async_image_uuid(image, uuid) == ZVCRASH_OK;
        const zvcrash_writer_image record = {
            zvcrash_async_image_base(image), zvcrash_async_image_size(image),     zvcrash_async_image_path(image),
            has_uuid ? uuid : nullptr,       zvcrash_async_image_cpu_type(image), zvcrash_async_image_cpu_subtype(image),
        };
        write_field(file, ZVCRASH_REPORT_BINARY_IMAGES,
                    [&](zvcrash_async_file* f) { return zvcrash_writer_write_binary_image(f, &record); });
    }
    zvcrash_async_image_list_set_reading(image_list, false);
}

void write_exception(zvcrash_log_writer_t* writer, zvcrash_async_file* file, zvcrash_async_image_list* image_list,
                     zvcrash_async_symbol_cache* cache) {
    const zvcrash_log_writer_exception* exception = &writer->uncaught_exception;
    ZVCRASH_WRITER_ASSERT(writer->uncaught_exception.has_exception);
    size_t count = exception->return_address_count;
    if (count > ZVCRASH_WRITER_MAX_FRAMES) count = ZVCRASH_WRITER_MAX_FRAMES;
    for (size_t i = 0; i < count; ++i) fill_frame(writer, image_list, cache, i, exception->return_addresses[i]);
    const zvcrash_writer_frame* frames = writer->frame_storage.frames;
    write_field(file, ZVCRASH_REPORT_EXCEPTION, [&](zvcrash_async_file* f) {
        return zvcrash_writer_write_exception(f, exception->name.value, exception->reason.value, frames, count);
    });
}

void write_signal(zvcrash_async_file* file, const zvcrash_log_crash_info* crash) {
    char name_text[ZVCRASH_ASYNC_SIGNAL_NUMBER_TEXT_SIZE];
    char code_text[ZVCRASH_ASYNC_SIGNAL_NUMBER_TEXT_SIZE];
    const zvcrash_log_signal_info& signal = crash->signal;
    const char* name = zvcrash_async_signal_signame(signal.signo);
    if (name == nullptr) name = zvcrash_async_signal_number_text(signal.signo, name_text);
    const char* code = zvcrash_async_signal_sigcode(signal.signo, signal.code);
    if (code == nullptr) code = zvcrash_async_signal_number_text(signal.code, code_text);
    const zvcrash_log_mach_exception_info* mach = crash->mach_exception;
    write_field(file, ZVCRASH_REPORT_SIGNAL, [&](zvcrash_async_file* f) {
        return zvcrash_writer_write_signal(f, name, code, signal.address, mach != nullptr, mach != nullptr ? mach->type : 0,
                                           mach != nullptr ? mach->codes : nullptr, mach != nullptr ? mach->code_count : 0);
    });
}

}  // namespace

const zvcrash_log_writer_thread_source* zvcrash_log_writer_live_threads() { return &kLiveThreads; }

zvcrash_error_t zvcrash_log_writer_init_with_facts(zvcrash_log_writer_t* writer, const char* app_identifier, const char* app_version,
                                                   const char* app_marketing_version, uint32_t symbolication_strategy, bool user_requested,
                                                   const zvcrash_log_writer_facts* facts) {
    memset(writer, 0, sizeof *writer);
    writer->symbolication_strategy = symbolication_strategy;
    writer->user_requested = user_requested;
    writer->threads = &kLiveThreads;
    writer->clock = time;
    text_set(&writer->application_info.identifier, app_identifier);
    text_set(&writer->application_info.version, app_version);
    text_set(&writer->application_info.marketing_version, app_marketing_version);
    if (!prepare_frame_storage(writer)) return ZVCRASH_ERR_NOMEM;
    if (facts == nullptr) return ZVCRASH_OK;

    memcpy(writer->uuid, facts->uuid, sizeof writer->uuid);
    text_set(&writer->system_info.version, facts->os_version);
    text_set(&writer->system_info.build, facts->os_build);
    text_set(&writer->machine_info.model, facts->model);
    writer->machine_info.cpu_type = facts->cpu_type;
    writer->machine_info.cpu_subtype = facts->cpu_subtype;
    writer->machine_info.physical_cpu_count = facts->physical_cpu_count;
    writer->machine_info.logical_cpu_count = facts->logical_cpu_count;
    text_set(&writer->process_info.name, facts->process_name);
    writer->process_info.id = facts->process_id;
    text_set(&writer->process_info.path, facts->process_path);
    writer->process_info.start_time = facts->start_time;
    text_set(&writer->process_info.parent_name, facts->parent_process_name);
    writer->process_info.parent_id = facts->parent_process_id;
    writer->process_info.native = facts->native;
    return ZVCRASH_OK;
}

zvcrash_error_t zvcrash_log_writer_init(zvcrash_log_writer_t* writer, const char* app_identifier, const char* app_version,
                                        const char* app_marketing_version, uint32_t symbolication_strategy, bool user_requested) {
    zvcrash_error_t result = zvcrash_log_writer_init_with_facts(writer, app_identifier, app_version, app_marketing_version,
                                                                symbolication_strategy, user_requested, nullptr);
    if (result != ZVCRASH_OK) return result;
    new_uuid(writer->uuid);
    // Stopping the other threads at crash time needs its signal and slots ready now.
    zvcrash_async_thread_rendezvous_prepare(0);

    const std::shared_ptr<ZVCrashProcessInfo> process = ZVCrashProcessInfo::currentProcessInfo();
    if (process == nullptr) return ZVCRASH_ERR_INVAL;
    writer->process_info.id = process->processID();
    if (process->processName()) text_set(&writer->process_info.name, process->processName()->c_str());
    writer->process_info.start_time = process->startTime().tv_sec;
    const std::string path = executable_path();
    if (!path.empty()) text_set(&writer->process_info.path, path.c_str());
    writer->process_info.parent_id = process->parentProcessID();
    if (const auto parent = ZVCrashProcessInfo::withProcessID(process->parentProcessID()); parent != nullptr && parent->processName()) {
        text_set(&writer->process_info.parent_name, parent->processName()->c_str());
    }

    bool found = false;
    const std::string model = sysctl_text("hw.model", &found);
    if (found) text_set(&writer->machine_info.model, model.c_str());
    int32_t value = 0;
    if (zvcrash_sysctl_int("hw.cputype", &value)) writer->machine_info.cpu_type = value;
    if (zvcrash_sysctl_int("hw.cpusubtype", &value)) writer->machine_info.cpu_subtype = value;
    if (zvcrash_sysctl_int("hw.physicalcpu_max", &value)) writer->machine_info.physical_cpu_count = static_cast<uint32_t>(value);
    if (zvcrash_sysctl_int("hw.logicalcpu_max", &value)) writer->machine_info.logical_cpu_count = static_cast<uint32_t>(value);
    writer->process_info.native = !(zvcrash_sysctl_int("sysctl.proc_native", &value) && value == 0);
    const std::string build = sysctl_text("kern.osversion", &found);
    if (found) text_set(&writer->system_info.build, build.c_str());

    const std::string release = sysctl_text("kern.osrelease", &found);
    if (found) text_set(&writer->system_info.version, os_version_text(ZVCrashHostInfo(release).darwinVersion()).c_str());
    return ZVCRASH_OK;
}

void zvcrash_log_writer_set_exception(zvcrash_log_writer_t* writer, const char* name, const char* reason, const uint64_t* return_addresses,
                                      size_t return_address_count) {
    ZVCRASH_WRITER_ASSERT(writer->uncaught_exception.has_exception == false);
    zvcrash_log_writer_exception* exception = &writer->uncaught_exception;
    exception->has_exception = true;
    text_set(&exception->name, name != nullptr ? name : "");
    text_set(&exception->reason, reason != nullptr ? reason : "");
    exception->return_address_count = 0;
    exception->return_addresses = nullptr;
    if (return_address_count > 0 && return_addresses != nullptr) {
        exception->return_addresses = static_cast<uint64_t*>(malloc(return_address_count * sizeof(uint64_t)));
        if (exception->return_addresses != nullptr) {
            memcpy(exception->return_addresses, return_addresses, return_address_count * sizeof(uint64_t));
            exception->return_address_count = return_address_count;
        }
    }
}

void zvcrash_log_writer_set_custom_data(zvcrash_log_writer_t* writer, const void* data, size_t length) {
    free(writer->custom_data.bytes);
    writer->custom_data.bytes = nullptr;
    writer->custom_data.length = 0;
    if (data == nullptr) return;
    // A copy even of no bytes, so that empty data is still written.
    writer->custom_data.bytes = static_cast<uint8_t*>(malloc(length > 0 ? length : 1));
    if (writer->custom_data.bytes == nullptr) return;
    memcpy(writer->custom_data.bytes, data, length);
    writer->custom_data.length = length;
}

zvcrash_error_t zvcrash_log_writer_write(zvcrash_log_writer_t* writer, pid_t crashed_thread, zvcrash_async_image_list* image_list,
                                         zvcrash_async_file* file, const zvcrash_log_crash_info* crash,
                                         const zvcrash_async_thread_state* current_state) {
    const zvcrash_log_writer_thread_source* threads = writer->threads;
    // A thread list that cannot be had is an empty one: the report still says what it can.
    const bool suspended = threads->suspend(threads->context) == ZVCRASH_OK;
    const uint32_t thread_count = suspended ? threads->count(threads->context) : 0;

    zvcrash_async_symbol_cache cache;
    zvcrash_async_symbol_cache_init(&cache);

    zvcrash_writer_write_file_header(file);

    write_field(file, ZVCRASH_REPORT_REPORT_INFO,
                [&](zvcrash_async_file* f) { return zvcrash_writer_write_report_info(f, writer->user_requested, writer->uuid); });

    time_t now = writer->clock(nullptr);
    const int64_t timestamp = now == static_cast<time_t>(-1) ? 0 : static_cast<int64_t>(now);
    write_field(file, ZVCRASH_REPORT_SYSTEM_INFO, [&](zvcrash_async_file* f) {
        const char* build = writer->system_info.build.value != nullptr ? writer->system_info.build.value : "";
        return zvcrash_writer_write_system_info(f, ZVCRASH_OS_LINUX, writer->system_info.version.value, build, ZVCRASH_ARCH_X86_64,
                                                timestamp);
    });

    write_field(file, ZVCRASH_REPORT_MACHINE_INFO, [&](zvcrash_async_file* f) {
        const auto& machine = writer->machine_info;
        return zvcrash_writer_write_machine_info(f, machine.model.value, static_cast<uint64_t>(machine.cpu_type),
                                                 static_cast<uint64_t>(machine.cpu_subtype), machine.physical_cpu_count,
                                                 machine.logical_cpu_count);
    });

    write_field(file, ZVCRASH_REPORT_APPLICATION_INFO, [&](zvcrash_async_file* f) {
        const auto& app = writer->application_info;
        return zvcrash_writer_write_application_info(f, app.identifier.value, app.version.value, app.marketing_version.value);
    });

    write_field(file, ZVCRASH_REPORT_PROCESS_INFO, [&](zvcrash_async_file* f) {
        const auto& process = writer->process_info;
        return zvcrash_writer_write_process_info(f, process.name.value, static_cast<uint32_t>(process.id), process.path.value,
                                                 process.parent_name.value, static_cast<uint32_t>(process.parent_id), process.native,
                                                 static_cast<uint64_t>(process.start_time));
    });

    // The calling thread is not among the stopped ones; it takes its place by thread id, which is
    // the order in which the kernel lists the threads it created.
    const pid_t self = zvcrash_async_current_thread_port();
    bool self_written = current_state == nullptr;
    uint32_t number = 0;
    for (uint32_t i = 0; i < thread_count; ++i) {
        const pid_t thread = threads->thread(threads->context, i);
        if (!self_written && self < thread) {
            write_thread(writer, file, image_list, &cache, number++, self, self == crashed_thread, current_state);
            self_written = true;
        }
        if (thread == self) continue;
        write_thread(writer, file, image_list, &cache, number++, thread, thread == crashed_thread, nullptr);
    }
    if (!self_written) write_thread(writer, file, image_list, &cache, number++, self, self == crashed_thread, current_state);

    write_images(file, image_list);

    if (writer->uncaught_exception.has_exception) write_exception(writer, file, image_list, &cache);

    write_signal(file, crash);

    if (writer->custom_data.bytes != nullptr) {
        const zvcrash_writer_bytes bytes = {writer->custom_data.bytes, writer->custom_data.length};
        zvcrash_writer_pack(file, ZVCRASH_REPORT_CUSTOM_DATA, ZVCRASH_WRITER_TYPE_BYTES, &bytes);
    }

    zvcrash_async_symbol_cache_free(&cache);
    if (suspended) threads->resume(threads->context);

    const bool flushed = zvcrash_async_file_flush(file);
    return flushed && !zvcrash_async_file_incomplete(file) ? ZVCRASH_OK : ZVCRASH_ERR_OUTPUT;
}

zvcrash_error_t zvcrash_log_writer_close(zvcrash_log_writer_t*) { return ZVCRASH_OK; }

void zvcrash_log_writer_free(zvcrash_log_writer_t* writer) {
    text_free(&writer->system_info.version);
    text_free(&writer->system_info.build);
    text_free(&writer->machine_info.model);
    text_free(&writer->application_info.identifier);
    text_free(&writer->application_info.version);
    text_free(&writer->application_info.marketing_version);
    text_free(&writer->process_info.name);
    text_free(&writer->process_info.path);
    text_free(&writer->process_info.parent_name);
    if (writer->uncaught_exception.has_exception) {
        text_free(&writer->uncaught_exception.name);
        text_free(&writer->uncaught_exception.reason);
        free(writer->uncaught_exception.return_addresses);
        writer->uncaught_exception = {};
    }
    free(writer->custom_data.bytes);
    writer->custom_data.bytes = nullptr;
    writer->custom_data.length = 0;
    free(writer->frame_storage.frames);
    free(writer->frame_storage.symbol_names);
    writer->frame_storage = {};
}
