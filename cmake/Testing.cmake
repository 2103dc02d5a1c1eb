# GoogleTest is compiled from Debian's source tree so that every build
# (including -m32 and the sanitizer builds) gets a matching library.
if(BW_BUILD STREQUAL "win32")
  # MinGW's win32 thread model has no std::mutex; GoogleTest's customisation
  # header gives it what it builds on one (tests/support/gtest_win32). It
  # must come first on the include path of GoogleTest and of every test.
  include_directories(BEFORE ${PROJECT_SOURCE_DIR}/tests/support/gtest_win32)
endif()
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL SYSTEM)

# bw_add_test(<name> SOURCES <files...> LIBS <targets...>)
# One test program, registered as one CTest test.
function(bw_add_test name)
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE ${ARG_LIBS} GTest::gtest_main)
  add_test(NAME ${name} COMMAND ${name})
  set(env "")
  if(BW_SANITIZE AND BW_EMULATED)
    # LeakSanitizer cannot stop the world under user-mode emulation; leaks
    # are still caught by the native sanitizer build and the host accounting.
    list(APPEND env "ASAN_OPTIONS=detect_leaks=0")
  endif()
  if(env)
    set_tests_properties(${name} PROPERTIES ENVIRONMENT "${env}")
  endif()
endfunction()
