# Flags shared by every target of every build.
add_compile_options(-Wall -Wextra)
# The core is specified in 32-bit float arithmetic: never fuse multiply-adds,
# and on 32-bit x86 compute in SSE registers, not the x87 stack, whose excess
# precision would change results between builds.
add_compile_options(-ffp-contract=off)
if(BW_BUILD STREQUAL "win32" OR BW_BUILD STREQUAL "linux32")
  add_compile_options(-msse2 -mfpmath=sse)
  # The game and the system call our detours and handlers with a stack that is
  # only 4-byte aligned; realign where SSE spills need 16 bytes.
  add_compile_options(-mstackrealign)
endif()
if(BW_BUILD STREQUAL "linux32")
  # 64-bit file offsets and inode numbers: without them a 32-bit readdir or
  # stat fails with EOVERFLOW on file systems with large directory cookies.
  add_compile_definitions(_FILE_OFFSET_BITS=64)
endif()
if(BW_SANITIZE)
  add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=undefined
                      -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
endif()
if(BW_BUILD STREQUAL "win32")
  # The shipped DLL: debug information for the separate symbols file (-g never
  # changes the generated code), and no absolute build paths in either file, so
  # that the same sources give the same bytes in any folder. The build folder's
  # map comes last so that it wins when the build sits inside the sources.
  add_compile_options(-g -ffile-prefix-map=${PROJECT_SOURCE_DIR}/=
                      -ffile-prefix-map=${CMAKE_BINARY_DIR}=.)
endif()
