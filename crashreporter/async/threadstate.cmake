# Thread state: register sets, signal contexts and the calling thread's own registers.
target_sources(crashreporter_async PRIVATE ${CMAKE_CURRENT_LIST_DIR}/zvcrash_async_thread_state.cpp)

velmo_add_test(crash_thread_state_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/zvcrash_async_thread_state_test.cpp
  LIBS crashreporter_async
  LABELS crash
  KIND unit)

# The crash-time routines run with the allocator shut (malloc, free, operator new and delete and
# the aligned allocators abort while the test's flag is set); its own program, since it replaces
# the allocator's entry points. The facade adds its crash step to it. Threads: the rendezvous and
# the report write stop parked threads.
velmo_add_test(crash_noalloc_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/zvcrash_async_noalloc_test.cpp ${CMAKE_CURRENT_LIST_DIR}/zvcrash_async_noalloc_crashpath_test.cpp
  LIBS crashreporter_async_testing ${CMAKE_DL_LIBS}
  LABELS crash
  KIND threads)
