# Shared build settings and helpers for every target of the project.

add_library(velmo_settings INTERFACE)
target_compile_options(velmo_settings INTERFACE -Wall -Wextra -Wno-unused-parameter)
if(VELMO_WERROR)
  target_compile_options(velmo_settings INTERFACE -Werror)
endif()
if(VELMO_SANITIZE STREQUAL "address")
  target_compile_options(velmo_settings INTERFACE -fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
  target_link_options(velmo_settings INTERFACE -fsanitize=address,undefined)
elseif(VELMO_SANITIZE STREQUAL "thread")
  target_compile_options(velmo_settings INTERFACE -fsanitize=thread -fno-omit-frame-pointer)
  target_link_options(velmo_settings INTERFACE -fsanitize=thread)
elseif(VELMO_SANITIZE STREQUAL "fuzzer")
  # Coverage for libFuzzer everywhere; only the fuzz targets link its driver.
  target_compile_options(velmo_settings INTERFACE -fsanitize=fuzzer-no-link,address,undefined -fno-omit-frame-pointer
                                                  -fno-sanitize-recover=undefined)
  target_link_options(velmo_settings INTERFACE -fsanitize=address,undefined)
elseif(NOT VELMO_SANITIZE STREQUAL "")
  message(FATAL_ERROR "VELMO_SANITIZE must be empty, address, thread or fuzzer")
endif()

if(VELMO_SANITIZE STREQUAL "fuzzer")
  add_custom_target(velmo_fuzzers)
  set(VELMO_FUZZ_SECONDS 20 CACHE STRING "Seconds of fresh inputs each fuzz test adds to its corpus run")
endif()
target_include_directories(velmo_settings INTERFACE ${PROJECT_SOURCE_DIR})

# velmo_add_library(name SOURCES ... [PUBLIC_LIBS ...] [PRIVATE_LIBS ...])
function(velmo_add_library name)
  cmake_parse_arguments(L "" "" "SOURCES;PUBLIC_LIBS;PRIVATE_LIBS" ${ARGN})
  add_library(${name} STATIC ${L_SOURCES})
  target_link_libraries(${name} PUBLIC velmo_settings ${L_PUBLIC_LIBS} PRIVATE ${L_PRIVATE_LIBS})
endfunction()

# velmo_add_test(name SOURCES ... LIBS ... LABELS area... KIND kind... [TIMEOUT seconds] [ENVIRONMENT ...])
# One executable per call; every GoogleTest case becomes a CTest test labelled with its areas
# (companion, voice, analytics, ...) and its kinds, which say what it needs to run:
#   unit     nothing outside the process
#   x11      a private X server (Xvfb)
#   pulse    a private PulseAudio server
#   network  loopback servers or network namespaces
#   threads  concurrency, also run under ThreadSanitizer
#   e2e      several subsystems or processes together
set(VELMO_TEST_KINDS unit x11 pulse network threads e2e)
function(velmo_add_test name)
  if(NOT VELMO_BUILD_TESTS)
    return()
  endif()
  cmake_parse_arguments(T "" "TIMEOUT" "SOURCES;LIBS;LABELS;KIND;ENVIRONMENT" ${ARGN})
  if(NOT T_LABELS OR NOT T_KIND)
    message(FATAL_ERROR "velmo_add_test(${name}): give its area in LABELS and what it needs in KIND")
  endif()
  foreach(kind IN LISTS T_KIND)
    if(NOT kind IN_LIST VELMO_TEST_KINDS)
      message(FATAL_ERROR "velmo_add_test(${name}): KIND ${kind} is not one of ${VELMO_TEST_KINDS}")
    endif()
    if(kind IN_LIST T_LABELS)
      message(FATAL_ERROR "velmo_add_test(${name}): ${kind} is a kind, not an area")
    endif()
  endforeach()
  list(APPEND T_LABELS ${T_KIND})
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 120)
  endif()
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE velmo_settings ${T_LIBS} velmo_base_testing GTest::gmock GTest::gtest_main)
  gtest_discover_tests(${name}
    DISCOVERY_MODE PRE_TEST
    DISCOVERY_TIMEOUT 60
    TEST_LIST ${name}_TESTS
    PROPERTIES TIMEOUT ${T_TIMEOUT})
  # Labels and environment are lists, which the discovery's PROPERTIES cannot carry intact:
  # a script that CTest includes after the discovered tests sets them.
  set(script "${CMAKE_CURRENT_BINARY_DIR}/${name}_properties.cmake")
  set(body "if(${name}_TESTS)\n  set_tests_properties(\${${name}_TESTS} PROPERTIES LABELS \"${T_LABELS}\")\n")
  # A home of the test's own, so nothing a test leaves (defaults, analytics storage, sound-server
  # state) lands in the home of whoever runs the tests.
  set(home "${CMAKE_CURRENT_BINARY_DIR}/${name}.home")
  list(PREPEND T_ENVIRONMENT "HOME=${home}" "XDG_CONFIG_HOME=${home}/config" "XDG_DATA_HOME=${home}/data"
       "XDG_CACHE_HOME=${home}/cache")
  file(MAKE_DIRECTORY "${home}")
  if(T_ENVIRONMENT)
    string(APPEND body "  set_tests_properties(\${${name}_TESTS} PROPERTIES ENVIRONMENT \"${T_ENVIRONMENT}\")\n")
  endif()
  string(APPEND body "endif()\n")
  file(WRITE "${script}" "${body}")
  set_property(DIRECTORY APPEND PROPERTY TEST_INCLUDE_FILES "${script}")
endfunction()

# velmo_add_benchmark(SOURCES ... LIBS ... [DEPENDS target...]): collected into the one
# velmo_benchmarks executable; DEPENDS names targets that make files the benchmarks read.
function(velmo_add_benchmark)
  if(NOT VELMO_BUILD_BENCHMARKS)
    return()
  endif()
  cmake_parse_arguments(B "" "" "SOURCES;LIBS;DEPENDS" ${ARGN})
  foreach(src IN LISTS B_SOURCES)
    get_filename_component(abs ${src} ABSOLUTE)
    set_property(GLOBAL APPEND PROPERTY VELMO_BENCHMARK_SOURCES ${abs})
  endforeach()
  set_property(GLOBAL APPEND PROPERTY VELMO_BENCHMARK_LIBS ${B_LIBS})
  set_property(GLOBAL APPEND PROPERTY VELMO_BENCHMARK_DEPENDS ${B_DEPENDS})
endfunction()

function(velmo_finish_benchmarks)
  if(NOT VELMO_BUILD_BENCHMARKS)
    return()
  endif()
  get_property(srcs GLOBAL PROPERTY VELMO_BENCHMARK_SOURCES)
  get_property(libs GLOBAL PROPERTY VELMO_BENCHMARK_LIBS)
  if(libs)
    list(REMOVE_DUPLICATES libs)
  endif()
  add_executable(velmo_benchmarks ${srcs})
  target_link_libraries(velmo_benchmarks PRIVATE velmo_settings ${libs} velmo_base_testing benchmark::benchmark benchmark::benchmark_main)
  get_property(depends GLOBAL PROPERTY VELMO_BENCHMARK_DEPENDS)
  if(depends)
    add_dependencies(velmo_benchmarks ${depends})
  endif()
endfunction()

# velmo_add_fuzzer(name SOURCES ... LIBS ... CORPUS dir [AREA area]): a libFuzzer target, built
# by the fuzz preset only (part of velmo_fuzzers), and a CTest test labelled "<area> fuzz" that
# runs every input of the corpus and then VELMO_FUZZ_SECONDS of fresh ones. New inputs go to a
# folder in the build tree; the corpus in the source tree is only read.
function(velmo_add_fuzzer name)
  if(NOT VELMO_SANITIZE STREQUAL "fuzzer")
    return()
  endif()
  cmake_parse_arguments(F "" "CORPUS;AREA" "SOURCES;LIBS" ${ARGN})
  if(NOT F_AREA)
    get_filename_component(F_AREA ${CMAKE_CURRENT_SOURCE_DIR} NAME)
  endif()
  get_filename_component(corpus ${F_CORPUS} ABSOLUTE)
  add_executable(${name} ${F_SOURCES})
  target_link_libraries(${name} PRIVATE velmo_settings ${F_LIBS} velmo_base_testing)
  target_link_options(${name} PRIVATE -fsanitize=fuzzer)
  add_dependencies(velmo_fuzzers ${name})
  set(fresh "${CMAKE_CURRENT_BINARY_DIR}/${name}_fresh")
  file(MAKE_DIRECTORY ${fresh})
  add_test(NAME ${name} COMMAND ${name} -max_total_time=${VELMO_FUZZ_SECONDS} -rss_limit_mb=2048 -timeout=10
                                -print_final_stats=1 ${fresh} ${corpus})
  set_tests_properties(${name} PROPERTIES LABELS "${F_AREA};fuzz" TIMEOUT 300)
endfunction()
