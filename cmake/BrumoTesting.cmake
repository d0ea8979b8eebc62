# GoogleTest/GoogleMock built from source with the same compiler and sanitizer flags as
# the code under test (Debian ships the sources in /usr/src/googletest).
enable_testing()
include(GoogleTest)

set(BRUMO_GTEST_SOURCE_DIR /usr/src/googletest CACHE PATH "GoogleTest sources; empty to use find_package")
if(BRUMO_GTEST_SOURCE_DIR AND EXISTS ${BRUMO_GTEST_SOURCE_DIR}/CMakeLists.txt)
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  set(BUILD_GMOCK ON CACHE BOOL "" FORCE)
  set(gtest_force_shared_crt ON CACHE BOOL "" FORCE)
  add_subdirectory(${BRUMO_GTEST_SOURCE_DIR} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL SYSTEM)
  add_library(brumo_gtest INTERFACE)
  target_link_libraries(brumo_gtest INTERFACE gmock gtest_main)
else()
  find_package(GTest CONFIG REQUIRED)
  add_library(brumo_gtest INTERFACE)
  target_link_libraries(brumo_gtest INTERFACE GTest::gmock GTest::gtest_main)
endif()

# brumo_add_test(<name> SOURCES <files...> [LIBS <targets...>] [LABELS <labels...>]
#                [TIMEOUT <seconds>] [RESOURCE_LOCK <resources...>])
# Host and MSVC builds register every test case with ctest; the mingw build registers one
# ctest test per program, since each start under Wine costs a process launch. The test
# properties therefore go through here, never through set_tests_properties(<name>): with
# the cases discovered, no ctest test carries the program's name. LABELS "wine" marks a
# program that needs Wine's prefix or the brumotun device: the MSVC build on Windows leaves
# those out (ctest -LE wine); scripts/test runs every test. RESOURCE_LOCK keeps the
# program (each of its cases) from running beside another that holds the same resource.
function(brumo_add_test name)
  cmake_parse_arguments(ARG "" "TIMEOUT" "SOURCES;LIBS;LABELS;RESOURCE_LOCK" ${ARGN})
  if(NOT ARG_TIMEOUT)
    set(ARG_TIMEOUT 300)
  endif()
  add_executable(${name} ${ARG_SOURCES})
  brumo_target_defaults(${name})
  target_link_libraries(${name} PRIVATE ${ARG_LIBS} brumo_gtest)
  if(CMAKE_CROSSCOMPILING)
    add_test(NAME ${name} COMMAND ${name})
    set_tests_properties(${name} PROPERTIES TIMEOUT ${ARG_TIMEOUT} LABELS "${ARG_LABELS}"
                         RESOURCE_LOCK "${ARG_RESOURCE_LOCK}")
  else()
    # On Windows a test program may need a DLL that a later post-build step copies beside
    # it (tun2proxy_dll_test): list its cases when ctest runs, not right after the link.
    set(discovery_mode POST_BUILD)
    if(WIN32)
      set(discovery_mode PRE_TEST)
    endif()
    gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60 DISCOVERY_MODE ${discovery_mode}
      TEST_LIST ${name}_TESTS PROPERTIES TIMEOUT ${ARG_TIMEOUT})
    # CMake 3.25's discovery flattens a list-valued property into separate words (two
    # labels, two locks), so those are set by a script of ours that ctest reads after the
    # discovery's, on the cases it listed.
    set(script ${CMAKE_CURRENT_BINARY_DIR}/${name}_properties.cmake)
    file(WRITE ${script} "if(${name}_TESTS)
  set_tests_properties(\${${name}_TESTS} PROPERTIES LABELS [==[${ARG_LABELS}]==]
                       RESOURCE_LOCK [==[${ARG_RESOURCE_LOCK}]==])
endif()
")
    set_property(DIRECTORY APPEND PROPERTY TEST_INCLUDE_FILES ${script})
  endif()
endfunction()
