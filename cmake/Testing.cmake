# velmora_add_unit_test(NAME sources...): a GoogleTest executable linked with the library.
# Natively every test case is its own CTest entry; under Wine one entry per executable saves
# a Wine start per case.
include(GoogleTest)
function(velmora_add_unit_test name)
  add_executable(${name} ${ARGN})
  target_link_libraries(${name} PRIVATE velmora_test_support GTest::gtest GTest::gmock
                                        GTest::gtest_main)
  if(CMAKE_CROSSCOMPILING)
    add_test(NAME ${name} COMMAND ${name})
    set_tests_properties(${name} PROPERTIES FIXTURES_REQUIRED wine)
  else()
    gtest_discover_tests(${name} DISCOVERY_TIMEOUT 30)
  endif()
endfunction()
