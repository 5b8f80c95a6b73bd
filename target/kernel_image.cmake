# msdsc_kernel_image(): the build of every x64 kernel image of the project (included by
# target/CMakeLists.txt).
set(MSDSC_TARGET_DIR ${CMAKE_CURRENT_LIST_DIR})
# What every x64 kernel image of the project is built with: the kit's headers, the oldest kernel's
# interface, the kernel code rules and a native image that imports only from the kernel. Also used
# for the sample reader driver (sample/image.cmake).
function(msdsc_kernel_image name)
  # The kernel headers first, so <ntddk.h>/<wdm.h> are the kit's; then the project's own headers.
  target_include_directories(${name} BEFORE PRIVATE ${MINGW_DDK_INCLUDE_DIR})
  target_include_directories(${name} PRIVATE ${CMAKE_SOURCE_DIR} ${CMAKE_SOURCE_DIR}/include)

  target_compile_definitions(${name} PRIVATE
    _AMD64_
    # The oldest x64 kernel: Windows Server 2003 SP1 / XP x64 (5.2). Nothing newer may be imported.
    _WIN32_WINNT=0x0502 NTDDI_VERSION=0x05020100
    # wdm.h defines these two itself; stop intrin.h's definitions from clashing with them.
    __INTRINSIC_DEFINED_InterlockedBitTestAndSet
    __INTRINSIC_DEFINED_InterlockedBitTestAndReset)

  target_compile_options(${name} PRIVATE
    ${DRIVER_KERNEL_FLAGS}
    -include ${MSDSC_TARGET_DIR}/kernel_compat.h
    -ffreestanding
    -fstack-protector-strong
    # Interrupts arrive on the current kernel stack: nothing below rsp is safe. The Windows x64
    # convention has no red zone; this keeps it so whatever the compiler's default.
    -mno-red-zone
    # The image is relocated anywhere in the kernel's address space: code must reach data
    # RIP-relative or through 64-bit relocations, never through a 32-bit absolute address.
    -mcmodel=small
    # Kernel images stay small: no -O3 unrolling or vectorising.
    $<$<NOT:$<CONFIG:Debug>>:-O2>)

  # The entry seeds the guard that every protected frame is checked against, so its own frame
  # must not be one of them.
  set_source_files_properties(${MSDSC_TARGET_DIR}/image_entry.cpp PROPERTIES COMPILE_OPTIONS "-fno-stack-protector")

  target_link_options(${name} PRIVATE
    -nostdlib -nostartfiles
    -Wl,--subsystem,native
    -Wl,--entry,MsdscImageEntry
    -Wl,--image-base,0x140000000
    -Wl,--major-os-version,5 -Wl,--minor-os-version,2
    -Wl,--major-subsystem-version,5 -Wl,--minor-subsystem-version,2
    -Wl,--dynamicbase -Wl,--nxcompat -Wl,--high-entropy-va
    # Imports are resolved only by the kernel's loader: no mingw auto-import or runtime
    # pseudo-relocation, which would need a user-mode startup routine to patch the image.
    -Wl,--disable-auto-import -Wl,--disable-runtime-pseudo-reloc
    -Wl,--gc-sections
    # GCC's image is stripped of its DWARF; clang's carries none (its symbols go to the PDB).
    $<$<AND:$<NOT:$<CONFIG:Debug>>,$<CXX_COMPILER_ID:GNU>>:-s>)
  target_link_libraries(${name} PRIVATE ntoskrnl hal)
endfunction()
