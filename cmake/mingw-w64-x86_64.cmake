# Cross build for 64-bit Windows with Debian's mingw-w64 (POSIX thread model,
# so that std::thread is there for the tests):
#   cmake -S . -B build-windows -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake
# Every executable is linked statically: nothing beside it but the system's
# DLLs. The top CMakeLists embeds the application manifest into each one.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(MINGW_TRIPLE x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${MINGW_TRIPLE}-windres)
set(CMAKE_AR ${MINGW_TRIPLE}-gcc-ar-posix CACHE FILEPATH "archiver")
set(CMAKE_RANLIB ${MINGW_TRIPLE}-gcc-ranlib-posix CACHE FILEPATH "ranlib")

set(CMAKE_FIND_ROOT_PATH /usr/${MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The C99 formatting of mingw-w64 (%zu, %lld, a terminated snprintf), not
# that of Microsoft's C library.
set(CMAKE_C_FLAGS_INIT "-D__USE_MINGW_ANSI_STDIO=1")
set(CMAKE_CXX_FLAGS_INIT "-D__USE_MINGW_ANSI_STDIO=1")

# Static run-time libraries (libstdc++, libgcc, winpthread). The stack
# reserve matches the 8 MiB a Linux process gets by default, so deep
# recursions over listing records behave alike on both platforms.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -Wl,--stack,8388608")

# Tests run under Wine (ctest and gtest discovery use it), in a Wine prefix
# of the build folder's own; the first start makes it. No debug channels,
# and no offer to install Mono or Gecko, which nothing here needs.
find_program(WINE_PROGRAM NAMES wine)
if(WINE_PROGRAM)
  set(CMAKE_CROSSCOMPILING_EMULATOR
      /usr/bin/env WINEPREFIX=${CMAKE_BINARY_DIR}/wineprefix WINEDEBUG=-all
      WINEDLLOVERRIDES=mscoree,mshtml= ${WINE_PROGRAM})
endif()
