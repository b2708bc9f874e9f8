# quern_public_headers(TARGET LAYER): TARGET's public headers are
# include/LAYER/quern/*.h, reached as <quern/X.h> (installed side by side in
# include/quern/). A library sees only its own and those of the libraries it
# links, so an include that points up the layers fails to build.
function(quern_public_headers target layer)
  get_target_property(type ${target} TYPE)
  set(scope PUBLIC)
  if(type STREQUAL "INTERFACE_LIBRARY")
    set(scope INTERFACE)
  endif()
  target_include_directories(${target} ${scope}
      $<BUILD_INTERFACE:${PROJECT_SOURCE_DIR}/include/${layer}>
      $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)
endfunction()

# quern_library(NAME [DEPS...]): a static library quern_NAME, aliased quern::NAME,
# of every .cpp in the current directory, with include/NAME/ as its public headers.
function(quern_library name)
  file(GLOB sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp)
  add_library(quern_${name} STATIC ${sources})
  target_link_libraries(quern_${name} PUBLIC ${ARGN})
  quern_public_headers(quern_${name} ${name})
  add_library(quern::${name} ALIAS quern_${name})
endfunction()

# quern_test(NAME DIR [DEPS...]): one GoogleTest binary of every .cpp in
# tests/DIR; CTest runs each of its tests as NAME.Suite.Test. The tests of one
# binary never run at the same time (they may share scratch paths); cross
# builds list and run them through the emulator (Wine) when CTest runs.
include(GoogleTest)
function(quern_test name dir)
  file(GLOB sources CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/tests/${dir}/*.cpp)
  add_executable(${name} ${sources})
  target_link_libraries(${name} PRIVATE ${ARGN} quern_testsupport GTest::gtest_main)
  gtest_discover_tests(${name} TEST_PREFIX ${name}. DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 120
                       PROPERTIES ENVIRONMENT "QUERN_BIN_DIR=${PROJECT_BINARY_DIR}" RESOURCE_LOCK ${name})
endfunction()

# quern_apply_build_options(DIR): the compile and link settings of every
# target defined in DIR and the directories below it that belong to this
# source tree.
function(quern_apply_build_options dir)
  get_property(targets DIRECTORY ${dir} PROPERTY BUILDSYSTEM_TARGETS)
  foreach(target ${targets})
    get_target_property(type ${target} TYPE)
    if(type STREQUAL "INTERFACE_LIBRARY" OR type STREQUAL "UTILITY")
      continue()
    endif()
    target_compile_options(${target} PRIVATE -Wall -Wextra $<$<BOOL:${QUERN_WERROR}>:-Werror>)
    if(QUERN_SANITIZE)
      target_compile_options(${target} PRIVATE
          -fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
      target_link_options(${target} PRIVATE -fsanitize=address,undefined)
    endif()
    if(WIN32)
      target_compile_definitions(${target} PRIVATE WINVER=0x0501 _WIN32_WINNT=0x0501)
      # The shipped build is small: unused sections dropped, symbols stripped.
      target_compile_options(${target} PRIVATE
          $<$<CONFIG:MinSizeRel>:-ffunction-sections> $<$<CONFIG:MinSizeRel>:-fdata-sections>)
      if(type STREQUAL "EXECUTABLE")
        # The programs must run on a bare Windows: no MinGW runtime DLLs beside them.
        target_link_options(${target} PRIVATE -static -static-libgcc -static-libstdc++
            $<$<CONFIG:MinSizeRel>:-Wl,--gc-sections> $<$<CONFIG:MinSizeRel>:-s>)
      endif()
    endif()
  endforeach()
  get_property(subdirs DIRECTORY ${dir} PROPERTY SUBDIRECTORIES)
  foreach(subdir ${subdirs})
    cmake_path(IS_PREFIX PROJECT_SOURCE_DIR ${subdir} NORMALIZE ours)
    if(ours)
      quern_apply_build_options(${subdir})
    endif()
  endforeach()
endfunction()
