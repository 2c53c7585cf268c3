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

# The library the live image tests open with dlopen; built with a build-id like everything else.
add_library(crash_image_test_library SHARED testdata/image_test_library.cpp)
set_target_properties(crash_image_test_library PROPERTIES PREFIX "lib" OUTPUT_NAME "zvcrash_image_test")
target_link_options(crash_image_test_library PRIVATE -Wl,--build-id)

velmo_add_test(crash_image_list_test
  SOURCES zvcrash_async_image_list_test.cpp zvcrash_async_elf_test.cpp
  LIBS crashreporter_async_testing ${CMAKE_DL_LIBS}
  LABELS crash
  KIND unit)
if(TARGET crash_image_list_test)
  add_dependencies(crash_image_list_test crash_image_test_library)
  target_compile_definitions(crash_image_list_test PRIVATE ZVCRASH_IMAGE_TEST_LIBRARY="$<TARGET_FILE:crash_image_test_library>")
  # The executable's own functions are looked up through its dynamic symbols.
  set_target_properties(crash_image_list_test PROPERTIES ENABLE_EXPORTS ON)
endif()

velmo_add_test(crash_image_list_threads_test
  SOURCES zvcrash_async_image_list_threads_test.cpp
  LIBS crashreporter_async_testing
  LABELS crash
  KIND threads
  TIMEOUT 300)
