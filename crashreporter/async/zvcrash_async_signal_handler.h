// The one handler installed for every signal the reporter asks for, and the chain of callbacks
// it runs: callbacks read lock-free from a list under a reader count, and at the end of the
// chain the actions that were installed before ours.
#pragma once

#include <csignal>

struct zvcrash_signal_handler_callback;

// A callback of the chain: true when it handled the signal. It may pass the signal on to the rest
// of the chain with zvcrash_signal_callback_invoke(next, ...); next is null for the last entry.
using zvcrash_signal_handler_callback_func = bool (*)(int signo, siginfo_t* info, void* uap, void* context,
                                                      zvcrash_signal_handler_callback* next);

// The rest of the chain after one entry.
struct zvcrash_signal_handler_callback {
    bool (*dispatch)(int signo, siginfo_t* info, void* uap, const void* current);
    const void* current;
};

// Runs the rest of the chain; false with no next. Safe at crash time.
bool zvcrash_signal_callback_invoke(zvcrash_signal_handler_callback* next, int signo, siginfo_t* info, void* uap);

// Registration, for the reporter's facade. Each step says whether it took.
// Adds {callback, context} in front of every other callback. Not safe at crash time: allocates.
void zvcrash_async_signal_handler_prepend_callback(zvcrash_signal_handler_callback_func callback, void* context);
// Adds the forwarder to the actions installed before ours at the end of the chain.
// Not safe at crash time: allocates.
void zvcrash_async_signal_handler_append_forwarder();
// Whether the common handler is already installed for signo. Safe at crash time.
bool zvcrash_async_signal_handler_is_installed(int signo);
// Installs the common handler for signo (SA_ONSTACK | SA_SIGINFO, empty mask) and keeps the
// action it replaces; false with errno set when sigaction fails. Not safe at crash time: allocates.
bool zvcrash_async_signal_handler_install(int signo);
// Empties both lists; the installed actions stay. Not safe at crash time: takes the lists' locks.
void zvcrash_async_signal_handler_reset();

// The installed handler itself, for tests that call it directly. Safe at crash time.
void zvcrash_async_signal_handler_entry(int signo, siginfo_t* info, void* uap);
