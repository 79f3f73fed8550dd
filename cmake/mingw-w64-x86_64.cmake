# Cross-compiling for 64-bit Windows with Debian's MinGW-w64 (g++-mingw-w64-x86-64-posix: the
# POSIX thread model, which std::thread needs).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(TORVANE_MINGW x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${TORVANE_MINGW}-gcc-posix)
set(CMAKE_CXX_COMPILER ${TORVANE_MINGW}-g++-posix)
set(CMAKE_RC_COMPILER ${TORVANE_MINGW}-windres)

# Debian's MinGW libraries, and those scripts/build-windows-deps.sh builds (TORVANE_WINDOWS_PREFIX).
set(CMAKE_FIND_ROOT_PATH /usr/${TORVANE_MINGW} ${TORVANE_WINDOWS_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# 64-bit file offsets in the C library (MinGW's off_t is 32 bits otherwise), C99 printf formats,
# and Windows 7 calls and later.
add_compile_definitions(_FILE_OFFSET_BITS=64 __USE_MINGW_ANSI_STDIO=1 _WIN32_WINNT=0x0601
                        UNICODE _UNICODE)
# The programs carry their runtime: no libgcc, libstdc++ or winpthread DLL beside them.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
# Release programs ship without their symbol tables (the window would be 40% larger).
set(CMAKE_EXE_LINKER_FLAGS_RELEASE_INIT "-s")
set(CMAKE_SHARED_LINKER_FLAGS_RELEASE_INIT "-s")

# Tests run the programs under Wine.
set(CMAKE_CROSSCOMPILING_EMULATOR wine)
