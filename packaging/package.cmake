# The Windows package, made by the target build next to msdscbus.sys: the INF that installs it and
# the command-line tool msdscctl.exe. Included by target/CMakeLists.txt, so everything lands in the
# one output folder the driver image is written to.

# The INF's driver version is the one the driver reports, read from the driver's own source so
# that the two cannot drift apart.
file(STRINGS ${CMAKE_SOURCE_DIR}/driver/driver_version.h MSDSC_VERSION_LINE
     REGEX "DRIVER_VERSION_STRING\\[\\] *= *\"[0-9.]+\"")
string(REGEX MATCH "[0-9]+\\.[0-9]+\\.[0-9]+\\.[0-9]+" MSDSC_DRIVER_VERSION "${MSDSC_VERSION_LINE}")
if(NOT MSDSC_DRIVER_VERSION)
  message(FATAL_ERROR "packaging: DRIVER_VERSION_STRING not found in driver/driver_version.h")
endif()
# The date of this driver version; change it with the version.
set(MSDSC_DRIVER_DATE 12/07/2026)
# The hardware IDs the INFs bind, from the one header that spells them.
foreach(name BUS_HARDWARE_ID READER_HARDWARE_ID)
  file(STRINGS ${CMAKE_SOURCE_DIR}/include/msdscnames.h line REGEX "#define MSDSC_${name} \"")
  string(REGEX REPLACE ".*\"(.*)\".*" "\\1" text "${line}")
  string(REPLACE "\\\\" "\\" MSDSC_${name} "${text}")
  if(NOT MSDSC_${name})
    message(FATAL_ERROR "packaging: MSDSC_${name} not found in include/msdscnames.h")
  endif()
endforeach()
configure_file(${CMAKE_SOURCE_DIR}/packaging/msdscbus.inf.in ${CMAKE_CURRENT_BINARY_DIR}/msdscbus.inf
               @ONLY NEWLINE_STYLE WIN32)

# The sample reader driver's INF: its version from the sample's source, its date old on purpose
# (see the INF).
file(STRINGS ${CMAKE_SOURCE_DIR}/sample/sample_driver.cpp MSDSC_SAMPLE_VERSION_LINE
     REGEX "SAMPLE_VERSION = {{[0-9, ]+}};")
string(REGEX MATCH "([0-9]+), ([0-9]+), ([0-9]+), ([0-9]+)" MSDSC_SAMPLE_VERSION_PARTS "${MSDSC_SAMPLE_VERSION_LINE}")
if(NOT MSDSC_SAMPLE_VERSION_PARTS)
  message(FATAL_ERROR "packaging: SAMPLE_VERSION not found in sample/sample_driver.cpp")
endif()
set(MSDSC_SAMPLE_VERSION ${CMAKE_MATCH_4}.${CMAKE_MATCH_3}.${CMAKE_MATCH_2}.${CMAKE_MATCH_1})
set(MSDSC_SAMPLE_DATE 01/01/2000)
configure_file(${CMAKE_SOURCE_DIR}/sample/msdscsample.inf.in ${CMAKE_CURRENT_BINARY_DIR}/msdscsample.inf
               @ONLY NEWLINE_STYLE WIN32)

# The tool: a console program that imports at load only known DLLs of System32, which Windows never
# looks for beside the program. It runs elevated, perhaps from a Downloads folder where anyone may
# leave a DLL: so the client library is built into it rather than loaded from msdscclient.dll, the
# compiler's run times are linked in statically, and newdev.dll is loaded at run time from System32
# (tools/windows/system_library.cpp). GNU ld 2.40 cannot write a load-configuration directory (it
# knows no _load_config_used), so the image carries no dependent-load flags.
add_executable(msdscctl
  ${MSDSC_CLIENT_SOURCES}
  ${CMAKE_SOURCE_DIR}/tools/session/commands.cpp
  ${CMAKE_SOURCE_DIR}/tools/session/session.cpp
  ${CMAKE_SOURCE_DIR}/tools/windows/device_install.cpp
  ${CMAKE_SOURCE_DIR}/tools/windows/system_library.cpp
  ${CMAKE_SOURCE_DIR}/tools/windows/main.cpp)
target_include_directories(msdscctl PRIVATE ${CMAKE_SOURCE_DIR}/tools/session ${CMAKE_SOURCE_DIR}/include
                           ${MSDSC_CLIENT_DIR}/include ${MSDSC_CLIENT_DIR}/src)
# The oldest x64 Windows (5.2), as for the driver: every call imported exists there; newer ones
# (SetDefaultDllDirectories) are looked up.
target_compile_definitions(msdscctl PRIVATE MSDSC_LINKED_IN UNICODE _UNICODE _WIN32_WINNT=0x0502)
target_compile_options(msdscctl PRIVATE -Wall -Wextra $<$<NOT:$<CONFIG:Debug>>:-O2>)
target_link_options(msdscctl PRIVATE -municode -static -Wl,--subsystem,console $<$<NOT:$<CONFIG:Debug>>:-s>)
target_link_libraries(msdscctl PRIVATE msdscclient_windows_helpers setupapi ntdll)

# The release package: dist/msdscbus-<version>-x64/ holding what ships and nothing else, and a zip
# of it (`cmake --build --preset package`). Built on request only: the catalog needs osslsigncode
# and python3-asn1crypto, which the everyday target build does not.
set(MSDSC_PACKAGE_NAME msdscbus-${MSDSC_DRIVER_VERSION}-x64)
set(MSDSC_PACKAGE_DIR ${CMAKE_SOURCE_DIR}/dist/${MSDSC_PACKAGE_NAME})

# The README for Windows is docs/windows.md, which starts from the zip.
configure_file(${CMAKE_SOURCE_DIR}/docs/windows.md ${CMAKE_CURRENT_BINARY_DIR}/README.md COPYONLY)

# The catalog the INF names (CatalogFile): the INF's and the driver's hashes, unsigned;
# scripts/sign-test.sh signs it.
add_custom_command(
  OUTPUT ${CMAKE_CURRENT_BINARY_DIR}/msdscbus.cat
  COMMAND ${CMAKE_SOURCE_DIR}/packaging/make-catalog.py --inf ${CMAKE_CURRENT_BINARY_DIR}/msdscbus.inf
          --out ${CMAKE_CURRENT_BINARY_DIR}/msdscbus.cat $<TARGET_FILE:msdscbus>
  DEPENDS msdscbus ${CMAKE_CURRENT_BINARY_DIR}/msdscbus.inf ${CMAKE_SOURCE_DIR}/packaging/make-catalog.py
          ${CMAKE_SOURCE_DIR}/packaging/inf_file.py
  VERBATIM)
add_custom_command(
  OUTPUT ${CMAKE_CURRENT_BINARY_DIR}/msdscsample.cat
  COMMAND ${CMAKE_SOURCE_DIR}/packaging/make-catalog.py --inf ${CMAKE_CURRENT_BINARY_DIR}/msdscsample.inf
          --out ${CMAKE_CURRENT_BINARY_DIR}/msdscsample.cat $<TARGET_FILE:msdscsample>
  DEPENDS msdscsample ${CMAKE_CURRENT_BINARY_DIR}/msdscsample.inf ${CMAKE_SOURCE_DIR}/packaging/make-catalog.py
          ${CMAKE_SOURCE_DIR}/packaging/inf_file.py
  VERBATIM)

# The Python package as a wheel (pure Python: the same file on Windows), built from a copy of
# python/ so that the build leaves nothing in the source tree; no index and no build isolation, so
# only the system's setuptools and wheel are used and no registry is reached. Debian's Python first,
# which setup.sh gives those.
file(STRINGS ${CMAKE_SOURCE_DIR}/python/pyproject.toml MSDSC_PYTHON_VERSION_LINE REGEX "^version = \"[0-9.]+\"")
string(REGEX MATCH "[0-9]+\\.[0-9]+\\.[0-9]+" MSDSC_PYTHON_VERSION "${MSDSC_PYTHON_VERSION_LINE}")
find_program(MSDSC_PYTHON NAMES python3 PATHS /usr/bin NO_DEFAULT_PATH)
find_program(MSDSC_PYTHON NAMES python3)
set(MSDSC_WHEEL ${CMAKE_CURRENT_BINARY_DIR}/wheel/msdsc-${MSDSC_PYTHON_VERSION}-py3-none-any.whl)
file(GLOB_RECURSE MSDSC_PYTHON_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/python/src/*.py
     ${CMAKE_SOURCE_DIR}/python/src/*.typed)
add_custom_command(
  OUTPUT ${MSDSC_WHEEL}
  COMMAND ${CMAKE_COMMAND} -E rm -rf ${CMAKE_CURRENT_BINARY_DIR}/wheel ${CMAKE_CURRENT_BINARY_DIR}/wheel-source
  COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_CURRENT_BINARY_DIR}/wheel-source
  COMMAND ${CMAKE_COMMAND} -E copy_directory ${CMAKE_SOURCE_DIR}/python/src ${CMAKE_CURRENT_BINARY_DIR}/wheel-source/src
  COMMAND ${CMAKE_COMMAND} -E copy ${CMAKE_SOURCE_DIR}/python/pyproject.toml ${CMAKE_SOURCE_DIR}/python/README.md
          ${CMAKE_CURRENT_BINARY_DIR}/wheel-source
  COMMAND ${MSDSC_PYTHON} -m pip wheel --quiet --no-build-isolation --no-index --no-deps
          --wheel-dir ${CMAKE_CURRENT_BINARY_DIR}/wheel ${CMAKE_CURRENT_BINARY_DIR}/wheel-source
  DEPENDS ${MSDSC_PYTHON_SOURCES} ${CMAKE_SOURCE_DIR}/python/pyproject.toml ${CMAKE_SOURCE_DIR}/python/README.md
  VERBATIM)

# What ships, in one list; packaging/check-package.sh holds the folder to exactly these files.
set(MSDSC_PACKAGE_FILES
  $<TARGET_FILE:msdscbus> ${CMAKE_CURRENT_BINARY_DIR}/msdscbus.inf ${CMAKE_CURRENT_BINARY_DIR}/msdscbus.cat
  # The sample reader driver, to try readers with before a driver of one's own exists.
  $<TARGET_FILE:msdscsample> ${CMAKE_CURRENT_BINARY_DIR}/msdscsample.inf ${CMAKE_CURRENT_BINARY_DIR}/msdscsample.cat
  $<TARGET_FILE:msdscctl>
  # The client library the tool runs on, with what test code links against it.
  $<TARGET_FILE:msdscclient> $<TARGET_LINKER_FILE:msdscclient> ${CMAKE_SOURCE_DIR}/client/include/msdscclient.h
  # The Python package and its pytest plugin, over that library.
  ${MSDSC_WHEEL}
  ${CMAKE_CURRENT_BINARY_DIR}/README.md)

# The driver's PDB, when clang and lld built it, goes into a zip of its own beside the package:
# the debugger's machine needs it, the test machine does not.
if(MSDSC_DRIVER_SYMBOLS)
  get_filename_component(symbols_dir ${MSDSC_DRIVER_SYMBOLS} DIRECTORY)
  get_filename_component(symbols_name ${MSDSC_DRIVER_SYMBOLS} NAME)
  set(MSDSC_SYMBOLS_ZIP ${MSDSC_PACKAGE_DIR}-symbols.zip)
  set(symbols_commands
    COMMAND ${CMAKE_COMMAND} -E chdir ${symbols_dir}
            ${CMAKE_COMMAND} -E tar cf ${MSDSC_SYMBOLS_ZIP} --format=zip ${symbols_name})
  set(symbols_line "symbols ${MSDSC_SYMBOLS_ZIP}\n")
endif()

# For the check: the folder, the zips and the files the folder must hold.
file(GENERATE OUTPUT ${CMAKE_CURRENT_BINARY_DIR}/package-manifest.txt
     CONTENT "folder ${MSDSC_PACKAGE_DIR}\nzip ${MSDSC_PACKAGE_DIR}.zip\n${symbols_line}file $<JOIN:${MSDSC_PACKAGE_FILES},\nfile >\n")

add_custom_target(dist
  COMMAND ${CMAKE_COMMAND} -E rm -rf ${MSDSC_PACKAGE_DIR} ${MSDSC_PACKAGE_DIR}.zip ${MSDSC_PACKAGE_DIR}-symbols.zip
  COMMAND ${CMAKE_COMMAND} -E make_directory ${MSDSC_PACKAGE_DIR}
  COMMAND ${CMAKE_COMMAND} -E copy ${MSDSC_PACKAGE_FILES} ${MSDSC_PACKAGE_DIR}
  COMMAND ${CMAKE_COMMAND} -E chdir ${CMAKE_SOURCE_DIR}/dist
          ${CMAKE_COMMAND} -E tar cf ${MSDSC_PACKAGE_NAME}.zip --format=zip ${MSDSC_PACKAGE_NAME}
  ${symbols_commands}
  COMMAND ${CMAKE_COMMAND} -E echo "package: ${MSDSC_PACKAGE_DIR} (and .zip)"
  DEPENDS ${MSDSC_PACKAGE_FILES} ${MSDSC_DRIVER_SYMBOLS}
  VERBATIM)
# A built target's file in the list orders dist after that target; the image may be imported
# from the build of its own (target/CMakeLists.txt), which only a named dependency follows.
add_dependencies(dist msdscbus)
