# msdscclient.dll, its import library libmsdscclient.dll.a and msdscclient.h, for the target build:
# the C surface over DeviceIoControl, cfgmgr32 and SetupAPI. Included by target/CMakeLists.txt, so
# the DLL lands next to msdscbus.sys and the tool that uses it. Exports only what msdscclient.h
# declares (MSDSC_API, __declspec(dllexport)); the compiler's run times are linked in statically, so
# the DLL imports only known DLLs of System32.
set(MSDSC_CLIENT_DIR ${CMAKE_SOURCE_DIR}/client)

# The Win32 helpers the library shares with the Windows tool (UTF-8 text, the hardware-ID check):
# compiled once, linked into both; the DLL exports none of them.
add_library(msdscclient_windows_helpers OBJECT ${MSDSC_CLIENT_DIR}/src/windows_helpers.cpp)
target_include_directories(msdscclient_windows_helpers PUBLIC ${MSDSC_CLIENT_DIR}/src)
target_compile_definitions(msdscclient_windows_helpers PRIVATE UNICODE _UNICODE _WIN32_WINNT=0x0502)
target_compile_options(msdscclient_windows_helpers PRIVATE -Wall -Wextra $<$<NOT:$<CONFIG:Debug>>:-O2>)
target_link_libraries(msdscclient_windows_helpers PUBLIC setupapi)

# The library's sources, in one list: the Windows tool builds them into itself (packaging/package.cmake).
set(MSDSC_CLIENT_SOURCES
  ${MSDSC_CLIENT_DIR}/src/client.cpp
  ${MSDSC_CLIENT_DIR}/src/c_api.cpp
  ${MSDSC_CLIENT_DIR}/src/device_view.cpp
  ${MSDSC_CLIENT_DIR}/src/device_view_windows.cpp
  ${MSDSC_CLIENT_DIR}/src/handle_record.cpp
  ${MSDSC_CLIENT_DIR}/src/problem_advice.cpp)
add_library(msdscclient SHARED ${MSDSC_CLIENT_SOURCES})
set_target_properties(msdscclient PROPERTIES PREFIX "" IMPORT_PREFIX "lib" IMPORT_SUFFIX ".dll.a")
target_include_directories(msdscclient PUBLIC ${MSDSC_CLIENT_DIR}/include
                           PRIVATE ${MSDSC_CLIENT_DIR}/src ${CMAKE_SOURCE_DIR}/include)
target_compile_definitions(msdscclient PRIVATE MSDSC_BUILDING_LIBRARY UNICODE _UNICODE _WIN32_WINNT=0x0502)
target_compile_options(msdscclient PRIVATE -Wall -Wextra $<$<NOT:$<CONFIG:Debug>>:-O2>)
target_link_options(msdscclient PRIVATE -static -static-libgcc -static-libstdc++ $<$<NOT:$<CONFIG:Debug>>:-s>)
# The configuration manager's calls come from setupapi.dll, which exports them and is a known DLL:
# cfgmgr32.dll is not one everywhere, and a static import is resolved before any code of ours runs.
target_link_libraries(msdscclient PRIVATE msdscclient_windows_helpers setupapi ntdll)

# The header ships with the DLL and its import library.
add_custom_command(TARGET msdscclient POST_BUILD
  COMMAND ${CMAKE_COMMAND} -E copy_if_different ${MSDSC_CLIENT_DIR}/include/msdscclient.h
          $<TARGET_FILE_DIR:msdscclient>/msdscclient.h)
