# cmake --install and cpack.
#
#   bin/                     quern, mksetup, inst32            component programs
#   share/quern/stubs/       the setup stub, where an installed mksetup looks
#                            for it by default (../share/quern/stubs from bin/)
#   share/man/man1/          quern.1, mksetup.1 (man/)
#   include/quern/           the libraries' public headers      component development
#   lib/                     libquern_{platform,codecs,archive,config}.a
#   lib/cmake/quern/         the package: find_package(quern CONFIG) gives
#                            quern::archive, quern::codecs, quern::config
include(CMakePackageConfigHelpers)

install(TARGETS quern mksetup wizard RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT programs)
install(TARGETS setup RUNTIME DESTINATION ${CMAKE_INSTALL_DATADIR}/quern/stubs COMPONENT programs)
# The stub ships without its symbols: the build tree keeps them for debugging.
if(CMAKE_STRIP)
  install(CODE "execute_process(COMMAND \"${CMAKE_STRIP}\" --strip-all
      \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_DATADIR}/quern/stubs/$<TARGET_FILE_NAME:setup>\"
      COMMAND_ERROR_IS_FATAL ANY)" COMPONENT programs)
endif()

set(quern_libraries platform errors codecs archive config)
foreach(name ${quern_libraries})
  set_target_properties(quern_${name} PROPERTIES EXPORT_NAME ${name})
  install(DIRECTORY include/${name}/ DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT development)
endforeach()
list(TRANSFORM quern_libraries PREPEND quern_ OUTPUT_VARIABLE quern_library_targets)
install(TARGETS ${quern_library_targets} EXPORT quernTargets
        ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT development)
set(package_dir ${CMAKE_INSTALL_LIBDIR}/cmake/quern)
install(EXPORT quernTargets NAMESPACE quern:: DESTINATION ${package_dir} COMPONENT development)
configure_package_config_file(cmake/quernConfig.cmake.in ${PROJECT_BINARY_DIR}/quernConfig.cmake
                              INSTALL_DESTINATION ${package_dir})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/quernConfigVersion.cmake
                                 COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/quernConfig.cmake ${PROJECT_BINARY_DIR}/quernConfigVersion.cmake
        DESTINATION ${package_dir} COMPONENT development)

# cpack in a build directory: a .deb and a .tar.gz of everything on Linux, a
# .zip of the programs and the stub from a Windows cross build.
set(CPACK_PACKAGE_NAME quern)
set(CPACK_PACKAGE_VENDOR "Quillset")
set(CPACK_PACKAGE_CONTACT "Quillset developers <quern@quillset.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_DESCRIPTION}")
set(CPACK_PACKAGE_DIRECTORY ${PROJECT_BINARY_DIR}/packages)
set(CPACK_STRIP_FILES ON)
if(WIN32)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_SYSTEM_NAME windows-${CMAKE_SYSTEM_PROCESSOR})
  set(CPACK_INSTALL_CMAKE_PROJECTS "${PROJECT_BINARY_DIR};quern;programs;/")
else()
  set(CPACK_GENERATOR DEB TGZ)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION utils)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
endif()
include(CPack)
