# The Windows package, made by the target build next to msdscbus.sys: the INF that installs it and
# the command-line tool msdscctl.exe. Included by target/CMakeLists.txt, so everything lands in the
# one output folder the driver image is written to.

# The INF's driver version is the one the driver reports, read from the driver's own source so
# that the two cannot drift apart.
file(STRINGS ${CMAKE_SOURCE_DIR}/driver/driver_entry.h MSDSC_VERSION_LINE
     REGEX "DRIVER_VERSION_STRING\\[\\] *= *\"[0-9.]+\"")
string(REGEX MATCH "[0-9]+\\.[0-9]+\\.[0-9]+\\.[0-9]+" MSDSC_DRIVER_VERSION "${MSDSC_VERSION_LINE}")
if(NOT MSDSC_DRIVER_VERSION)
  message(FATAL_ERROR "packaging: DRIVER_VERSION_STRING not found in driver/driver_entry.h")
endif()
# The date of this driver version; change it with the version.
set(MSDSC_DRIVER_DATE 12/07/2026)
configure_file(${CMAKE_SOURCE_DIR}/packaging/msdscbus.inf.in ${CMAKE_CURRENT_BINARY_DIR}/msdscbus.inf
               @ONLY NEWLINE_STYLE WIN32)

# The tool: a console program on the client library (msdscclient.dll, next to it), importing
# otherwise only DLLs that ship with Windows (the C and C++ run times of the compiler are linked in
# statically).
add_executable(msdscctl
  ${CMAKE_SOURCE_DIR}/tools/session/commands.cpp
  ${CMAKE_SOURCE_DIR}/tools/session/session.cpp
  ${CMAKE_SOURCE_DIR}/tools/windows/device_install.cpp
  ${CMAKE_SOURCE_DIR}/tools/windows/main.cpp)
target_include_directories(msdscctl PRIVATE ${CMAKE_SOURCE_DIR}/tools/session)
# The oldest x64 Windows (5.2), as for the driver: every call used exists there.
target_compile_definitions(msdscctl PRIVATE UNICODE _UNICODE _WIN32_WINNT=0x0502)
target_compile_options(msdscctl PRIVATE -Wall -Wextra $<$<NOT:$<CONFIG:Debug>>:-O2>)
target_link_options(msdscctl PRIVATE -municode -static -Wl,--subsystem,console $<$<NOT:$<CONFIG:Debug>>:-s>)
target_link_libraries(msdscctl PRIVATE msdscclient setupapi newdev)
