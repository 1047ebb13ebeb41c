include(CMakePackageConfigHelpers)

install(TARGETS vavevar vavevar_static EXPORT vavevarTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${PROJECT_SOURCE_DIR}/include/vavevar.h ${PROJECT_SOURCE_DIR}/include/vavevar.hpp
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(EXPORT vavevarTargets NAMESPACE vavevar::
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/vavevar)

configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/vavevarConfig.cmake.in
  ${PROJECT_BINARY_DIR}/vavevarConfig.cmake
  INSTALL_DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/vavevar)
write_basic_package_version_file(${PROJECT_BINARY_DIR}/vavevarConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/vavevarConfig.cmake
              ${PROJECT_BINARY_DIR}/vavevarConfigVersion.cmake
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/vavevar)

# The pkg-config file finds the prefix from its own place, so that it stays
# right for any `cmake --install --prefix`. The library is C++: a static link from C needs
# the C++ standard library and what that needs (threads, libm), which the C++
# compiler driver would otherwise add.
if(IS_ABSOLUTE "${CMAKE_INSTALL_LIBDIR}")
  # Installed outside the prefix: nothing to find it from.
  set(VAVEVAR_PC_PREFIX "${CMAKE_INSTALL_PREFIX}")
  set(VAVEVAR_PC_LIBDIR "${CMAKE_INSTALL_LIBDIR}")
else()
  file(RELATIVE_PATH up /prefix/${CMAKE_INSTALL_LIBDIR}/pkgconfig /prefix)
  string(REGEX REPLACE "/$" "" up "${up}")
  set(VAVEVAR_PC_PREFIX "\${pcfiledir}/${up}")
  set(VAVEVAR_PC_LIBDIR "\${prefix}/${CMAKE_INSTALL_LIBDIR}")
endif()
if(IS_ABSOLUTE "${CMAKE_INSTALL_INCLUDEDIR}")
  set(VAVEVAR_PC_INCLUDEDIR "${CMAKE_INSTALL_INCLUDEDIR}")
else()
  set(VAVEVAR_PC_INCLUDEDIR "\${prefix}/${CMAKE_INSTALL_INCLUDEDIR}")
endif()
configure_file(${PROJECT_SOURCE_DIR}/cmake/vavevar.pc.in
  ${PROJECT_BINARY_DIR}/vavevar.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/vavevar.pc
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

# Prose for people who have only the installed package: the README and the
# documents it links to, in share/doc/vavevar.
file(GLOB VAVEVAR_DOCS ${PROJECT_SOURCE_DIR}/docs/*.md)
install(FILES ${PROJECT_SOURCE_DIR}/README.md ${VAVEVAR_DOCS}
  DESTINATION ${CMAKE_INSTALL_DOCDIR})

# The daemon's configuration file, every setting commented out: installed, it
# changes nothing until someone edits it, and shows them what there is to set.
# The daemon looks for it in /etc/vavevar whatever its prefix, so the system
# prefix /usr (a package) puts it there; any other prefix keeps it below
# itself (etc/vavevar), where installing needs no rights over /etc.
if(CMAKE_INSTALL_PREFIX STREQUAL "/usr")
  set(VAVEVAR_CONF_DESTINATION ${CMAKE_INSTALL_FULL_SYSCONFDIR}/vavevar)
else()
  set(VAVEVAR_CONF_DESTINATION ${CMAKE_INSTALL_SYSCONFDIR}/vavevar)
endif()
install(FILES ${PROJECT_SOURCE_DIR}/packaging/vavevard.conf
  DESTINATION ${VAVEVAR_CONF_DESTINATION})
