# Host build: the simulated kernel as a shared library, the driver as a loadable image (a shared
# module, so that every load starts from a fresh copy of its globals), and the tests.
include(CTest)
find_package(GTest REQUIRED)
find_package(Threads REQUIRED)

# WCHAR is 16 bits in both builds: driver code writes L"..." literals as kernel code does, and the
# strings it hands to Plug and Play are UTF-16LE byte for byte. Nothing in the host build may hand a
# wchar_t string to the C++ library's wide-character functions, which assume 32 bits.
add_compile_options(-fshort-wchar)

option(MSDSC_FUZZ "Build the libFuzzer targets (clang only)" OFF)
option(MSDSC_BENCH "Build the benchmarks" ON)
option(MSDSC_PYTHON_TESTS "Run the Python package's tests with ctest (they load the host build's libraries)" ON)

file(GLOB SIMKERNEL_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/simkernel/src/*.cpp)
add_library(simkernel SHARED ${SIMKERNEL_SOURCES})
target_include_directories(simkernel PUBLIC ${CMAKE_SOURCE_DIR}/simkernel/include)
target_include_directories(simkernel PRIVATE ${CMAKE_SOURCE_DIR}/simkernel/src)
target_link_libraries(simkernel PUBLIC Threads::Threads ${CMAKE_DL_LIBS})
target_compile_options(simkernel PRIVATE -Wall -Wextra)

# Driver sources compiled once, position independent, for the image and for the unit tests.
set(DRIVER_INCLUDE_DIRS ${CMAKE_SOURCE_DIR} ${CMAKE_SOURCE_DIR}/include)
if(DRIVER_SOURCES)
  add_library(msdscbus_objects OBJECT ${DRIVER_SOURCES})
  set_target_properties(msdscbus_objects PROPERTIES POSITION_INDEPENDENT_CODE ON)
  target_compile_options(msdscbus_objects PRIVATE ${DRIVER_KERNEL_FLAGS} $<$<CXX_COMPILER_ID:GNU>:-fno-gnu-unique>)
  target_include_directories(msdscbus_objects PRIVATE ${DRIVER_INCLUDE_DIRS})
  target_link_libraries(msdscbus_objects PUBLIC simkernel)

  # The driver image: loaded by the simulated kernel's loader with dlopen.
  add_library(msdscbus MODULE $<TARGET_OBJECTS:msdscbus_objects>)
  set_target_properties(msdscbus PROPERTIES PREFIX "" OUTPUT_NAME msdscbus)
  target_link_libraries(msdscbus PRIVATE simkernel)
endif()

# The sample reader driver's image, which a test installs for the reader's hardware ID in place of
# the function-driver double: built from the same sources as msdscsample.sys, by the kernel rules.
file(GLOB SAMPLE_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/sample/*.cpp)
if(SAMPLE_SOURCES)
  add_library(msdscsample MODULE ${SAMPLE_SOURCES})
  set_target_properties(msdscsample PROPERTIES PREFIX "" OUTPUT_NAME msdscsample)
  target_compile_options(msdscsample PRIVATE ${DRIVER_KERNEL_FLAGS} $<$<CXX_COMPILER_ID:GNU>:-fno-gnu-unique>)
  target_include_directories(msdscsample PRIVATE ${DRIVER_INCLUDE_DIRS})
  target_link_libraries(msdscsample PRIVATE simkernel)
endif()

function(msdsc_add_gtest name)
  add_executable(${name} ${ARGN})
  target_link_libraries(${name} PRIVATE simkernel GTest::gtest GTest::gtest_main Threads::Threads)
  include(GoogleTest)
  gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60 PROPERTIES TIMEOUT 300)
endfunction()

# The simulated kernel's own tests, with small test drivers of their own.
file(GLOB SIMKERNEL_TESTS CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/simkernel/tests/*.cpp)
if(SIMKERNEL_TESTS)
  msdsc_add_gtest(simkernel_tests ${SIMKERNEL_TESTS})
  # A small driver image for the loader's tests, built like the driver image (no unique symbols, so
  # dlclose really unloads it and every load starts from fresh globals).
  add_library(simk_loader_test_driver MODULE ${CMAKE_SOURCE_DIR}/simkernel/tests/drivers/loader_test_driver.cpp)
  set_target_properties(simk_loader_test_driver PROPERTIES PREFIX "")
  target_compile_options(simk_loader_test_driver PRIVATE -fno-exceptions -fno-rtti $<$<CXX_COMPILER_ID:GNU>:-fno-gnu-unique>)
  target_link_libraries(simk_loader_test_driver PRIVATE simkernel)
  # A filter driver image that tests install above or below other drivers.
  add_library(simk_filter_test_driver MODULE ${CMAKE_SOURCE_DIR}/simkernel/tests/drivers/filter_test_driver.cpp)
  set_target_properties(simk_filter_test_driver PROPERTIES PREFIX "")
  target_compile_options(simk_filter_test_driver PRIVATE -fno-exceptions -fno-rtti $<$<CXX_COMPILER_ID:GNU>:-fno-gnu-unique>)
  target_link_libraries(simk_filter_test_driver PRIVATE simkernel)
  target_compile_definitions(simkernel_tests PRIVATE
    SIMK_LOADER_TEST_DRIVER="$<TARGET_FILE:simk_loader_test_driver>"
    SIMK_FILTER_TEST_DRIVER="$<TARGET_FILE:simk_filter_test_driver>"
    SIMK_KERNEL_LIBRARY="$<TARGET_FILE:simkernel>")
  add_dependencies(simkernel_tests simk_loader_test_driver simk_filter_test_driver)
endif()

# Unit tests: driver code linked in directly (no image load), for its pure parts.
file(GLOB DRIVER_UNIT_TESTS CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/tests/unit/*.cpp)
if(DRIVER_UNIT_TESTS AND DRIVER_SOURCES)
  msdsc_add_gtest(driver_unit_tests ${DRIVER_UNIT_TESTS} $<TARGET_OBJECTS:msdscbus_objects>)
  target_include_directories(driver_unit_tests PRIVATE ${DRIVER_INCLUDE_DIRS} ${CMAKE_SOURCE_DIR}/tests)
  # Test classes derive from the driver's classes, which carry no type information (kernel code).
  target_compile_options(driver_unit_tests PRIVATE -fno-rtti)
endif()

# Scenario tests: the driver image loaded into the simulated kernel, driven through the I/O
# manager, the Plug and Play manager and the user-mode view. Driver headers may be included for
# object layouts only: the driver's code is not linked in, so every call goes through the kernel.
file(GLOB DRIVER_SCENARIO_TESTS CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/tests/scenario/*.cpp)
if(DRIVER_SCENARIO_TESTS AND DRIVER_SOURCES)
  msdsc_add_gtest(driver_scenario_tests ${DRIVER_SCENARIO_TESTS})
  target_include_directories(driver_scenario_tests PRIVATE ${DRIVER_INCLUDE_DIRS} ${CMAKE_SOURCE_DIR}/tests)
  target_compile_definitions(driver_scenario_tests PRIVATE MSDSCBUS_IMAGE="$<TARGET_FILE:msdscbus>"
                             MSDSC_SOURCE_DIR="${CMAKE_SOURCE_DIR}"
                             SIMK_FILTER_TEST_DRIVER="$<TARGET_FILE:simk_filter_test_driver>"
                             MSDSCSAMPLE_IMAGE="$<TARGET_FILE:msdscsample>")
  # Reading fields of the driver's classes must not ask for their type information, which kernel
  # code does not have (and which the undefined-behaviour sanitizer's vptr check would look up).
  target_compile_options(driver_scenario_tests PRIVATE -fno-rtti)
  add_dependencies(driver_scenario_tests msdscbus simk_filter_test_driver msdscsample)
endif()

foreach(extra machine client tools fuzz bench python)
  if(EXISTS ${CMAKE_SOURCE_DIR}/${extra}/CMakeLists.txt)
    add_subdirectory(${extra})
  endif()
endforeach()

# The INF rules: each rule's fixture INF must fail that rule alone, and the good one none. The
# package's own INFs are held to the same rules by packaging/check-package.sh.
find_package(Python3 COMPONENTS Interpreter)
if(Python3_Interpreter_FOUND)
  add_test(NAME InfRules.EachRuleFailsItsFixture
           COMMAND ${Python3_EXECUTABLE} ${CMAKE_SOURCE_DIR}/packaging/check-inf.py
                   --fixtures ${CMAKE_SOURCE_DIR}/packaging/tests/inf)
  # Every rule the verifier declares has a row in docs/verification-rules.md naming a test that
  # breaks it, and the page's counts are its table's.
  add_test(NAME VerifierRules.TableNamesABreachOfEveryRule
           COMMAND ${Python3_EXECUTABLE} ${CMAKE_SOURCE_DIR}/simkernel/tests/verification_rules_table.py
                   ${CMAKE_SOURCE_DIR})
endif()

# The load-time import check of the package's images, on a tool made to import newdev.dll at load
# and one that loads it from System32; it needs the cross compiler the target build uses.
find_program(MSDSC_MINGW_CC x86_64-w64-mingw32-gcc)
find_program(MSDSC_MINGW_OBJDUMP x86_64-w64-mingw32-objdump)
if(MSDSC_MINGW_CC AND MSDSC_MINGW_OBJDUMP)
  add_test(NAME PackageImports.ToolImportingANonKnownDllIsRefused
           COMMAND bash ${CMAKE_SOURCE_DIR}/packaging/tests/check-imports-test.sh ${MSDSC_MINGW_CC})
  set_tests_properties(PackageImports.ToolImportingANonKnownDllIsRefused PROPERTIES
                       ENVIRONMENT OBJDUMP=${MSDSC_MINGW_OBJDUMP})
endif()
