# Writes the player's readme from its template and the rows of the settings
# table: one line per setting, by section, with its default.
# cmake -DTABLE=<settings_table.h> -DTEMPLATE=<readme.txt.in> -DVERSION=<x.y.z>
#       -DOUTPUT=<readme.txt> -P write_readme.cmake
cmake_policy(VERSION 3.25)
if(NOT TABLE OR NOT TEMPLATE OR NOT VERSION OR NOT OUTPUT)
  message(FATAL_ERROR "usage: cmake -DTABLE=... -DTEMPLATE=... -DVERSION=... -DOUTPUT=... -P write_readme.cmake")
endif()
include(${CMAKE_CURRENT_LIST_DIR}/../src/plugin/settings_rows.cmake)
bw_read_setting_rows("${TABLE}")

foreach(section IN LISTS setting_sections)
  set(body_${section} "")
endforeach()
math(EXPR last "${setting_count} - 1")
foreach(i RANGE ${last})
  set(section "${setting_${i}_section}")
  string(APPEND body_${section}
    "  ${setting_${i}_key} (default ${setting_${i}_default}): ${setting_${i}_description}\n")
endforeach()
set(SETTINGS "")
foreach(section IN LISTS setting_sections)
  string(APPEND SETTINGS "[${section}]\n${body_${section}}\n")
endforeach()
string(STRIP "${SETTINGS}" SETTINGS)

string(LENGTH "Bucklewright ${VERSION}" title_length)
string(REPEAT "=" ${title_length} TITLE_RULE)

file(READ "${TEMPLATE}" text)
string(CONFIGURE "${text}" text @ONLY)
bw_write_crlf("${OUTPUT}" "${text}")
