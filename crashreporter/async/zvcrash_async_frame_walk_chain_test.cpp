// Five functions that call each other without frame pointers, so that only their unwind
// tables can lead a walk through them; built with -fomit-frame-pointer.
#include "crashreporter/async/zvcrash_async_thread_state.h"

extern "C" {

volatile int zvcrash_walk_chain_sink = 0;

// Each keeps some work after its call, so that none of the calls becomes a jump.
__attribute__((noinline, visibility("default"))) zvcrash_error_t zvcrash_walk_chain_5(zvcrash_async_thread_state_current_callback callback,
                                                                                      void* context) {
    zvcrash_error_t result = zvcrash_async_thread_state_current(callback, context);
    zvcrash_walk_chain_sink = zvcrash_walk_chain_sink + 5;
    return result;
}

__attribute__((noinline, visibility("default"))) zvcrash_error_t zvcrash_walk_chain_4(zvcrash_async_thread_state_current_callback callback,
                                                                                      void* context) {
    // A frame of its own on the stack, addressed from the stack pointer.
    volatile char scratch[40];
    scratch[0] = 4;
    zvcrash_error_t result = zvcrash_walk_chain_5(callback, context);
    zvcrash_walk_chain_sink = zvcrash_walk_chain_sink + scratch[0];
    return result;
}

__attribute__((noinline, visibility("default"))) zvcrash_error_t zvcrash_walk_chain_3(zvcrash_async_thread_state_current_callback callback,
                                                                                      void* context) {
    zvcrash_error_t result = zvcrash_walk_chain_4(callback, context);
    zvcrash_walk_chain_sink = zvcrash_walk_chain_sink + 3;
    return result;
}

__attribute__((noinline, visibility("default"))) zvcrash_error_t zvcrash_walk_chain_2(zvcrash_async_thread_state_current_callback callback,
                                                                                      void* context) {
    volatile char scratch[200];
    scratch[0] = 2;
    zvcrash_error_t result = zvcrash_walk_chain_3(callback, context);
    zvcrash_walk_chain_sink = zvcrash_walk_chain_sink + scratch[0];
    return result;
}

__attribute__((noinline, visibility("default"))) zvcrash_error_t zvcrash_walk_chain_1(zvcrash_async_thread_state_current_callback callback,
                                                                                      void* context) {
    zvcrash_error_t result = zvcrash_walk_chain_2(callback, context);
    zvcrash_walk_chain_sink = zvcrash_walk_chain_sink + 1;
    return result;
}
}
