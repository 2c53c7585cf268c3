# The report writer: the file header and the protocol-buffer encoder of the report's messages.
target_sources(crashreporter_async PRIVATE ${CMAKE_CURRENT_LIST_DIR}/zvcrash_writer_pack.cpp)

velmo_add_test(crash_writer_pack_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/zvcrash_writer_pack_test.cpp
  LIBS crashreporter_async_testing
  LABELS crash
  KIND unit)
target_sources(crashreporter_async_testing PRIVATE ${CMAKE_CURRENT_LIST_DIR}/WriterPackTesting.cpp)

# The report writer: the state gathered when the reporter is enabled and the write at crash time.
target_sources(crashreporter_async PRIVATE ${CMAKE_CURRENT_LIST_DIR}/zvcrash_log_writer.cpp)

velmo_add_test(crash_log_writer_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/zvcrash_log_writer_test.cpp
  LIBS crashreporter_async_testing
  LABELS crash
  KIND threads)
if(TARGET crash_log_writer_test)
  target_compile_definitions(crash_log_writer_test PRIVATE VELMO_CRASH_WRITER_TESTDATA="${CMAKE_CURRENT_LIST_DIR}/testdata")
endif()

# Reports of this process read back with the report reader: the test sits with the reader's layer.
velmo_add_test(crash_log_writer_report_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/../report/zvcrash_log_writer_report_test.cpp
  LIBS crashreporter_report_testing
  LABELS crash
  KIND threads)
if(TARGET crash_log_writer_report_test)
  # Frames are named from the executable's dynamic symbols.
  set_target_properties(crash_log_writer_report_test PROPERTIES ENABLE_EXPORTS ON)
endif()

velmo_add_benchmark(SOURCES ${CMAKE_CURRENT_LIST_DIR}/zvcrash_log_writer_benchmark.cpp LIBS crashreporter_async)
