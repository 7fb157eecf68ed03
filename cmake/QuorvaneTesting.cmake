# quorvane_add_test(<name> SOURCES <files...> LIBS <targets...> [LABELS <labels...>])
#
# Builds one GoogleTest program and registers its cases with CTest.
# Every test gets a private TMPDIR under the build tree, so tests never
# touch the user's data or runtime folders.
include(GoogleTest)

function(quorvane_add_test name)
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBS;LABELS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE ${ARG_LIBS} GTest::gtest GTest::gtest_main Threads::Threads)
  set(_tmp "${CMAKE_BINARY_DIR}/test-tmp/${name}")
  file(MAKE_DIRECTORY "${_tmp}")
  gtest_discover_tests(${name}
    DISCOVERY_TIMEOUT 60
    PROPERTIES ENVIRONMENT "TMPDIR=${_tmp}" LABELS "${ARG_LABELS}")
endfunction()
