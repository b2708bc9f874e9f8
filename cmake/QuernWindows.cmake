# The Windows programs as they ship: each with a manifest and version
# information, the setup stub also with its icon and a smaller C++ runtime.
# Included by the top-level CMakeLists.txt after every program target exists.

set(QUERN_PRODUCT "Quillset" CACHE STRING "ProductName in the programs' version information")
set(QUERN_COMPANY "Quillset" CACHE STRING "CompanyName in the programs' version information")
set(QUERN_COPYRIGHT "Copyright (C) 2026 the Quillset developers" CACHE STRING
    "LegalCopyright in the programs' version information")

# The setup stub's replacements of C++ runtime parts it must not carry
# (platform/win32/runtime/SmallRuntime.cpp): objects, so they are linked
# ahead of the runtime library.
add_library(quern_small_runtime OBJECT ${PROJECT_SOURCE_DIR}/platform/win32/runtime/SmallRuntime.cpp)

if(NOT CMAKE_RC_COMPILER)
  find_program(CMAKE_RC_COMPILER NAMES ${CMAKE_SYSTEM_PROCESSOR}-w64-mingw32-windres windres REQUIRED)
endif()

# quern_windows_program(TARGET DESCRIPTION text [ICON file.ico] [SMALL_RUNTIME])
function(quern_windows_program target)
  cmake_parse_arguments(arg "SMALL_RUNTIME" "DESCRIPTION;ICON" "" ${ARGN})
  if(NOT TARGET ${target})
    return()
  endif()
  if(arg_SMALL_RUNTIME)
    target_link_libraries(${target} PRIVATE quern_small_runtime)
  endif()

  # The version numbers come from project(); a project without one is 0.0.0.
  set(major 0)
  set(minor 0)
  set(patch 0)
  foreach(part major minor patch)
    string(TOUPPER ${part} PART)
    if(NOT "${PROJECT_VERSION_${PART}}" STREQUAL "")
      set(${part} ${PROJECT_VERSION_${PART}})
    endif()
  endforeach()
  get_target_property(output_name ${target} OUTPUT_NAME)
  if(NOT output_name)
    set(output_name ${target})
  endif()
  set(QUERN_RES_NAME ${output_name})
  set(QUERN_RES_FILENAME ${output_name}.exe)
  set(QUERN_RES_DESCRIPTION "${arg_DESCRIPTION}")
  set(QUERN_RES_VERSION ${major}.${minor}.${patch})
  set(QUERN_RES_VERSION4 ${major}.${minor}.${patch}.0)
  set(QUERN_RES_VERSION_COMMAS ${major},${minor},${patch},0)
  set(QUERN_RES_ICON_LINE "")
  if(arg_ICON)
    set(QUERN_RES_ICON_LINE "1 ICON \"${arg_ICON}\"")
  endif()

  set(dir ${PROJECT_BINARY_DIR}/res/${target})
  set(QUERN_RES_MANIFEST ${dir}/${output_name}.exe.manifest)
  configure_file(${PROJECT_SOURCE_DIR}/platform/win32/res/Program.manifest.in ${QUERN_RES_MANIFEST} @ONLY)
  configure_file(${PROJECT_SOURCE_DIR}/platform/win32/res/Program.rc.in ${dir}/${output_name}.rc @ONLY)
  # windres directly, not CMake's RC language: the project's warning options
  # are meant for the C++ compiler only.
  add_custom_command(
    OUTPUT ${dir}/${output_name}.res.obj
    COMMAND ${CMAKE_RC_COMPILER} -O coff -I ${dir} -i ${dir}/${output_name}.rc -o ${dir}/${output_name}.res.obj
    DEPENDS ${dir}/${output_name}.rc ${QUERN_RES_MANIFEST} ${arg_ICON}
    VERBATIM)
  # The program lives in another directory, which cannot see this command's
  # output as a source: the object goes on its link line instead.
  add_custom_target(quern_res_${target} DEPENDS ${dir}/${output_name}.res.obj)
  add_dependencies(${target} quern_res_${target})
  target_link_libraries(${target} PRIVATE ${dir}/${output_name}.res.obj)
  set_property(TARGET ${target} APPEND PROPERTY LINK_DEPENDS ${dir}/${output_name}.res.obj)
endfunction()

# The project's version as project() gives it, for scripts/windows-tests.sh to
# compare the programs' version information with.
set(version "${PROJECT_VERSION}")
if(version STREQUAL "")
  set(version 0.0.0)
endif()
file(WRITE ${PROJECT_BINARY_DIR}/res/project-version "${version}\n")

set(res ${PROJECT_SOURCE_DIR}/platform/win32/res)
quern_windows_program(setup DESCRIPTION "Quillset Setup Utility" ICON ${res}/setup.ico SMALL_RUNTIME)
quern_windows_program(wizard DESCRIPTION "Quillset Installation Wizard")
quern_windows_program(quern DESCRIPTION "Quillset archive tool")
quern_windows_program(mksetup DESCRIPTION "Quillset setup maker")
