# Cross-build for 64-bit Windows with Debian's MinGW-w64 (g++-mingw-w64-x86-64), run here under
# Wine. Every executable comes out self-contained: the C and C++ runtimes are linked statically,
# so only system DLLs are imported.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(VELLICOR_MINGW_PREFIX "x86_64-w64-mingw32" CACHE STRING "MinGW-w64 tool prefix")
# The POSIX thread model: GoogleTest needs std::mutex, which GCC 12's win32 model lacks. Its
# winpthreads is linked in statically like the rest of the runtime.
set(CMAKE_C_COMPILER "${VELLICOR_MINGW_PREFIX}-gcc-posix")
set(CMAKE_CXX_COMPILER "${VELLICOR_MINGW_PREFIX}-g++-posix")
set(CMAKE_RC_COMPILER "${VELLICOR_MINGW_PREFIX}-windres")

set(CMAKE_FIND_ROOT_PATH "/usr/${VELLICOR_MINGW_PREFIX}")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# PCRE2's compiler recurses once per nested parenthesis (up to the program's 500, a few hundred
# KiB), close to what the default 1 MiB main-thread stack leaves; 16 MiB gives the same headroom
# as Linux.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -Wl,--stack,16777216")

# Tests and test discovery run the built programs through Wine, in a prefix of this build's own.
set(CMAKE_CROSSCOMPILING_EMULATOR "${CMAKE_CURRENT_LIST_DIR}/wine-run.sh;${CMAKE_BINARY_DIR}/wine-prefix")
