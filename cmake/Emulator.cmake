# A machine without 32-bit execution support runs the linux32 test programs
# through qemu's user-mode emulator; an ordinary Linux box runs them itself.
set(_probe_dir ${CMAKE_BINARY_DIR}/emulator-probe)
file(WRITE ${_probe_dir}/probe.c "int main(void) { return 0; }\n")
try_compile(_probe_built ${_probe_dir}/build ${_probe_dir}/probe.c
            COPY_FILE ${_probe_dir}/probe)
set(_probe_result 1)
if(_probe_built)
  execute_process(COMMAND ${_probe_dir}/probe RESULT_VARIABLE _probe_result
                  OUTPUT_QUIET ERROR_QUIET)
endif()
if(_probe_result STREQUAL "0")
  set(BW_EMULATED OFF CACHE INTERNAL "")
else()
  find_program(BW_QEMU_I386 NAMES qemu-i386-static qemu-i386 REQUIRED)
  # Reserve 3 GiB of guest address space: without it qemu places the stack
  # just under 1 GiB, AddressSanitizer sizes its view of memory from that,
  # and the first heap region mapped above it aborts the sanitizer build.
  set(CMAKE_CROSSCOMPILING_EMULATOR "${BW_QEMU_I386};-R;0xC0000000" CACHE STRING "" FORCE)
  set(BW_EMULATED ON CACHE INTERNAL "")
  message(STATUS "32-bit programs run through ${BW_QEMU_I386}")
endif()
