# quern_library(NAME DIR [DEPS...]): a static library of every .cpp directly in
# DIR (an interface library while DIR has none yet), aliased quern::NAME.
function(quern_library name dir)
  file(GLOB sources CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/${dir}/*.cpp)
  if(sources)
    add_library(quern_${name} STATIC ${sources} ${ARGN_SOURCES})
    target_link_libraries(quern_${name} PUBLIC ${ARGN})
  else()
    add_library(quern_${name} INTERFACE)
    target_link_libraries(quern_${name} INTERFACE ${ARGN})
  endif()
  add_library(quern::${name} ALIAS quern_${name})
endfunction()

# quern_test(NAME DIR [DEPS...]): one GoogleTest binary of every .cpp in
# tests/DIR, registered with CTest as one test.
function(quern_test name dir)
  file(GLOB sources CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/tests/${dir}/*.cpp)
  if(NOT sources)
    return()
  endif()
  add_executable(${name} ${sources})
  target_link_libraries(${name} PRIVATE ${ARGN} quern_testsupport GTest::gtest_main)
  add_test(NAME ${name} COMMAND ${name})
  set_tests_properties(${name} PROPERTIES ENVIRONMENT "QUERN_BIN_DIR=${CMAKE_BINARY_DIR}")
endfunction()
