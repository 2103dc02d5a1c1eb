# The runner's command line with bad input: one line on stderr naming the
# file, the line and what was expected, the exit code, and no run.json. Files
# of the wrong kind (a folder, a FIFO, a device) or size are refused without
# a hang or an unbounded read.
#   -DRUNNER= -DEMULATOR= -DPLUGIN= -DSETTINGS= -DWORK=
separate_arguments(_emulator UNIX_COMMAND "${EMULATOR}")
file(REMOVE_RECURSE ${WORK})
file(MAKE_DIRECTORY ${WORK}/out ${WORK}/full)
file(WRITE ${WORK}/full/keep "")
file(WRITE ${WORK}/ghost.scn "car player procedural\nwait 1\nstrike van at 0 2 0 normal 0 -1 0 impulse 900\nwait 1\n")
# A car file named from the scenario's folder that is no car file.
file(WRITE ${WORK}/mesh.scn "# a real car\ncar player mesh ghost.scn\nwait 1\n")
file(WRITE ${WORK}/ok.scn "car player procedural\nwait 1\n")
file(WRITE ${WORK}/folder-car.scn "car player mesh full\nwait 1\n")
file(WRITE ${WORK}/endless-car.scn "car player mesh /dev/zero\nwait 1\n")
string(REPEAT "#" 1048577 _comment)
file(WRITE ${WORK}/large.scn "${_comment}\n")
execute_process(COMMAND mkfifo ${WORK}/fifo.scn RESULT_VARIABLE _fifo)

function(expect code line)
  execute_process(COMMAND ${_emulator} ${RUNNER} ${ARGN} RESULT_VARIABLE _rc ERROR_VARIABLE _err)
  if(NOT _rc EQUAL code OR NOT _err STREQUAL "${line}\n")
    message(FATAL_ERROR "${ARGN}\nexpected exit ${code} and '${line}'\ngot exit ${_rc} and '${_err}'")
  endif()
  if(EXISTS ${WORK}/out/run.json)
    message(FATAL_ERROR "${ARGN}: a run.json was left")
  endif()
endfunction()

set(_so --so ${PLUGIN})
expect(2 "${WORK}/none.scn: expected a readable scenario file"
       --scenario ${WORK}/none.scn --settings ${SETTINGS} --out ${WORK}/out ${_so})
expect(2 "${WORK}/ghost.scn:3: expected a car declared above, not 'van'"
       --scenario ${WORK}/ghost.scn --settings ${SETTINGS} --out ${WORK}/out ${_so})
expect(2 "${WORK}/mesh.scn:2: expected a car file (*.bwcar, from bw_carimport): ${WORK}/ghost.scn: not a car file"
       --scenario ${WORK}/mesh.scn --settings ${SETTINGS} --out ${WORK}/out ${_so})
expect(2 "${WORK}/none.ini: expected a readable settings file"
       --scenario ${WORK}/ok.scn --settings ${WORK}/none.ini --out ${WORK}/out ${_so})
expect(2 "${WORK}/full: expected an existing empty folder"
       --scenario ${WORK}/ok.scn --settings ${SETTINGS} --out ${WORK}/full ${_so})
expect(2 "${WORK}/none.so: expected a readable plug-in binary"
       --scenario ${WORK}/ok.scn --settings ${SETTINGS} --out ${WORK}/out --so ${WORK}/none.so)
expect(2 "${WORK}/none.asi: expected a readable plug-in binary"
       --scenario ${WORK}/ok.scn --settings ${SETTINGS} --out ${WORK}/out --dll ${WORK}/none.asi)
foreach(_scenario full fifo.scn large.scn)
  set(_kind "a folder")
  if(_scenario STREQUAL "fifo.scn")
    set(_kind "a FIFO")
  elseif(_scenario STREQUAL "large.scn")
    set(_kind "larger than 1 MB")
  endif()
  expect(2 "${WORK}/${_scenario}: expected a scenario file; it is ${_kind}"
         --scenario ${WORK}/${_scenario} --settings ${SETTINGS} --out ${WORK}/out ${_so})
endforeach()
expect(2 "/dev/zero: expected a scenario file; it is a device"
       --scenario /dev/zero --settings ${SETTINGS} --out ${WORK}/out ${_so})
expect(2 "${WORK}/folder-car.scn:1: expected a car file (*.bwcar, from bw_carimport): ${WORK}/full is a folder"
       --scenario ${WORK}/folder-car.scn --settings ${SETTINGS} --out ${WORK}/out ${_so})
expect(2 "${WORK}/endless-car.scn:1: expected a car file (*.bwcar, from bw_carimport): /dev/zero is a device"
       --scenario ${WORK}/endless-car.scn --settings ${SETTINGS} --out ${WORK}/out ${_so})
expect(2 "${WORK}/full: expected a settings file; it is a folder"
       --scenario ${WORK}/ok.scn --settings ${WORK}/full --out ${WORK}/out ${_so})
expect(2 "${WORK}/full: expected a plug-in binary; it is a folder"
       --scenario ${WORK}/ok.scn --settings ${SETTINGS} --out ${WORK}/out --so ${WORK}/full)
expect(2 "bwlab-run: expected --scenario FILE --settings INI --out DIR (--so PATH | --dll PATH)"
       --scenario ${WORK}/ok.scn --settings ${SETTINGS} --out ${WORK}/out --so ${PLUGIN} --dll ${PLUGIN})
