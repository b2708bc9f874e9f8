# The Windows programs as they ship. Included by the top-level CMakeLists.txt
# after every program target exists.

# The setup stub's replacements of C++ runtime parts it must not carry
# (platform/win32/runtime/SmallRuntime.cpp): objects, so they are linked
# ahead of the runtime library.
add_library(quern_small_runtime OBJECT ${CMAKE_SOURCE_DIR}/platform/win32/runtime/SmallRuntime.cpp)

# quern_windows_program(TARGET [SMALL_RUNTIME])
function(quern_windows_program target)
  cmake_parse_arguments(arg "SMALL_RUNTIME" "" "" ${ARGN})
  if(NOT TARGET ${target})
    return()
  endif()
  if(arg_SMALL_RUNTIME)
    target_link_libraries(${target} PRIVATE quern_small_runtime)
  endif()
endfunction()

quern_windows_program(setup SMALL_RUNTIME)
