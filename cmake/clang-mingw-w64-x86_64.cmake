# Cross toolchain for the kernel image alone (target/CMakeLists.txt builds it with this in a build
# of its own): clang for x86-64 Windows over mingw-w64's headers and import libraries, linked by
# lld, which writes the image's PDB. The image links no run time, so nothing of GCC's is needed.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR AMD64)

set(MINGW_TRIPLET x86_64-w64-mingw32)
find_program(CMAKE_C_COMPILER NAMES clang REQUIRED)
find_program(CMAKE_CXX_COMPILER NAMES clang++ REQUIRED)
set(CMAKE_C_COMPILER_TARGET ${MINGW_TRIPLET})
set(CMAKE_CXX_COMPILER_TARGET ${MINGW_TRIPLET})
set(CMAKE_EXE_LINKER_FLAGS_INIT "-fuse-ld=lld")
find_program(CMAKE_OBJDUMP NAMES ${MINGW_TRIPLET}-objdump)
# The compiler checks would link a user-mode program, which needs GCC's libgcc; clang cannot find
# Debian's (its directory is named 12-win32, not a version), and the image never uses it.
set(CMAKE_TRY_COMPILE_TARGET_TYPE STATIC_LIBRARY)

set(MINGW_SYSROOT /usr/${MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH ${MINGW_SYSROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(MINGW_DDK_INCLUDE_DIR ${MINGW_SYSROOT}/include/ddk)
