# Stack walking: the thread rendezvous that stops the other threads and reads their registers,
# the frame cursor and its readers.
target_sources(crashreporter_async PRIVATE ${CMAKE_CURRENT_LIST_DIR}/zvcrash_async_thread_rendezvous.cpp)
target_sources(crashreporter_async_testing PRIVATE ${CMAKE_CURRENT_LIST_DIR}/ParkedThreadsTesting.cpp)

velmo_add_test(crash_thread_rendezvous_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/zvcrash_async_thread_rendezvous_test.cpp
  LIBS crashreporter_async_testing
  LABELS crash
  KIND threads)
