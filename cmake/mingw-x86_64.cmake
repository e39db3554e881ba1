# Cross-compiling for 64-bit Windows with mingw-w64. The 64-bit build exists so the
# program and its tests can run under 64-bit Wine on a 64-bit-only Linux kernel.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
# The posix threading flavour: GoogleTest needs std::mutex, which the win32 flavour
# of this GCC lacks.
set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)
set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
# The wine64 wrapper would pick a 32-bit loader when one is installed; call the
# 64-bit loader directly.
set(CMAKE_CROSSCOMPILING_EMULATOR /usr/lib/wine/wine64)
