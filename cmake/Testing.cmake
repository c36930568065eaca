# Tests: GoogleTest from Debian's sources, built with the same toolchain as the code.
# Windows test programs run under Wine through cmake/wine-run.sh, CTest's emulator; tests are
# listed at ctest time (PRE_TEST) so that the build itself never starts Wine.
include(CTest)
if(NOT BUILD_TESTING)
  return()
endif()

if(NOT TARGET gtest)
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  set(BUILD_GMOCK ON CACHE BOOL "" FORCE)
  add_subdirectory(/usr/src/googletest "${CMAKE_BINARY_DIR}/googletest" EXCLUDE_FROM_ALL)
endif()

include(GoogleTest)

if(WIN32)
  set(WB_WINE_ROOT "${CMAKE_BINARY_DIR}/wine" CACHE PATH "Folder of the Wine session for tests")
  set(WB_WINE_RUN "${CMAKE_SOURCE_DIR}/cmake/wine-run.sh")
  set(CMAKE_CROSSCOMPILING_EMULATOR "env;WB_WINE_ROOT=${WB_WINE_ROOT};${WB_WINE_RUN}")
endif()

# wb_add_test(NAME name SOURCES ... LIBS ... [LABELS ...] [SERIAL] [TIMEOUT s] [LOCKS ...])
# One GoogleTest program; every test case becomes one CTest test. SERIAL runs its cases alone;
# LOCKS names resources (e.g. "simulator-endpoints") that its cases never share at one time.
function(wb_add_test)
  cmake_parse_arguments(T "SERIAL" "NAME;TIMEOUT" "SOURCES;LIBS;LABELS;LOCKS" ${ARGN})
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 120)
  endif()
  add_executable(${T_NAME} ${T_SOURCES})
  wb_strict(${T_NAME})
  target_link_libraries(${T_NAME} PRIVATE ${T_LIBS} GTest::gmock GTest::gtest_main)
  set(props TIMEOUT ${T_TIMEOUT})
  if(T_LABELS)
    list(APPEND props LABELS "${T_LABELS}")
  endif()
  if(T_SERIAL)
    list(APPEND props RUN_SERIAL TRUE)
  endif()
  if(T_LOCKS)
    list(APPEND props RESOURCE_LOCK "${T_LOCKS}")
  endif()
  gtest_discover_tests(${T_NAME}
    DISCOVERY_MODE PRE_TEST
    DISCOVERY_TIMEOUT 120
    PROPERTIES ${props})
endfunction()
