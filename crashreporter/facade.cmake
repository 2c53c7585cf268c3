# The reporter's configuration and facade, and the crashes that prove it end to end.
target_sources(crashreporter PRIVATE
  ${CMAKE_CURRENT_LIST_DIR}/ZVCrashReporterConfig.cpp
  ${CMAKE_CURRENT_LIST_DIR}/ZVCrashReporter.cpp)
target_link_libraries(crashreporter PUBLIC velmo_foundation)

velmo_add_test(crash_reporter_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/ZVCrashReporterConfig_test.cpp ${CMAKE_CURRENT_LIST_DIR}/ZVCrashReporter_test.cpp
  LIBS crashreporter_testing velmo_base_testing
  LABELS crash
  KIND unit)

velmo_add_test(crash_reporter_e2e_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/ZVCrashReporter_e2e_test.cpp
  LIBS crashreporter_testing ${CMAKE_DL_LIBS}
  LABELS crash
  KIND threads e2e
  TIMEOUT 600)
if(TARGET crash_reporter_e2e_test)
  add_dependencies(crash_reporter_e2e_test velmo-crashlog)
  target_compile_definitions(crash_reporter_e2e_test PRIVATE VELMO_CRASHLOG="$<TARGET_FILE:velmo-crashlog>")
  # The crashing functions are found by name through the executable's dynamic symbols.
  set_target_properties(crash_reporter_e2e_test PROPERTIES ENABLE_EXPORTS ON)
endif()

# The facade's crash-time step, under the allocation check of the crash layer's test program.
if(TARGET crash_noalloc_test)
  target_sources(crash_noalloc_test PRIVATE ${CMAKE_CURRENT_LIST_DIR}/ZVCrashReporter_noalloc_test.cpp)
  target_link_libraries(crash_noalloc_test PRIVATE crashreporter_testing)
endif()
