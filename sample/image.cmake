# The sample reader driver's kernel image, msdscsample.sys (included by target/CMakeLists.txt):
# its own sources and the image entry every kernel image of the project shares.
file(GLOB SAMPLE_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/sample/*.cpp)
add_executable(msdscsample ${SAMPLE_SOURCES} ${CMAKE_SOURCE_DIR}/target/image_entry.cpp)
set_target_properties(msdscsample PROPERTIES OUTPUT_NAME msdscsample SUFFIX ".sys")
msdsc_kernel_image(msdscsample)
