#include "crashreporter/ZVCrashReporter.h"

#include <cxxabi.h>
#include <errno.h>
#include <execinfo.h>
#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <typeinfo>

#include "crashreporter/ZVCrashSignalHandler.h"
#include "crashreporter/async/zvcrash_async.h"
#include "crashreporter/async/zvcrash_async_file.h"
#include "crashreporter/async/zvcrash_async_image_feeder.h"
#include "crashreporter/async/zvcrash_async_image_list.h"
#include "crashreporter/async/zvcrash_async_mach_exception.h"
#include "crashreporter/async/zvcrash_async_thread_state.h"
#include "crashreporter/async/zvcrash_log_writer.h"
#include "platform/base/Logger.h"
#include "platform/foundation/Bundle.h"

namespace zvcrash {

namespace {

constexpr const char* logPrefix = "[ZVCrashReporter] ";

void log(const std::string& text) { velmo::logLine(logPrefix + text); }

// The signals a crash arrives by.
constexpr int crashSignals[] = {SIGABRT, SIGBUS, SIGFPE, SIGILL, SIGSEGV, SIGTRAP};

// Custom data as the crash path sees it: written once, then only read, and replaced as a whole.
struct CustomDataBlock {
    size_t length;
    uint8_t bytes[];
};

// What a crash-time write needs, prepared by enable; nothing changes it afterwards except the
// custom data pointer.
struct CrashContext {
    zvcrash_log_writer_t writer;
    char* reportPath;
    // 0: a crash report is written whole.
    uint64_t byteLimit;
    zvcrash_mach_exception_port_set previousPorts;
};

CrashContext crashContext;
std::atomic<CustomDataBlock*> publishedCustomData{nullptr};
// The thread writing the crash report; 0 until a crash. Never cleared: the process is ending.
std::atomic<pid_t> crashingThread{0};
ZVCrashReporterCallbacks crashCallbacks{};
std::atomic<int> uncaughtExceptionSeen{0};

std::mutex& enableMutex() {
    static std::mutex mutex;
    return mutex;
}
bool processEnabled = false;

// The process's images, kept in step with the dynamic loader outside the crash path.
struct Images {
    zvcrash_async_image_list list;
    zvcrash_async_image_feeder feeder;
};

Images& images() {
    // Never released: a crash at exit still reads it.
    static Images* shared = [] {
        auto* made = new Images();
        zvcrash_async_image_list_init(&made->list, zvcrash_async_task_self());
        zvcrash_async_image_feeder_init(&made->feeder, &made->list);
        return made;
    }();
    return *shared;
}

zvcrash_async_image_list* resyncedImages() {
    Images& shared = images();
    zvcrash_async_image_feeder_resync(&shared.feeder);
    return &shared.list;
}

CustomDataBlock* makeBlock(const std::optional<std::vector<uint8_t>>& data) {
    if (!data) return nullptr;
    auto* block = static_cast<CustomDataBlock*>(std::malloc(sizeof(CustomDataBlock) + data->size()));
    if (block == nullptr) throw std::bad_alloc();
    block->length = data->size();
    if (!data->empty()) std::memcpy(block->bytes, data->data(), data->size());
    return block;
}

// Replaces the block the crash path reads. The old one is freed unless a crash has begun: the
// crash path marks itself before it loads the pointer, and both sides use sequentially
// consistent operations, so a setter that still sees no crash knows the crash path will load the
// new block, never the old one.
void publishCustomData(const std::optional<std::vector<uint8_t>>& data) {
    CustomDataBlock* old = publishedCustomData.exchange(makeBlock(data));
    if (crashingThread.load() == 0) std::free(old);
}

void resetCrashSignals() {
    for (int signo : crashSignals) {
        struct sigaction action = {};
        action.sa_handler = SIG_DFL;
        sigemptyset(&action.sa_mask);
        sigaction(signo, &action, nullptr);
    }
}

// Opens the pending report and writes it. Safe at crash time.
zvcrash_error_t writeCrashReport(CrashContext* context, pid_t crashedThread, const zvcrash_log_crash_info* crash,
                                 const zvcrash_async_thread_state* state) {
    const int fd = open(context->reportPath, O_RDWR | O_CREAT | O_TRUNC, 0644);
    if (fd < 0) return ZVCRASH_ERR_INTERNAL;
    fchmod(fd, 0644);
    const CustomDataBlock* block = publishedCustomData.load();
    context->writer.custom_data.length = block != nullptr ? block->length : 0;
    context->writer.custom_data.bytes = block != nullptr ? const_cast<uint8_t*>(block->bytes) : nullptr;

    zvcrash_async_file file;
    zvcrash_async_file_init(&file, fd, context->byteLimit);
    zvcrash_error_t result = zvcrash_log_writer_write(&context->writer, crashedThread, &images().list, &file, crash, state);
    if (zvcrash_log_writer_close(&context->writer) != ZVCRASH_OK) result = ZVCRASH_ERR_INTERNAL;
    if (!zvcrash_async_file_close(&file)) {
        close(fd);
        result = ZVCRASH_ERR_INTERNAL;
    }
    return result;
}

// Runs in the signal handler of the crashing thread. Safe at crash time.
bool crashSignalCallback(int signo, siginfo_t* info, void* uap, void* context, zvcrash_signal_handler_callback*) {
    const pid_t self = zvcrash_async_current_thread_port();
    pid_t expected = 0;
    if (!crashingThread.compare_exchange_strong(expected, self)) {
        // A fault inside our own write: let it end the process.
        if (expected == self) {
            resetCrashSignals();
            return false;
        }
        // Another thread is writing the report; the process ends when it is done.
        for (;;) pause();
    }
    zvcrash_async_thread_state state;
    zvcrash_async_thread_state_ucontext_init(&state, static_cast<const ucontext_t*>(uap));
    zvcrash_log_crash_info crash = {};
    crash.signal.signo = signo;
    crash.signal.code = info != nullptr ? info->si_code : 0;
    crash.signal.address = info != nullptr ? reinterpret_cast<uint64_t>(info->si_addr) : 0;
    crash.mach_exception = nullptr;
    const zvcrash_error_t result = writeCrashReport(static_cast<CrashContext*>(context), self, &crash, &state);
    // Reset only now: a second thread faulting while the report is written must wait above
    // rather than end the process with the report half written.
    resetCrashSignals();
    if (result == ZVCRASH_OK && crashCallbacks.handleSignal != nullptr) {
        crashCallbacks.handleSignal(info, static_cast<ucontext_t*>(uap), crashCallbacks.context);
    }
    return false;
}

std::string demangle(const char* name) {
    int status = 0;
    std::unique_ptr<char, void (*)(void*)> demangled(abi::__cxa_demangle(name, nullptr, nullptr, &status), std::free);
    return status == 0 && demangled ? std::string(demangled.get()) : std::string(name);
}

std::vector<uint64_t> captureReturnAddresses() {
    void* addresses[512];
    const int count = backtrace(addresses, 512);
    std::vector<uint64_t> result;
    for (int i = 0; i < count; ++i) result.push_back(reinterpret_cast<uint64_t>(addresses[i]));
    return result;
}

[[noreturn]] void uncaughtExceptionHandler() {
    int expected = 0;
    if (!uncaughtExceptionSeen.compare_exchange_strong(expected, 1)) {
        // The first uncaught exception is being recorded on another thread, which aborts.
        for (;;) pause();
    }
    const std::vector<uint64_t> returnAddresses = captureReturnAddresses();
    if (std::exception_ptr current = std::current_exception()) {
        ZVCrashReporterExceptionInfo info = ZVCrashReporterExceptionInfo::fromException(current);
        zvcrash_log_writer_set_exception(&crashContext.writer, info.name.c_str(), info.reason.c_str(), returnAddresses.data(),
                                         returnAddresses.size());
    }
    std::abort();
}

void setPOSIXError(std::optional<ZVCrashReporterError>* error, const std::string& description, int errnoValue) {
    if (error) *error = ZVCrashReporterError::posix(description, errnoValue);
}

void setError(std::optional<ZVCrashReporterError>* error, long code, const std::string& description) {
    if (error) *error = ZVCrashReporterError(code, description);
}

// mkdir -p, with the mode set on every folder it makes whatever the umask.
bool makeDirectories(const std::string& path, int* errnoValue) {
    std::string partial;
    size_t start = 0;
    while (start <= path.size()) {
        size_t slash = path.find('/', start);
        if (slash == std::string::npos) slash = path.size();
        partial = path.substr(0, slash);
        start = slash + 1;
        if (partial.empty()) continue;
        if (mkdir(partial.c_str(), 0755) == 0) {
            chmod(partial.c_str(), 0755);
        } else if (errno != EEXIST) {
            *errnoValue = errno;
            return false;
        }
        struct stat info;
        if (stat(partial.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) {
            *errnoValue = ENOTDIR;
            return false;
        }
    }
    return true;
}

std::string sanitizedIdentifier(std::string identifier) {
    for (char& c : identifier) {
        if (c == '/') c = '_';
    }
    return identifier;
}

std::string temporaryDirectory() {
    const char* tmpdir = std::getenv("TMPDIR");
    if (tmpdir != nullptr && tmpdir[0] != '\0') return tmpdir;
    return "/tmp";
}

std::optional<std::vector<uint8_t>> readFile(const std::string& path, int* errnoValue) {
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        *errnoValue = errno;
        return std::nullopt;
    }
    std::vector<uint8_t> bytes;
    uint8_t buffer[65536];
    for (;;) {
        const ssize_t n = read(fd, buffer, sizeof(buffer));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            *errnoValue = errno;
            close(fd);
            return std::nullopt;
        }
        if (n == 0) break;
        bytes.insert(bytes.end(), buffer, buffer + n);
    }
    close(fd);
    return bytes;
}

}  // namespace

ZVCrashReporterExceptionInfo ZVCrashReporterExceptionInfo::fromException(const std::exception_ptr& exception) {
    ZVCrashReporterExceptionInfo info;
    try {
        std::rethrow_exception(exception);
    } catch (const std::exception& caught) {
        info.name = demangle(typeid(caught).name());
        info.reason = caught.what();
    } catch (...) {
        const std::type_info* type = abi::__cxa_current_exception_type();
        info.name = type != nullptr ? demangle(type->name()) : "unknown";
    }
    return info;
}

ZVCrashReporter& ZVCrashReporter::sharedReporter() {
    static auto* shared = new ZVCrashReporter(velmo::Bundle::main(), ZVCrashReporterConfig::defaultConfiguration());
    return *shared;
}

ZVCrashReporter::ZVCrashReporter()
    : ZVCrashReporter(ZVCrashReporterConfig::defaultConfiguration()) {}

ZVCrashReporter::ZVCrashReporter(ZVCrashReporterConfig configuration)
    : ZVCrashReporter(velmo::Bundle::main(), std::move(configuration)) {}

namespace {
std::string bundleIdentifierOrProcessName(const velmo::Bundle& bundle) {
    if (auto identifier = bundle.bundleIdentifier()) return *identifier;
    const char* processName = program_invocation_short_name;
    if (processName == nullptr || processName[0] == '\0') {
        throw ZVCrashReporterException("Can not determine process identifier or process name");
    }
    log(std::string("Warning -- bundle identifier, using process name ") + processName);
    return processName;
}

std::string bundleVersion(const velmo::Bundle& bundle) {
    const velmo::PlistValue value = bundle.objectForInfoDictionaryKey("CFBundleVersion");
    if (const std::string* version = value.asString()) return *version;
    log("Warning -- bundle version unavailable");
    return "";
}

std::optional<std::string> bundleShortVersion(const velmo::Bundle& bundle) {
    const velmo::PlistValue value = bundle.objectForInfoDictionaryKey("CFBundleShortVersionString");
    if (const std::string* version = value.asString()) return *version;
    return std::nullopt;
}
}  // namespace

ZVCrashReporter::ZVCrashReporter(const velmo::Bundle& bundle, ZVCrashReporterConfig configuration)
    : ZVCrashReporter(bundleIdentifierOrProcessName(bundle), bundleVersion(bundle), bundleShortVersion(bundle), std::move(configuration)) {}

ZVCrashReporter::ZVCrashReporter(std::string applicationIdentifier, std::string applicationVersion,
                                 std::optional<std::string> applicationMarketingVersion, ZVCrashReporterConfig configuration)
    : config_(std::move(configuration)),
      applicationIdentifier_(std::move(applicationIdentifier)),
      applicationVersion_(std::move(applicationVersion)),
      applicationMarketingVersion_(std::move(applicationMarketingVersion)) {
    // The image list follows the loader from the first reporter on.
    images();
    const std::string base = config_.basePath() ? *config_.basePath() : userCachesDirectory();
    crashReportDirectory_ = base + "/" + dataDirectoryName + "/" + sanitizedIdentifier(applicationIdentifier_);
}

std::string ZVCrashReporter::userCachesDirectory() {
    const char* cache = std::getenv("XDG_CACHE_HOME");
    if (cache != nullptr && cache[0] == '/') return cache;
    const char* home = std::getenv("HOME");
    if (home != nullptr && home[0] != '\0') return std::string(home) + "/.cache";
    if (const passwd* entry = getpwuid(getuid()); entry != nullptr && entry->pw_dir != nullptr) {
        return std::string(entry->pw_dir) + "/.cache";
    }
    return temporaryDirectory() + "/.cache";
}

bool ZVCrashReporter::enabled() const {
    std::lock_guard<std::mutex> guard(customDataMutex_);
    return enabled_;
}

bool ZVCrashReporter::hasPendingCrashReport() const { return access(crashReportPath().c_str(), F_OK) == 0; }

std::optional<std::vector<uint8_t>> ZVCrashReporter::loadPendingCrashReportData(std::optional<ZVCrashReporterError>* error) const {
    int errnoValue = 0;
    auto bytes = readFile(crashReportPath(), &errnoValue);
    if (!bytes) setPOSIXError(error, "Failed to read the pending crash report", errnoValue);
    return bytes;
}

bool ZVCrashReporter::purgePendingCrashReport(std::optional<ZVCrashReporterError>* error) const {
    if (unlink(crashReportPath().c_str()) == 0) return true;
    setPOSIXError(error, "Failed to remove the pending crash report", errno);
    return false;
}

bool ZVCrashReporter::populateCrashReportDirectory(std::optional<ZVCrashReporterError>* error) const {
    int errnoValue = 0;
    if (!makeDirectories(crashReportDirectory_, &errnoValue) || !makeDirectories(queuedCrashReportDirectory(), &errnoValue)) {
        setPOSIXError(error, "Failed to create the crash report directory", errnoValue);
        return false;
    }
    return true;
}

bool ZVCrashReporter::enableCrashReporter(std::optional<ZVCrashReporterError>* error) {
    {
        std::lock_guard<std::mutex> guard(enableMutex());
        if (processEnabled) {
            setError(error, ZVCrashReporterErrorResourceBusy, "A ZVCrashReporter instance has already been enabled");
            return false;
        }
        // Never cleared, also when a later step fails: one attempt per process.
        processEnabled = true;
    }
    if (!populateCrashReportDirectory(error)) return false;

    crashContext.reportPath = strdup(crashReportPath().c_str());
    crashContext.byteLimit = 0;
    std::memset(&crashContext.previousPorts, 0, sizeof(crashContext.previousPorts));
    zvcrash_log_writer_init(&crashContext.writer, applicationIdentifier_.c_str(), applicationVersion_.c_str(),
                            applicationMarketingVersion_ ? applicationMarketingVersion_->c_str() : nullptr,
                            mapToAsyncSymbolicationStrategy(config_.symbolicationStrategy()), false);
    {
        std::lock_guard<std::mutex> guard(customDataMutex_);
        publishCustomData(customData_);
    }
    resyncedImages();

    const uint64_t type = config_.signalHandlerType();
    if (type == ZVCrashReporterSignalHandlerTypeMach) {
        log("Mach exception handling is not available on Linux; crashes are caught with POSIX signal handlers");
    }
    if (type == ZVCrashReporterSignalHandlerTypeBSD || type == ZVCrashReporterSignalHandlerTypeMach) {
        for (int signo : crashSignals) {
            if (!ZVCrashSignalHandler::sharedHandler().registerHandlerForSignal(signo, crashSignalCallback, &crashContext, error)) {
                return false;
            }
        }
    }
    if (config_.shouldRegisterUncaughtExceptionHandler()) std::set_terminate(uncaughtExceptionHandler);

    std::lock_guard<std::mutex> guard(customDataMutex_);
    enabled_ = true;
    // A value set while enabling was under way.
    publishCustomData(customData_);
    return true;
}

void ZVCrashReporter::setCrashCallbacks(const ZVCrashReporterCallbacks& callbacks) {
    if (enabled()) throw ZVCrashReporterException("The crash reporter has already been enabled");
    if (callbacks.version != 0) throw std::invalid_argument("callbacks->version == 0");
    crashCallbacks = callbacks;
}

std::optional<std::vector<uint8_t>> ZVCrashReporter::customData() const {
    std::lock_guard<std::mutex> guard(customDataMutex_);
    return customData_;
}

void ZVCrashReporter::setCustomData(std::optional<std::vector<uint8_t>> data) {
    std::lock_guard<std::mutex> guard(customDataMutex_);
    customData_ = std::move(data);
    // Only the enabled instance speaks for the crash report.
    if (enabled_) publishCustomData(customData_);
}

std::optional<std::vector<uint8_t>> ZVCrashReporter::generateLiveReportWithThread(pid_t thread,
                                                                                  std::optional<ZVCrashReporterError>* error) {
    return generateLiveReportWithThread(thread, nullptr, error);
}

std::optional<std::vector<uint8_t>> ZVCrashReporter::generateLiveReport(std::optional<ZVCrashReporterError>* error) {
    return generateLiveReportWithThread(zvcrash_async_current_thread_port(), nullptr, error);
}

std::optional<std::vector<uint8_t>> ZVCrashReporter::generateLiveReportWithException(const ZVCrashReporterExceptionInfo& exception,
                                                                                     std::optional<ZVCrashReporterError>* error) {
    return generateLiveReportWithThread(zvcrash_async_current_thread_port(), &exception, error);
}

namespace {
struct LiveWrite {
    zvcrash_log_writer_t* writer;
    zvcrash_async_image_list* images;
    zvcrash_async_file* file;
    const zvcrash_log_crash_info* crash;
};

zvcrash_error_t writeWithCurrentState(zvcrash_async_thread_state* state, void* context) {
    auto* live = static_cast<LiveWrite*>(context);
    return zvcrash_log_writer_write(live->writer, zvcrash_async_current_thread_port(), live->images, live->file, live->crash, state);
}
}  // namespace

std::optional<std::vector<uint8_t>> ZVCrashReporter::generateLiveReportWithThread(pid_t thread,
                                                                                  const ZVCrashReporterExceptionInfo* exception,
                                                                                  std::optional<ZVCrashReporterError>* error) {
    std::string path = temporaryDirectory() + "/live_crash_report.XXXXXX";
    const int fd = mkstemp(path.data());
    if (fd < 0) {
        setPOSIXError(error, "Failed to create temporary path", errno);
        return std::nullopt;
    }
    std::optional<std::vector<uint8_t>> result;
    zvcrash_log_writer_t writer;
    zvcrash_log_writer_init(&writer, applicationIdentifier_.c_str(), applicationVersion_.c_str(),
                            applicationMarketingVersion_ ? applicationMarketingVersion_->c_str() : nullptr,
                            mapToAsyncSymbolicationStrategy(config_.symbolicationStrategy()), true);
    zvcrash_async_file file;
    zvcrash_async_file_init(&file, fd, config_.maxReportBytes());
    if (auto data = customData()) zvcrash_log_writer_set_custom_data(&writer, data->data(), data->size());
    if (exception != nullptr) {
        zvcrash_log_writer_set_exception(&writer, exception->name.c_str(), exception->reason.c_str(), exception->returnAddresses.data(),
                                         exception->returnAddresses.size());
    }
    zvcrash_log_crash_info crash = {};
    crash.signal.signo = SIGTRAP;
    crash.signal.code = TRAP_TRACE;
    crash.signal.address = reinterpret_cast<uint64_t>(__builtin_return_address(0));
    crash.mach_exception = nullptr;

    zvcrash_async_image_list* list = resyncedImages();
    zvcrash_error_t written;
    if (thread != zvcrash_async_current_thread_port()) {
        written = zvcrash_log_writer_write(&writer, thread, list, &file, &crash, nullptr);
    } else {
        LiveWrite live = {&writer, list, &file, &crash};
        written = zvcrash_async_thread_state_current(writeWithCurrentState, &live);
    }
    zvcrash_log_writer_close(&writer);
    // A refused write leaves a report whose lengths no longer match: it would not decode.
    if (written == ZVCRASH_OK && zvcrash_async_file_incomplete(&file)) written = ZVCRASH_ERR_OUTPUT;
    if (!zvcrash_async_file_close(&file)) {
        close(fd);
        if (written == ZVCRASH_OK) written = ZVCRASH_ERR_OUTPUT;
    }
    if (written != ZVCRASH_OK) {
        log(std::string("Write failed with error ") + zvcrash_async_strerror(written));
        setError(error, ZVCrashReporterErrorUnknown, "Failed to write the crash report to disk");
    } else {
        int errnoValue = 0;
        result = readFile(path, &errnoValue);
        if (!result) setError(error, ZVCrashReporterErrorUnknown, "Unable to open live crash report for reading");
    }
    zvcrash_log_writer_free(&writer);
    if (unlink(path.c_str()) != 0) log(std::string("Failure occured deleting live crash report: ") + std::strerror(errno));
    return result;
}

}  // namespace zvcrash
