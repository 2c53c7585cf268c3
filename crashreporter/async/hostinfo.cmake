# Host and process facts: read when the reporter is enabled, used by the report writer.
target_sources(crashreporter_async PRIVATE
  ${CMAKE_CURRENT_LIST_DIR}/zvcrash_sysctl.cpp
  ${CMAKE_CURRENT_LIST_DIR}/ZVCrashHostInfo.cpp
  ${CMAKE_CURRENT_LIST_DIR}/ZVCrashProcessInfo.cpp)

velmo_add_test(crash_hostinfo_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/zvcrash_sysctl_test.cpp ${CMAKE_CURRENT_LIST_DIR}/ZVCrashHostInfo_test.cpp
          ${CMAKE_CURRENT_LIST_DIR}/ZVCrashProcessInfo_test.cpp
  LIBS crashreporter_async
  LABELS crash
  KIND unit)

if(COMMAND velmo_add_fuzzer)
  velmo_add_fuzzer(crash_processinfo_fuzz SOURCES ${CMAKE_CURRENT_LIST_DIR}/ZVCrashProcessInfo_fuzz.cpp LIBS crashreporter_async
                   CORPUS ${CMAKE_CURRENT_LIST_DIR}/fuzz/processinfo AREA crash)
endif()
