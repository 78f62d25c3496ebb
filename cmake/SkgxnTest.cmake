# skgxn_add_test(NAME SOURCES src... LIBS lib... [LABELS l...] [NAMESPACE])
# Builds a GoogleTest binary and registers it with CTest. NAMESPACE runs it as
# root in a private mount namespace with fresh /run, /var/tmp and
# /var/cluster, so it never touches the host's daemon or files.
function(skgxn_add_test name)
  if(NOT SKGXN_TESTS)
    return()
  endif()
  cmake_parse_arguments(T "NAMESPACE" "" "SOURCES;LIBS;LABELS" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE ${T_LIBS} skgxn_test_support GTest::gtest GTest::gmock
                                        GTest::gtest_main)
  set(labels ${T_LABELS})
  if(T_NAMESPACE)
    add_test(NAME ${name}
             COMMAND ${PROJECT_SOURCE_DIR}/tests/in_namespace.sh $<TARGET_FILE:${name}>)
    list(APPEND labels namespace)
  else()
    add_test(NAME ${name} COMMAND ${name})
    list(APPEND labels unit)
  endif()
  set_tests_properties(${name} PROPERTIES LABELS "${labels}" TIMEOUT 300)
endfunction()
