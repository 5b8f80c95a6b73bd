# The kernel image msdscbus.sys (included by target/CMakeLists.txt): the driver sources and the
# image entry, built by GCC or, with its PDB, by clang and lld.
add_executable(msdscbus ${DRIVER_SOURCES} ${CMAKE_CURRENT_LIST_DIR}/image_entry.cpp)
set_target_properties(msdscbus PROPERTIES OUTPUT_NAME msdscbus SUFFIX ".sys")
msdsc_kernel_image(msdscbus)

if(CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
  # CodeView into a PDB beside the image; the image keeps only the debug directory naming it,
  # by file name alone so that no path of this machine ships.
  # mingw-w64's wdm.h sets its own packing in places, which clang reports in every file.
  target_compile_options(msdscbus PRIVATE -gcodeview -g -Wno-pragma-pack)
  target_link_options(msdscbus PRIVATE -Wl,--pdb=$<TARGET_FILE_DIR:msdscbus>/msdscbus.pdb
                      -Wl,-Xlink=-pdbaltpath:msdscbus.pdb)
endif()
