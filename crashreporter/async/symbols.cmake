# Symbolication: symbol tables and the class-metadata parser.
target_sources(crashreporter_async PRIVATE
  zvcrash_async_objc.cpp
  zvcrash_async_symbol.cpp)
target_sources(crashreporter_async_testing PRIVATE
  ClassMetadataTesting.cpp)

# Tests that check live names need this executable's own functions in its dynamic symbols.
velmo_add_test(crash_symbol_test
  SOURCES zvcrash_async_symbol_test.cpp zvcrash_async_objc_test.cpp
  LIBS crashreporter_async_testing
  LABELS crash
  KIND unit)
if(TARGET crash_symbol_test)
  target_link_options(crash_symbol_test PRIVATE -rdynamic)
endif()

if(COMMAND velmo_add_fuzzer)
  velmo_add_fuzzer(objc_metadata_fuzz SOURCES zvcrash_async_objc_fuzz.cpp LIBS crashreporter_async_testing CORPUS fuzz/objc AREA crash)
endif()

velmo_add_benchmark(SOURCES zvcrash_async_symbol_benchmark.cpp LIBS crashreporter_async)
