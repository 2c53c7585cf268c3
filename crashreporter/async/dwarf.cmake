# DWARF call-frame information: the CIE/FDE reader, pointer encodings, expressions and the CFA
# state machine.
target_sources(crashreporter_async PRIVATE
  ${CMAKE_CURRENT_LIST_DIR}/zvcrash_async_dwarf_encoding.cpp
  ${CMAKE_CURRENT_LIST_DIR}/zvcrash_async_dwarf_opstream.cpp
  ${CMAKE_CURRENT_LIST_DIR}/zvcrash_async_dwarf_frame_reader.cpp
  ${CMAKE_CURRENT_LIST_DIR}/zvcrash_async_dwarf_expression.cpp
  ${CMAKE_CURRENT_LIST_DIR}/zvcrash_async_dwarf_cfa_state.cpp
  ${CMAKE_CURRENT_LIST_DIR}/zvcrash_async_dwarf_unwind.cpp)

target_sources(crashreporter_async_testing PRIVATE ${CMAKE_CURRENT_LIST_DIR}/EhFrameTesting.cpp)

velmo_add_test(crash_dwarf_test
  SOURCES zvcrash_async_dwarf_frame_reader_test.cpp zvcrash_async_dwarf_expression_test.cpp zvcrash_async_dwarf_cfa_state_test.cpp
          zvcrash_async_dwarf_live_test.cpp
  LIBS crashreporter_async_testing
  LABELS crash
  KIND unit
  TIMEOUT 300)

velmo_add_benchmark(SOURCES ${CMAKE_CURRENT_LIST_DIR}/zvcrash_async_dwarf_benchmark.cpp LIBS crashreporter_async_testing)

if(COMMAND velmo_add_fuzzer)
  velmo_add_fuzzer(crash_dwarf_fuzz SOURCES zvcrash_async_dwarf_fuzz.cpp LIBS crashreporter_async_testing CORPUS fuzz/dwarf AREA crash)
endif()
