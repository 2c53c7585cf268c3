# Loaded images: the Mach-O and ELF readers, the image interface, the image list and its feeder.
target_sources(crashreporter_async PRIVATE
  zvcrash_async_macho.cpp
  zvcrash_async_elf.cpp
  zvcrash_async_image.cpp
  zvcrash_async_image_list.cpp
  zvcrash_async_image_feeder.cpp)

target_sources(crashreporter_async_testing PRIVATE MachOFixtureBuilderTesting.cpp)

velmo_add_test(crash_macho_test
  SOURCES zvcrash_async_macho_test.cpp
  LIBS crashreporter_async_testing
  LABELS crash
  KIND unit)
