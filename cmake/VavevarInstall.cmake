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

configure_file(${PROJECT_SOURCE_DIR}/cmake/vavevar.pc.in
  ${PROJECT_BINARY_DIR}/vavevar.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/vavevar.pc
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
