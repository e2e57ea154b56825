# Cross-builds the 32-bit Windows console program with Debian's
# g++-mingw-w64-i686; tests run under Wine in a prefix of the build's own.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR i686)

# The posix thread model: GoogleTest needs std::mutex, which the win32
# model of g++ 12 lacks.
set(CMAKE_C_COMPILER i686-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER i686-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER i686-w64-mingw32-windres)

set(CMAKE_FIND_ROOT_PATH /usr/i686-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Self-contained executables: the C++, GCC and thread runtimes linked in,
# so only the system's own DLLs are needed.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")

# Tests run under Wine, in a prefix the first run creates in the build
# directory; mono and gecko are never needed.
set(CMAKE_CROSSCOMPILING_EMULATOR
    env WINEPREFIX=${CMAKE_BINARY_DIR}/wine WINEDEBUG=-all WINEDLLOVERRIDES=mscoree,mshtml=
    sh ${CMAKE_CURRENT_LIST_DIR}/wine-run.sh)
