# Shared settings for every target of the project.

function(vok_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic)
  if(VOK_WERROR)
    target_compile_options(${target} PRIVATE -Werror)
  endif()
endfunction()

# An object library of one library subsystem: position-independent, hidden
# by default (only VOK_API names are exported by libvok.so).
#   vok_subsystem(NAME SOURCES... DEPENDS SUBSYSTEMS...)
# DEPENDS names the subsystems whose functions NAME calls. This is the one
# place that says so: libvok is made of every subsystem declared here, in
# this order, and vok_link gives a test or a benchmark of NAME the objects of
# everything NAME needs.
function(vok_subsystem name)
  cmake_parse_arguments(S "" "" "DEPENDS" ${ARGN})
  add_library(${name} OBJECT ${S_UNPARSED_ARGUMENTS})
  target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR}/src ${PROJECT_SOURCE_DIR}/include)
  set_target_properties(${name} PROPERTIES POSITION_INDEPENDENT_CODE ON
                                           CXX_VISIBILITY_PRESET hidden
                                           VISIBILITY_INLINES_HIDDEN ON
                                           VOK_DEPENDS "${S_DEPENDS}")
  vok_warnings(${name})
  set_property(GLOBAL APPEND PROPERTY VOK_SUBSYSTEMS ${name})
endfunction()

# Every subsystem declared so far, in the order of declaration.
function(vok_all_subsystems out)
  get_property(_all GLOBAL PROPERTY VOK_SUBSYSTEMS)
  set(${out} ${_all} PARENT_SCOPE)
endfunction()

# Links ITEMS into TARGET (privately). A subsystem among them comes with
# every subsystem it depends on, directly or not, each once: an object
# library's objects reach only the targets that link it by name.
function(vok_link target)
  vok_all_subsystems(_subsystems)
  set(_linked)
  set(_pending ${ARGN})
  while(_pending)
    list(POP_FRONT _pending _item)
    if(_item IN_LIST _linked)
      continue()
    endif()
    list(APPEND _linked ${_item})
    if(_item IN_LIST _subsystems)
      get_target_property(_depends ${_item} VOK_DEPENDS)
      if(_depends)
        list(APPEND _pending ${_depends})
      endif()
    endif()
  endwhile()
  target_link_libraries(${target} PRIVATE ${_linked})
endfunction()

# Compiles the named FILES of TARGET in batches of ten, each batch one
# translation unit (a unity build); TARGET's other files compile on their own.
# For targets whose every file includes a large header library: its inline
# code is then compiled once a batch, not once a file. A file joins a batch
# only when named here, as its names must not clash with the batch's others.
function(vok_unity_build target)
  set_target_properties(${target} PROPERTIES UNITY_BUILD ON UNITY_BUILD_MODE GROUP)
  set(_index 0)
  foreach(file ${ARGN})
    math(EXPR _batch "${_index} / 10")
    set_source_files_properties(${file} PROPERTIES UNITY_GROUP "${target}_${_batch}")
    math(EXPR _index "${_index} + 1")
  endforeach()
endfunction()

# A GoogleTest binary. LIBS are linked by vok_link (a subsystem under test
# with what it depends on, the shipped library, the virtual token); LABELS go
# to every test case ("concurrency" marks the tests that the tsan preset runs,
# and the tsan preset builds only those: target vok_concurrency_tests).
function(vok_gtest name)
  cmake_parse_arguments(T "" "" "SOURCES;LIBS;LABELS" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  if("concurrency" IN_LIST T_LABELS)
    if(NOT TARGET vok_concurrency_tests)
      add_custom_target(vok_concurrency_tests)
    endif()
    add_dependencies(vok_concurrency_tests ${name})
  endif()
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR}/src ${PROJECT_SOURCE_DIR}/include
                                             ${PROJECT_SOURCE_DIR}/tests)
  vok_link(${name} ${T_LIBS} GTest::gtest GTest::gmock GTest::gtest_main Threads::Threads)
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
