# Symbolication: symbol tables and the class-metadata parser.
target_sources(crashreporter_async PRIVATE
  zvcrash_async_objc.cpp
  zvcrash_async_symbol.cpp)
target_sources(crashreporter_async_testing PRIVATE
  ClassMetadataTesting.cpp)
