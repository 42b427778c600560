# Shared settings for every target of the project.

function(vok_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic)
  if(VOK_WERROR)
    target_compile_options(${target} PRIVATE -Werror)
  endif()
endfunction()

# An object library of one library subsystem: position-independent, hidden
# by default (only VOK_API names are exported by libvok.so).
function(vok_subsystem name)
  add_library(${name} OBJECT ${ARGN})
  target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR}/src ${PROJECT_SOURCE_DIR}/include)
  set_target_properties(${name} PROPERTIES POSITION_INDEPENDENT_CODE ON
                                           CXX_VISIBILITY_PRESET hidden
                                           VISIBILITY_INLINES_HIDDEN ON)
  vok_warnings(${name})
endfunction()

# A GoogleTest binary. LIBS are linked as given (object libraries of the
# subsystems under test, the shipped library, the virtual token); LABELS go
# to every test case ("concurrency" marks the tests that the tsan preset runs).
function(vok_gtest name)
  cmake_parse_arguments(T "" "" "SOURCES;LIBS;LABELS" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR}/src ${PROJECT_SOURCE_DIR}/include
                                             ${PROJECT_SOURCE_DIR}/tests)
  target_link_libraries(${name} PRIVATE ${T_LIBS} GTest::gtest GTest::gmock GTest::gtest_main Threads::Threads)
  vok_warnings(${name})
  # One label per test (the discovered tests take no list): labels are joined
  # with '.', and ctest's label filters are regular expressions, so
  # "-L concurrency" still selects "concurrency.handles".
  set(_properties TIMEOUT 300)
  if(T_LABELS)
    list(JOIN T_LABELS "." _label)
    list(APPEND _properties LABELS ${_label})
  endif()
  gtest_discover_tests(${name} DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 60
                       PROPERTIES ${_properties})
endfunction()
