# Cross toolchain for the target build: mingw-w64 for x86-64 Windows (Debian's
# g++-mingw-w64-x86-64 and binutils-mingw-w64-x86-64, win32 thread model).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR AMD64)

set(MINGW_TRIPLET x86_64-w64-mingw32)
# The win32 thread-model compilers are the ones whose runtime needs no POSIX threads layer;
# fall back to the plain names on systems that install only one flavour.
find_program(CMAKE_C_COMPILER NAMES ${MINGW_TRIPLET}-gcc-win32 ${MINGW_TRIPLET}-gcc REQUIRED)
find_program(CMAKE_CXX_COMPILER NAMES ${MINGW_TRIPLET}-g++-win32 ${MINGW_TRIPLET}-g++ REQUIRED)
find_program(CMAKE_RC_COMPILER NAMES ${MINGW_TRIPLET}-windres)
find_program(CMAKE_OBJDUMP NAMES ${MINGW_TRIPLET}-objdump)

set(MINGW_SYSROOT /usr/${MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH ${MINGW_SYSROOT})
# Programs run on the build machine; headers and libraries come only from the Windows sysroot.
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The kernel headers of the Windows Driver Kit, as mingw-w64 ships them.
set(MINGW_DDK_INCLUDE_DIR ${MINGW_SYSROOT}/include/ddk)
