# Thread state: register sets, signal contexts and the calling thread's own registers.
target_sources(crashreporter_async PRIVATE ${CMAKE_CURRENT_LIST_DIR}/zvcrash_async_thread_state.cpp)

velmo_add_test(crash_thread_state_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/zvcrash_async_thread_state_test.cpp
  LIBS crashreporter_async
  LABELS crash
  KIND unit)

# The crash-time routines run with the allocator shut (malloc, free and operator new abort while
# the test's flag is set); its own program, since it replaces the allocator's entry points.
velmo_add_test(crash_noalloc_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/zvcrash_async_noalloc_test.cpp ${CMAKE_CURRENT_LIST_DIR}/zvcrash_async_noalloc_crashpath_test.cpp
  LIBS crashreporter_async_testing ${CMAKE_DL_LIBS}
  LABELS crash
  KIND unit)
