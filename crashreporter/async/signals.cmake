# Signal and signal-code names for reports.
target_sources(crashreporter_async PRIVATE ${CMAKE_CURRENT_LIST_DIR}/zvcrash_async_signal_info.cpp)
velmo_add_test(crash_signal_info_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/zvcrash_async_signal_info_test.cpp
  LIBS crashreporter_async
  LABELS crash
  KIND unit)

# The common signal handler and its callback chain.
target_sources(crashreporter_async PRIVATE ${CMAKE_CURRENT_LIST_DIR}/zvcrash_async_signal_handler.cpp)
