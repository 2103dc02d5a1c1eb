# Writes the sample settings file from the rows of settings_table.h.
# cmake -DTABLE=<settings_table.h> -DOUTPUT=<bucklewright.ini> -P write_sample_ini.cmake
cmake_policy(VERSION 3.25)
if(NOT TABLE OR NOT OUTPUT)
  message(FATAL_ERROR "usage: cmake -DTABLE=... -DOUTPUT=... -P write_sample_ini.cmake")
endif()
include(${CMAKE_CURRENT_LIST_DIR}/settings_rows.cmake)
bw_read_setting_rows("${TABLE}")

foreach(section IN LISTS setting_sections)
  set(body_${section} "")
endforeach()
math(EXPR last "${setting_count} - 1")
foreach(i RANGE ${last})
  set(section "${setting_${i}_section}")
  string(APPEND body_${section}
    "; ${setting_${i}_description} (default ${setting_${i}_default}, range ${setting_${i}_range})\n"
    "${setting_${i}_key}=${setting_${i}_default}\n")
endforeach()

set(text "; Bucklewright settings. Keep this file beside bucklewright.asi.\n")
string(APPEND text "; Switches take 1 or 0, or true or false, yes or no, on or off. A missing key\n")
string(APPEND text "; or a value that is not a number uses its default; a number outside its\n")
string(APPEND text "; range, negative ones included, is moved to the nearest end of it, and a\n")
string(APPEND text "; setting of whole numbers drops a fraction. Game units are about a metre.\n")
foreach(section IN LISTS setting_sections)
  string(APPEND text "\n[${section}]\n${body_${section}}")
endforeach()
bw_write_crlf("${OUTPUT}" "${text}")
