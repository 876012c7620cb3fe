# One static library per subsystem folder; sources are globbed so that adding a file needs no
# edit here. Sub-folders (parsers/, tools/) are included.
function(nodrel_library name)
  cmake_parse_arguments(ARG "" "" "DEPS" ${ARGN})
  file(GLOB_RECURSE sources CONFIGURE_DEPENDS "${CMAKE_CURRENT_SOURCE_DIR}/*.cpp")
  list(FILTER sources EXCLUDE REGEX ".*/main\\.cpp$")
  add_library(${name} STATIC ${sources})
  target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR} ${PROJECT_BINARY_DIR}/generated)
  target_link_libraries(${name} PUBLIC ${ARG_DEPS})
endfunction()

# One test program per folder of tests/, each test registered with CTest.
function(nodrel_tests name dir)
  cmake_parse_arguments(ARG "" "" "DEPS" ${ARGN})
  file(GLOB_RECURSE sources CONFIGURE_DEPENDS "${dir}/*_test.cpp")
  if(NOT sources)
    return()
  endif()
  add_executable(${name} ${sources})
  target_link_libraries(${name} PRIVATE ${ARG_DEPS} nodrel_test_support GTest::gmock GTest::gtest_main)
  gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60
    PROPERTIES ENVIRONMENT "NODREL_SOURCE_DIR=${PROJECT_SOURCE_DIR};NODREL_BINARY_DIR=${PROJECT_BINARY_DIR}")
endfunction()
