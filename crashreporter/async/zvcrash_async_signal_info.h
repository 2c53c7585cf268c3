// Names of signals and of their codes for a report, keyed by this host's <signal.h> numbers,
// and the "#<number>" text written for one the tables do not know.
#pragma once

#include <cstddef>
#include <cstdint>

// Room for "#-2147483648" and its NUL.
constexpr size_t ZVCRASH_ASYNC_SIGNAL_NUMBER_TEXT_SIZE = 13;

// The signal's name ("SIGSEGV"), or null when the table has none. Safe at crash time.
const char* zvcrash_async_signal_signame(int signo);

// The name of a signal's code ("SEGV_MAPERR"), or null when the table has none.
// Safe at crash time.
const char* zvcrash_async_signal_sigcode(int signo, int code);

// Writes "#" and the decimal value into buffer (at least ZVCRASH_ASYNC_SIGNAL_NUMBER_TEXT_SIZE
// bytes) and returns buffer. Safe at crash time.
char* zvcrash_async_signal_number_text(int32_t value, char buffer[ZVCRASH_ASYNC_SIGNAL_NUMBER_TEXT_SIZE]);
