# Cross build of the 64-bit side: the parts a 64-bit helper process needs and 64-bit effects
# for its tests, run under Wine in a win64 prefix.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR AMD64)
set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)
set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)

# Fully static: no libstdc++, libgcc or libwinpthread DLL at run time.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static")

set(PL_WINE_ARCH win64)
set(WINE_PREFIX_DIR "${CMAKE_BINARY_DIR}/wineprefix" CACHE PATH "Wine prefix the tests run in")
# The 64-bit loader itself: Debian's `wine` starts with the 32-bit one, which hands a 64-bit
# program on through a detour that now and then fails to start it.
set(CMAKE_CROSSCOMPILING_EMULATOR env WINEPREFIX=${WINE_PREFIX_DIR} WINEARCH=win64 WINEDEBUG=-all
    "WINEDLLOVERRIDES=mscoree,mshtml=" /usr/lib/wine/wine64)
