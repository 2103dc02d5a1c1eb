# Tests of the win32 build run its Windows programs under Wine, in one Wine
# prefix inside the build tree that the first test of a run makes (the
# fixture "wine"), without a display. A machine without Wine fails them.
set(BW_WINE_PREFIX ${CMAKE_BINARY_DIR}/wine-prefix)
set(BW_WINE_RUN ${PROJECT_SOURCE_DIR}/cmake/wine-run.sh)
add_test(NAME wine.prefix COMMAND bash ${BW_WINE_RUN} ${BW_WINE_PREFIX} --init)
set_tests_properties(wine.prefix PROPERTIES FIXTURES_SETUP wine TIMEOUT 300)

# A path of this machine as the programs under Wine name it (Wine's drive Z:
# is the root of the file system).
function(bw_windows_path out path)
  set(${out} "Z:${path}" PARENT_SCOPE)
endfunction()

# bw_add_wine_test(NAME <name> COMMAND <target> [args...])
function(bw_add_wine_test)
  cmake_parse_arguments(ARG "" "NAME" "COMMAND" ${ARGN})
  list(POP_FRONT ARG_COMMAND _program)
  add_test(NAME ${ARG_NAME}
           COMMAND bash ${BW_WINE_RUN} ${BW_WINE_PREFIX} $<TARGET_FILE:${_program}> ${ARG_COMMAND})
  set_tests_properties(${ARG_NAME} PROPERTIES FIXTURES_REQUIRED wine LABELS wine)
endfunction()
