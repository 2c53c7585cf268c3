# Thread state: register sets, signal contexts and the calling thread's own registers.
target_sources(crashreporter_async PRIVATE ${CMAKE_CURRENT_LIST_DIR}/zvcrash_async_thread_state.cpp)

velmo_add_test(crash_thread_state_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/zvcrash_async_thread_state_test.cpp
  LIBS crashreporter_async
  LABELS crash
  KIND unit)
