#include "crashreporter/async/zvcrash_async_signal_handler.h"

#include <cerrno>

#include "crashreporter/async/zvcrash_async_list.h"

namespace {

using zvcrash::async::async_list;

struct CallbackEntry {
    zvcrash_signal_handler_callback_func callback;
    void* context;
};

struct PreviousAction {
    int signo;
    struct sigaction action;
};

// Built by the compiler, not on first use: a signal that comes before anything was registered
// must not allocate or take the initialisation guard. Their nodes are never freed at exit, since
// a crash during exit may still walk them.
constinit async_list<CallbackEntry> callbackList;
constinit async_list<PreviousAction> previousActionList;

async_list<CallbackEntry>& callbacks() { return callbackList; }

async_list<PreviousAction>& previousActions() { return previousActionList; }

bool dispatch(int signo, siginfo_t* info, void* uap, const void* current) {
    auto& list = callbacks();
    list.set_reading(true);
    using node = async_list<CallbackEntry>::node;
    const node* entry = current == nullptr ? list.first() : async_list<CallbackEntry>::after(static_cast<const node*>(current));
    bool handled = false;
    if (entry != nullptr) {
        zvcrash_signal_handler_callback next = {dispatch, entry};
        const bool hasNext = async_list<CallbackEntry>::after(entry) != nullptr;
        handled = entry->value.callback(signo, info, uap, entry->value.context, hasNext ? &next : nullptr);
    }
    list.set_reading(false);
    return handled;
}

// The last links of the chain: hands the signal to the action that was installed before ours.
bool forwardToPreviousAction(int signo, siginfo_t* info, void* uap, void*, zvcrash_signal_handler_callback* next) {
    if (next != nullptr && zvcrash_signal_callback_invoke(next, signo, info, uap)) return true;
    auto& list = previousActions();
    list.set_reading(true);
    bool handled = false;
    for (auto* n = list.first(); n != nullptr; n = async_list<PreviousAction>::after(n)) {
        if (n->value.signo != signo) continue;
        const struct sigaction& action = n->value.action;
        if ((action.sa_flags & SA_SIGINFO) != 0) {
            action.sa_sigaction(signo, info, uap);
            handled = true;
        } else if (action.sa_handler == SIG_IGN) {
            handled = true;
        } else if (action.sa_handler == SIG_DFL) {
            handled = false;
        } else {
            action.sa_handler(signo);
            handled = true;
        }
        break;
    }
    list.set_reading(false);
    return handled;
}

}  // namespace

bool zvcrash_signal_callback_invoke(zvcrash_signal_handler_callback* next, int signo, siginfo_t* info, void* uap) {
    if (next == nullptr) return false;
    return next->dispatch(signo, info, uap, next->current);
}

void zvcrash_async_signal_handler_entry(int signo, siginfo_t* info, void* uap) {
    const int savedErrno = errno;
    if (!dispatch(signo, info, uap, nullptr)) {
        // Nobody handled it: let the default action end the process. Raised with our handler
        // still installed, the signal would come straight back here, forever.
        struct sigaction fallback = {};
        fallback.sa_handler = SIG_DFL;
        sigemptyset(&fallback.sa_mask);
        sigaction(signo, &fallback, nullptr);
        raise(signo);
    }
    errno = savedErrno;
}

void zvcrash_async_signal_handler_prepend_callback(zvcrash_signal_handler_callback_func callback, void* context) {
    callbacks().prepend_node(CallbackEntry{callback, context});
}

void zvcrash_async_signal_handler_append_forwarder() { callbacks().append_node(CallbackEntry{forwardToPreviousAction, nullptr}); }

bool zvcrash_async_signal_handler_is_installed(int signo) {
    auto& list = previousActions();
    list.set_reading(true);
    bool found = false;
    for (auto* n = list.first(); n != nullptr && !found; n = async_list<PreviousAction>::after(n)) found = n->value.signo == signo;
    list.set_reading(false);
    return found;
}

bool zvcrash_async_signal_handler_install(int signo) {
    struct sigaction action = {};
    action.sa_sigaction = zvcrash_async_signal_handler_entry;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_ONSTACK | SA_SIGINFO;
    PreviousAction previous = {signo, {}};
    if (sigaction(signo, &action, &previous.action) != 0) return false;
    previousActions().append_node(previous);
    return true;
}

void zvcrash_async_signal_handler_reset() {
    while (previousActions().remove_first([](const PreviousAction&) { return true; })) {
    }
    while (callbacks().remove_first([](const CallbackEntry&) { return true; })) {
    }
}
