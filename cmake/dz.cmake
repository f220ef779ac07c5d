# Where installed headers go, in their source layout (cmake/install.cmake).
set(DZ_INSTALL_INCLUDEDIR include/dezuvura)

# dz_library(<target> [LINK <targets>...])
#   One static library from the .cc files of the calling folder (not its subfolders: every
#   subfolder is a library of its own). Includes resolve from the project root: "platform/...".
function(dz_library target)
  cmake_parse_arguments(ARG "" "" "LINK" ${ARGN})
  file(GLOB sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cc)
  file(GLOB headers CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.h)
  if(NOT sources)
    # A folder whose first sources have not landed yet still gives its dependants a target.
    set(sources ${CMAKE_CURRENT_BINARY_DIR}/${target}_empty.cc)
    file(WRITE ${sources} "")
  endif()
  add_library(${target} STATIC ${sources} ${headers})
  target_include_directories(${target} PUBLIC $<BUILD_INTERFACE:${PROJECT_SOURCE_DIR}>
                                              $<INSTALL_INTERFACE:${DZ_INSTALL_INCLUDEDIR}>)
  # The headers need C++20 in every program that includes them.
  target_compile_features(${target} PUBLIC cxx_std_20)
  target_link_libraries(${target} PUBLIC ${ARG_LINK})
endfunction()

# dz_test(<name> PREFIX <ctest prefix> [COST <seconds>] [LINK <targets>...])
#   One gtest executable from the *_test.cc files of the calling folder, plus tests/support.
#   COST makes a parallel run start the suite's tests first: a suite holding the longest tests
#   otherwise starts last (ctest has no timings on a fresh clone) and runs on alone at the end.
function(dz_test name)
  cmake_parse_arguments(ARG "" "PREFIX;COST" "LINK" ${ARGN})
  if(NOT ARG_COST)
    set(ARG_COST 0)
  endif()
  file(GLOB sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*_test.cc
       ${CMAKE_CURRENT_SOURCE_DIR}/*_fixture.cc)
  if(NOT sources)
    return()
  endif()
  add_executable(${name}_tests ${sources} ${PROJECT_SOURCE_DIR}/tests/process_setup.cc)
  target_link_libraries(${name}_tests PRIVATE ${ARG_LINK} dz_test_support GTest::gtest_main
                        GTest::gmock)
  gtest_discover_tests(${name}_tests TEST_PREFIX "${ARG_PREFIX}" DISCOVERY_TIMEOUT 60
                       PROPERTIES TIMEOUT 300 COST ${ARG_COST})
endfunction()

# dz_test_infrastructure(<target> [SOURCES <files>...])
#   Test servers and fixtures built on Boost.Beast. Under UndefinedBehaviorSanitizer their template
#   weight costs minutes of compile time per file; they are not shipped code, so they keep
#   AddressSanitizer only. With SOURCES, only those files of the target are exempted.
function(dz_test_infrastructure target)
  cmake_parse_arguments(ARG "" "" "SOURCES" ${ARGN})
  if(NOT DZ_SANITIZE)
    return()
  endif()
  if(ARG_SOURCES)
    set_source_files_properties(${ARG_SOURCES} TARGET_DIRECTORY ${target}
                                PROPERTIES COMPILE_OPTIONS -fno-sanitize=undefined)
  else()
    target_compile_options(${target} PRIVATE -fno-sanitize=undefined)
  endif()
endfunction()
