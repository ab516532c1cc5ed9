# Cross-compiling for 64-bit Windows with Debian's MinGW-w64 (POSIX thread
# model). VELVORIA_WINDOWS_PREFIX is where SDL2 and libmpg123 for Windows are
# installed; tools/windows/build.sh builds them there.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)

# Seen again by the compiler checks.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES VELVORIA_WINDOWS_PREFIX)

set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32 ${VELVORIA_WINDOWS_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# pkg-config sees only the Windows libraries.
set(ENV{PKG_CONFIG_LIBDIR} ${VELVORIA_WINDOWS_PREFIX}/lib/pkgconfig)
set(ENV{PKG_CONFIG_PATH} "")

# The compiler's own runtime goes into the programs; no MinGW DLLs to ship.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static-libgcc -static-libstdc++")
