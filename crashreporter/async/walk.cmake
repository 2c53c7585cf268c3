# Stack walking: the thread rendezvous that stops the other threads and reads their registers,
# the frame cursor and its readers.
target_sources(crashreporter_async PRIVATE ${CMAKE_CURRENT_LIST_DIR}/zvcrash_async_thread_rendezvous.cpp)
target_sources(crashreporter_async_testing PRIVATE ${CMAKE_CURRENT_LIST_DIR}/ParkedThreadsTesting.cpp)

velmo_add_test(crash_thread_rendezvous_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/zvcrash_async_thread_rendezvous_test.cpp
  LIBS crashreporter_async_testing
  LABELS crash
  KIND threads)

target_sources(crashreporter_async PRIVATE ${CMAKE_CURRENT_LIST_DIR}/zvcrash_async_frame_cursor.cpp
                                           ${CMAKE_CURRENT_LIST_DIR}/zvcrash_async_frame_reader.cpp)

velmo_add_test(crash_frame_cursor_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/zvcrash_async_frame_cursor_test.cpp
  LIBS crashreporter_async_testing
  LABELS crash
  KIND unit)

velmo_add_test(crash_frame_walk_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/zvcrash_async_frame_walk_test.cpp ${CMAKE_CURRENT_LIST_DIR}/zvcrash_async_frame_walk_chain_test.cpp
  LIBS crashreporter_async_testing ${CMAKE_DL_LIBS}
  LABELS crash
  KIND threads)
if(TARGET crash_frame_walk_test)
  # The chain has only its unwind tables to be walked by, whatever the build's own choice.
  set_source_files_properties(${CMAKE_CURRENT_LIST_DIR}/zvcrash_async_frame_walk_chain_test.cpp
                              PROPERTIES COMPILE_OPTIONS "-fomit-frame-pointer;-fno-optimize-sibling-calls;-O1")
  # Test functions are found by their dynamic symbols.
  set_target_properties(crash_frame_walk_test PROPERTIES ENABLE_EXPORTS ON)
endif()

velmo_add_benchmark(SOURCES ${CMAKE_CURRENT_LIST_DIR}/zvcrash_async_frame_cursor_benchmark.cpp LIBS crashreporter_async_testing)
