# The report writer: the file header and the protocol-buffer encoder of the report's messages.
target_sources(crashreporter_async PRIVATE ${CMAKE_CURRENT_LIST_DIR}/zvcrash_writer_pack.cpp)

velmo_add_test(crash_writer_pack_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/zvcrash_writer_pack_test.cpp
  LIBS crashreporter_async_testing
  LABELS crash
  KIND unit)
target_sources(crashreporter_async_testing PRIVATE ${CMAKE_CURRENT_LIST_DIR}/WriterPackTesting.cpp)
