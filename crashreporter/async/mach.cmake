# The plain-data parts of the Mach exception path (Linux has no exception ports).
target_sources(crashreporter_async PRIVATE ${CMAKE_CURRENT_LIST_DIR}/zvcrash_async_mach_exception.cpp)
velmo_add_test(crash_mach_exception_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/zvcrash_async_mach_exception_test.cpp
  LIBS crashreporter_async
  LABELS crash
  KIND unit)
velmo_add_fuzzer(crash_mach_request_fuzz
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/zvcrash_async_mach_exception_fuzz.cpp
  LIBS crashreporter_async
  CORPUS ${CMAKE_CURRENT_LIST_DIR}/fuzz/mach_request
  AREA crash)
