# Installation: headers, the library, a CMake package and a pkg-config file.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(QELSMS_CMAKE_DIR "${CMAKE_INSTALL_LIBDIR}/cmake/QelSMS")

install(TARGETS qelsms EXPORT QelSMSTargets
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(DIRECTORY "${PROJECT_SOURCE_DIR}/include/qelsms" DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(EXPORT QelSMSTargets NAMESPACE QelSMS:: DESTINATION ${QELSMS_CMAKE_DIR})

configure_package_config_file("${PROJECT_SOURCE_DIR}/cmake/QelSMSConfig.cmake.in"
  "${PROJECT_BINARY_DIR}/QelSMSConfig.cmake" INSTALL_DESTINATION ${QELSMS_CMAKE_DIR})
write_basic_package_version_file("${PROJECT_BINARY_DIR}/QelSMSConfigVersion.cmake"
  COMPATIBILITY SameMajorVersion)
install(FILES "${PROJECT_BINARY_DIR}/QelSMSConfig.cmake" "${PROJECT_BINARY_DIR}/QelSMSConfigVersion.cmake"
  DESTINATION ${QELSMS_CMAKE_DIR})

if(BUILD_SHARED_LIBS)
  set(QELSMS_PC_REQUIRES_PRIVATE "libcurl openssl")
  set(QELSMS_PC_LIBS_PRIVATE "-pthread")
  set(QELSMS_PC_REQUIRES "")
else()
  # A static archive needs its dependencies on the consumer's link line.
  set(QELSMS_PC_REQUIRES "libcurl openssl")
  set(QELSMS_PC_REQUIRES_PRIVATE "")
  set(QELSMS_PC_LIBS_PRIVATE "-pthread")
endif()
configure_file("${PROJECT_SOURCE_DIR}/cmake/qelsms.pc.in" "${PROJECT_BINARY_DIR}/qelsms.pc" @ONLY)
install(FILES "${PROJECT_BINARY_DIR}/qelsms.pc" DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
