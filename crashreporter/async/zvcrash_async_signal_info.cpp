#include "crashreporter/async/zvcrash_async_signal_info.h"

#include <csignal>

namespace {

struct SignalName {
    int signo;
    const char* name;
};

// First match wins. SIGIOT is SIGABRT's other name and is never chosen; Linux has no SIGEMT or
// SIGINFO.
constexpr SignalName signalNames[] = {
    {SIGHUP, "SIGHUP"},       {SIGINT, "SIGINT"},   {SIGQUIT, "SIGQUIT"},   {SIGILL, "SIGILL"},   {SIGTRAP, "SIGTRAP"},
    {SIGABRT, "SIGABRT"},     {SIGIOT, "SIGIOT"},   {SIGFPE, "SIGFPE"},     {SIGKILL, "SIGKILL"}, {SIGBUS, "SIGBUS"},
    {SIGSEGV, "SIGSEGV"},     {SIGSYS, "SIGSYS"},   {SIGPIPE, "SIGPIPE"},   {SIGALRM, "SIGALRM"}, {SIGTERM, "SIGTERM"},
    {SIGURG, "SIGURG"},       {SIGSTOP, "SIGSTOP"}, {SIGTSTP, "SIGTSTP"},   {SIGCONT, "SIGCONT"}, {SIGCHLD, "SIGCHLD"},
    {SIGTTIN, "SIGTTIN"},     {SIGTTOU, "SIGTTOU"}, {SIGIO, "SIGIO"},       {SIGXCPU, "SIGXCPU"}, {SIGXFSZ, "SIGXFSZ"},
    {SIGVTALRM, "SIGVTALRM"}, {SIGPROF, "SIGPROF"}, {SIGWINCH, "SIGWINCH"}, {SIGUSR1, "SIGUSR1"}, {SIGUSR2, "SIGUSR2"},
};

struct CodeName {
    int signo;
    int code;
    const char* name;
};

// The "NOOP" codes are 0, which no <signal.h> names. SIGTRAP and SIGABRT with code 0 have no
// name, so they are written as "#0".
constexpr CodeName codeNames[] = {
    {SIGILL, 0, "ILL_NOOP"},
    {SIGILL, ILL_ILLOPC, "ILL_ILLOPC"},
    {SIGILL, ILL_ILLTRP, "ILL_ILLTRP"},
    {SIGILL, ILL_PRVOPC, "ILL_PRVOPC"},
    {SIGILL, ILL_ILLOPN, "ILL_ILLOPN"},
    {SIGILL, ILL_ILLADR, "ILL_ILLADR"},
    {SIGILL, ILL_PRVREG, "ILL_PRVREG"},
    {SIGILL, ILL_COPROC, "ILL_COPROC"},
    {SIGILL, ILL_BADSTK, "ILL_BADSTK"},
    {SIGFPE, 0, "FPE_NOOP"},
    {SIGFPE, FPE_FLTDIV, "FPE_FLTDIV"},
    {SIGFPE, FPE_FLTOVF, "FPE_FLTOVF"},
    {SIGFPE, FPE_FLTUND, "FPE_FLTUND"},
    {SIGFPE, FPE_FLTRES, "FPE_FLTRES"},
    {SIGFPE, FPE_FLTINV, "FPE_FLTINV"},
    {SIGFPE, FPE_FLTSUB, "FPE_FLTSUB"},
    {SIGFPE, FPE_INTDIV, "FPE_INTDIV"},
    {SIGFPE, FPE_INTOVF, "FPE_INTOVF"},
    {SIGSEGV, 0, "SEGV_NOOP"},
    {SIGSEGV, SEGV_MAPERR, "SEGV_MAPERR"},
    {SIGSEGV, SEGV_ACCERR, "SEGV_ACCERR"},
    {SIGBUS, 0, "BUS_NOOP"},
    {SIGBUS, BUS_ADRALN, "BUS_ADRALN"},
    {SIGBUS, BUS_ADRERR, "BUS_ADRERR"},
    {SIGBUS, BUS_OBJERR, "BUS_OBJERR"},
    {SIGTRAP, TRAP_BRKPT, "TRAP_BRKPT"},
    {SIGTRAP, TRAP_TRACE, "TRAP_TRACE"},
};

}  // namespace

const char* zvcrash_async_signal_signame(int signo) {
    for (const auto& entry : signalNames) {
        if (entry.signo == signo) return entry.name;
    }
    return nullptr;
}

const char* zvcrash_async_signal_sigcode(int signo, int code) {
    for (const auto& entry : codeNames) {
        if (entry.signo == signo && entry.code == code) return entry.name;
    }
    return nullptr;
}

char* zvcrash_async_signal_number_text(int32_t value, char buffer[ZVCRASH_ASYNC_SIGNAL_NUMBER_TEXT_SIZE]) {
    char digits[10];
    size_t count = 0;
    // Work on the magnitude in unsigned arithmetic: -2147483648 has no positive int32_t.
    uint32_t magnitude = value < 0 ? 0u - static_cast<uint32_t>(value) : static_cast<uint32_t>(value);
    do {
        digits[count++] = static_cast<char>('0' + magnitude % 10);
        magnitude /= 10;
    } while (magnitude != 0);
    size_t at = 0;
    buffer[at++] = '#';
    if (value < 0) buffer[at++] = '-';
    while (count > 0) buffer[at++] = digits[--count];
    buffer[at] = '\0';
    return buffer;
}
