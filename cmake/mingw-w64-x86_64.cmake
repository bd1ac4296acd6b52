# Cross build for 64-bit Windows with Debian's mingw-w64 (the posix-threads
# compilers, for std::thread), the programs run under wine.
#   cmake -S . -B build-windows -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(VIX_MINGW_TRIPLE x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${VIX_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${VIX_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${VIX_MINGW_TRIPLE}-windres)

# Libraries and headers of the target (zlib from libz-mingw-w64-dev) come
# from the mingw root only; programs of the build machine from the host.
set(CMAKE_FIND_ROOT_PATH /usr/${VIX_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Self-contained executables: the C++ runtime, winpthreads and zlib linked
# in, so that wine needs no DLLs of the cross compiler.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(ZLIB_USE_STATIC_LIBS ON)
# Windows Vista and later: WSAPoll, inet_pton, the condition variables.
add_compile_definitions(_WIN32_WINNT=0x0601 WIN32_LEAN_AND_MEAN NOMINMAX)

# ctest (and GoogleTest's discovery) start the test programs through wine.
find_program(VIX_WINE NAMES wine64 wine PATHS /usr/lib/wine)
if(VIX_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${VIX_WINE})
endif()
