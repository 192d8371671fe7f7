# Cross toolchain for the Windows target build: Debian's mingw-w64 (x86_64,
# win32 threading) and its real DDK and Win32 headers. Used by the `windows`
# preset; nothing of the host's include or library paths is searched.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(M4350_MINGW_TRIPLET x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${M4350_MINGW_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${M4350_MINGW_TRIPLET}-g++)
set(CMAKE_RC_COMPILER ${M4350_MINGW_TRIPLET}-windres)
set(CMAKE_AR ${M4350_MINGW_TRIPLET}-ar CACHE FILEPATH "")
set(CMAKE_RANLIB ${M4350_MINGW_TRIPLET}-ranlib CACHE FILEPATH "")

set(CMAKE_FIND_ROOT_PATH /usr/${M4350_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The top-level CMakeLists.txt builds only the target binaries when this is on.
set(M4350_TARGET_WINDOWS ON CACHE BOOL "Build the Windows target binaries" FORCE)
