# Thread state: register sets, signal contexts and the calling thread's own registers.
target_sources(crashreporter_async PRIVATE ${CMAKE_CURRENT_LIST_DIR}/zvcrash_async_thread_state.cpp)
