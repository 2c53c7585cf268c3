# Compact unwind: the section reader, its entries, and the test-side section builder.
target_sources(crashreporter_async PRIVATE ${CMAKE_CURRENT_LIST_DIR}/zvcrash_async_cfe_reader.cpp
                                           ${CMAKE_CURRENT_LIST_DIR}/zvcrash_async_cfe_entry.cpp)
target_sources(crashreporter_async_testing PRIVATE ${CMAKE_CURRENT_LIST_DIR}/CompactUnwindTesting.cpp)

velmo_add_test(crash_cfe_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/zvcrash_async_cfe_reader_test.cpp ${CMAKE_CURRENT_LIST_DIR}/zvcrash_async_cfe_entry_test.cpp
  LIBS crashreporter_async_testing
  LABELS crash
  KIND unit)

velmo_add_fuzzer(crash_cfe_fuzz
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/zvcrash_async_cfe_fuzz.cpp
  LIBS crashreporter_async_testing
  CORPUS ${CMAKE_CURRENT_LIST_DIR}/fuzz_corpus/cfe
  AREA crash)
