// How much memory one long utterance takes through the upload back-end: every byte allocated
// with operator new in this process is counted (live and peak), from the open session to the
// delivered transcript. The loopback service runs in a child process, so what it receives is not
// counted with what the client holds.

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <new>
#include <string>

#include "platform/base/OriginOverride.h"
#include "platform/runtime/VirtualMainLoop.h"
#include "testing/LoopbackHttpServer.h"
#include "testing/TaskProbe.h"
#include "voice/OpenAIAudioTranscriptionProvider.h"

using namespace std::chrono_literals;

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define VELMO_COUNTS_ALLOCATIONS 0
#else
#define VELMO_COUNTS_ALLOCATIONS 1
#endif

namespace {
std::atomic<std::size_t> liveBytes{0};
std::atomic<std::size_t> peakBytes{0};

void resetPeak() { peakBytes.store(liveBytes.load()); }
}  // namespace

#if VELMO_COUNTS_ALLOCATIONS
namespace {
// Every block carries its size in front, so frees on any thread are counted exactly.
constexpr std::size_t kHeader = alignof(std::max_align_t);

void* countedAllocate(std::size_t n) {
    void* raw = std::malloc(n + kHeader);
    if (!raw) return nullptr;
    *static_cast<std::size_t*>(raw) = n;
    std::size_t now = liveBytes.fetch_add(n) + n;
    std::size_t peak = peakBytes.load();
    while (now > peak && !peakBytes.compare_exchange_weak(peak, now)) {
    }
    return static_cast<char*>(raw) + kHeader;
}

void countedFree(void* p) noexcept {
    if (!p) return;
    void* raw = static_cast<char*>(p) - kHeader;
    liveBytes.fetch_sub(*static_cast<std::size_t*>(raw));
    std::free(raw);
}
}  // namespace

void* operator new(std::size_t n) {
    if (void* p = countedAllocate(n)) return p;
    throw std::bad_alloc();
}
void* operator new[](std::size_t n) {
    if (void* p = countedAllocate(n)) return p;
    throw std::bad_alloc();
}
void* operator new(std::size_t n, const std::nothrow_t&) noexcept { return countedAllocate(n); }
void* operator new[](std::size_t n, const std::nothrow_t&) noexcept { return countedAllocate(n); }
void operator delete(void* p) noexcept { countedFree(p); }
void operator delete[](void* p) noexcept { countedFree(p); }
void operator delete(void* p, std::size_t) noexcept { countedFree(p); }
void operator delete[](void* p, std::size_t) noexcept { countedFree(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { countedFree(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { countedFree(p); }
#endif

using namespace velmo;

namespace {

constexpr double kSeconds = 60;

std::shared_ptr<const AudioPCMBuffer> microphoneBuffer(long index) {
    auto buffer = AudioPCMBuffer::make(AudioFormat::float32Planar(48000, 1), 1024);
    for (std::uint32_t i = 0; i < 1024; ++i) buffer->floatChannelData(0)[i] = 0.3f * std::sin(float(index * 1024 + i) * 0.03f);
    buffer->setFrameLength(1024);
    return buffer;
}

long kilobytesOf(const char* field) {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind(field, 0) == 0) return std::atol(line.c_str() + std::strlen(field));
    return -1;
}

// A loopback transcription service in a child process; its port comes back through a pipe and
// it ends when the pipe to it closes.
class ServiceProcess {
public:
    ServiceProcess() {
        int up[2], down[2];
        if (::pipe(up) != 0 || ::pipe(down) != 0) return;
        pid_ = ::fork();
        if (pid_ == 0) {
            ::close(up[0]);
            ::close(down[1]);
            {
                velmo::test::LoopbackHttpServer server;
                server.route("POST", "/v1/audio/transcriptions",
                             velmo::test::LoopbackAnswer::text(200, R"({"text":"sixty seconds of speech"})", "application/json"));
                int port = server.port();
                if (::write(up[1], &port, sizeof port) != sizeof port) ::_exit(1);
                char byte;
                while (::read(down[0], &byte, 1) > 0) {
                }
            }
            ::_exit(0);
        }
        ::close(up[1]);
        ::close(down[0]);
        toChild_ = down[1];
        if (::read(up[0], &port_, sizeof port_) != sizeof port_) port_ = 0;
        ::close(up[0]);
    }
    ~ServiceProcess() {
        if (toChild_ >= 0) ::close(toChild_);
        if (pid_ > 0) ::waitpid(pid_, nullptr, 0);
    }
    int port() const { return port_; }

private:
    pid_t pid_ = -1;
    int toChild_ = -1;
    int port_ = 0;
};

}  // namespace

TEST(OpenAIAudioTranscriptionMemory, ASixtySecondUtteranceStaysUnderThreeTimesItsPCM) {
    if (!VELMO_COUNTS_ALLOCATIONS) GTEST_SKIP() << "the sanitizers own operator new";
    ServiceProcess service;  // before any thread of this process starts
    ASSERT_GT(service.port(), 0);

    const long bufferCount = long(std::ceil(kSeconds * 48000 / 1024));
    std::size_t pcmByteCount = 0;
    {
        MirrinPCM16AudioConverter converter;
        for (long i = 0; i < bufferCount; ++i) pcmByteCount += converter.convert(*microphoneBuffer(i)).size();
    }

    VirtualMainLoopScope scope;
    OriginOverride::Scope redirect("api.openai.com", "http://127.0.0.1:" + std::to_string(service.port()));
    OpenAIAudioTranscriptionProvider provider("sk-test", "gpt-4o-transcribe");
    std::vector<std::string> finals;
    auto opening = provider.startStreamingSession(
        {"Xcode"}, [](const std::string&) {}, [&](const std::string& t) { finals.push_back(t); }, [](std::exception_ptr) {});
    auto probe = velmo::test::awaitTask(scope.loop(), std::move(opening));
    ASSERT_TRUE(probe.value());
    auto session = *probe.value();
    finals.reserve(4);

    std::ofstream("/proc/self/clear_refs") << "5";  // restart the resident-set high-water mark
    const long rssBefore = kilobytesOf("VmRSS:");
    const std::size_t baseline = liveBytes.load();
    resetPeak();
    for (long i = 0; i < bufferCount; ++i) session->appendAudioBuffer(microphoneBuffer(i));
    const std::size_t recordingPeak = peakBytes.load() - baseline;
    resetPeak();
    session->requestFinalTranscript();
    ASSERT_TRUE(scope.loop().runUntil([&] { return !finals.empty(); }, 30s));
    const std::size_t uploadPeak = peakBytes.load() - baseline;
    const long rssPeak = kilobytesOf("VmHWM:");
    EXPECT_EQ(finals, std::vector<std::string>{"sixty seconds of speech"});

    const std::size_t peak = std::max(recordingPeak, uploadPeak);
    const double ratio = double(peak) / double(pcmByteCount);
    char line[256];
    std::snprintf(line, sizeof line,
                  "PCM %zu bytes; peak heap %zu bytes (%.2fx) while recording %zu (%.2fx), while uploading %zu (%.2fx); "
                  "resident set rose by %ld KiB",
                  pcmByteCount, peak, ratio, recordingPeak, double(recordingPeak) / double(pcmByteCount), uploadPeak,
                  double(uploadPeak) / double(pcmByteCount), rssPeak - rssBefore);
    std::printf("%s\n", line);
    RecordProperty("memory", line);
    EXPECT_GE(pcmByteCount, std::size_t(kSeconds * 32000 * 0.99));
    EXPECT_LT(ratio, 3.0) << line;

    session->cancel();
    session.reset();
    scope.loop().runUntilIdle();
}
