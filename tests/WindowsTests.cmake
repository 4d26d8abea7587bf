# The Windows builds run their tests under wine. GoogleTest is built from the sources Debian
# ships for exactly this (libgtest-dev's /usr/src/googletest), with the same compiler.
set(QUORNA_GOOGLETEST_SOURCE_DIR /usr/src/googletest CACHE PATH "GoogleTest sources")
set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
set(gtest_disable_pthreads ON CACHE BOOL "" FORCE)  # Windows' own threads, as on MinGW
add_subdirectory(${QUORNA_GOOGLETEST_SOURCE_DIR} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)

# Every test program starts through scripts/wine-run.sh with one wine prefix for the whole build
# folder; a 32-bit test on a host that cannot run 32-bit programs exits 77, reported as skipped.
if(CMAKE_SIZEOF_VOID_P EQUAL 4)
  set(QUORNA_WINE_BITS 32)
else()
  set(QUORNA_WINE_BITS 64)
endif()
set(QUORNA_WINE_SKIPPED 77)
set(CMAKE_CROSSCOMPILING_EMULATOR ${PROJECT_SOURCE_DIR}/scripts/wine-run.sh ${QUORNA_WINE_BITS}
  ${CMAKE_BINARY_DIR}/wine-prefix)

# Where this host cannot run them at all, the 32-bit test programs are not built by default;
# their tests still run, and report themselves skipped.
set(QUORNA_WINE_RUNNABLE TRUE)
if(QUORNA_WINE_BITS EQUAL 32)
  execute_process(COMMAND bash ${PROJECT_SOURCE_DIR}/scripts/host-runs-32bit.sh
    RESULT_VARIABLE QUORNA_HOST_RUNS_32BIT)
  if(NOT QUORNA_HOST_RUNS_32BIT EQUAL 0)
    set(QUORNA_WINE_RUNNABLE FALSE)
  endif()
endif()

# Called at the end of each folder of tests.
function(quorna_run_under_wine)
  get_property(tests DIRECTORY PROPERTY TESTS)
  set_tests_properties(${tests} PROPERTIES SKIP_RETURN_CODE ${QUORNA_WINE_SKIPPED} TIMEOUT 240)
  if(NOT QUORNA_WINE_RUNNABLE)
    get_property(targets DIRECTORY PROPERTY BUILDSYSTEM_TARGETS)
    set_target_properties(${targets} PROPERTIES EXCLUDE_FROM_ALL ON)
  endif()
endfunction()
