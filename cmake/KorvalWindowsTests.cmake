# The test suites as Windows programs, in a mingw-w64 cross build (included by tests/CMakeLists.txt).
#
# GoogleTest is built from the sources Debian's googletest package installs, with the same cross
# compiler. Every test program runs under Wine: CMAKE_CROSSCOMPILING_EMULATOR (set by the top-level
# CMakeLists.txt) puts scripts/wine-run.sh in front of each test command, with the build's own Wine
# prefix. Run the suites with scripts/wine-tests.sh (make test-windows), which keeps one wineserver up
# for the whole run.
set(KORVAL_GOOGLETEST_SOURCE /usr/src/googletest CACHE PATH "GoogleTest sources for cross builds")
if(NOT EXISTS ${KORVAL_GOOGLETEST_SOURCE}/CMakeLists.txt)
  message(FATAL_ERROR "No GoogleTest sources in ${KORVAL_GOOGLETEST_SOURCE} (Debian package googletest)")
endif()
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
add_subdirectory(${KORVAL_GOOGLETEST_SOURCE} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL SYSTEM)
# GoogleTest's own sources are not held to our warning flags.
target_compile_options(gtest PRIVATE -w)
target_compile_options(gtest_main PRIVATE -w)

# Each suite is one test program run whole: a Wine process per test case would cost seconds each.
set(KORVAL_TESTS_PER_PROGRAM ON)
