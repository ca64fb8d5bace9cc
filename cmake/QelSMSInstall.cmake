# Installation: headers, the library, a CMake package and a pkg-config file.
#
# Two install components, so a Debian-style split is possible: Runtime (the
# shared object) and Development (everything a build of an application needs).
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

if(NOT QELSMS_INSTALL)
  return()
endif()

set(QELSMS_CMAKE_DIR "${CMAKE_INSTALL_LIBDIR}/cmake/QelSMS")
set(QELSMS_PKGCONFIG_DIR "${CMAKE_INSTALL_LIBDIR}/pkgconfig")

get_target_property(QELSMS_LIBRARY_TYPE qelsms TYPE)
if(QELSMS_LIBRARY_TYPE STREQUAL "SHARED_LIBRARY")
  set(QELSMS_SHARED ON)
else()
  set(QELSMS_SHARED OFF)
endif()

install(TARGETS qelsms EXPORT QelSMSTargets
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT Runtime
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT Runtime NAMELINK_COMPONENT Development
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT Development
  INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(DIRECTORY "${PROJECT_SOURCE_DIR}/include/qelsms" DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}
  COMPONENT Development FILES_MATCHING PATTERN "*.hpp")
install(FILES "${PROJECT_BINARY_DIR}/include/qelsms/version.hpp" DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/qelsms
  COMPONENT Development)
install(EXPORT QelSMSTargets NAMESPACE QelSMS:: DESTINATION ${QELSMS_CMAKE_DIR} COMPONENT Development)

configure_package_config_file("${PROJECT_SOURCE_DIR}/cmake/QelSMSConfig.cmake.in"
  "${PROJECT_BINARY_DIR}/QelSMSConfig.cmake" INSTALL_DESTINATION ${QELSMS_CMAKE_DIR})
write_basic_package_version_file("${PROJECT_BINARY_DIR}/QelSMSConfigVersion.cmake"
  COMPATIBILITY SameMajorVersion)
install(FILES "${PROJECT_BINARY_DIR}/QelSMSConfig.cmake" "${PROJECT_BINARY_DIR}/QelSMSConfigVersion.cmake"
  DESTINATION ${QELSMS_CMAKE_DIR} COMPONENT Development)

# Two forms of the .pc file; the install picks one once it knows the prefix.
# Into /usr or /usr/local (a distribution package, DESTDIR staging, a plain
# `cmake --install`) the paths are named as they are: pkg-config then drops
# -I/usr/include, and GCC ignores -I for a system directory it recognises; a
# path through ${pcfiledir}/../.. hides the directory from both, and GCC's
# #include_next breaks behind it. Any other prefix is derived from where the
# file lies, so an installed tree still works after it is moved. A package
# unpacked elsewhere is found with pkg-config --define-variable=prefix=DIR.
if(IS_ABSOLUTE "${QELSMS_PKGCONFIG_DIR}")
  set(QELSMS_PC_RELOCATABLE_PREFIX "${CMAKE_INSTALL_PREFIX}")
else()
  file(RELATIVE_PATH QELSMS_PC_UP "/prefix/${QELSMS_PKGCONFIG_DIR}" "/prefix")
  set(QELSMS_PC_RELOCATABLE_PREFIX "\${pcfiledir}/${QELSMS_PC_UP}")
  string(REGEX REPLACE "/$" "" QELSMS_PC_RELOCATABLE_PREFIX "${QELSMS_PC_RELOCATABLE_PREFIX}")
endif()
if(IS_ABSOLUTE "${CMAKE_INSTALL_LIBDIR}")
  set(QELSMS_PC_LIBDIR "${CMAKE_INSTALL_LIBDIR}")
else()
  set(QELSMS_PC_LIBDIR "\${prefix}/${CMAKE_INSTALL_LIBDIR}")
endif()
if(IS_ABSOLUTE "${CMAKE_INSTALL_INCLUDEDIR}")
  set(QELSMS_PC_INCLUDEDIR "${CMAKE_INSTALL_INCLUDEDIR}")
else()
  set(QELSMS_PC_INCLUDEDIR "\${prefix}/${CMAKE_INSTALL_INCLUDEDIR}")
endif()

if(QELSMS_SHARED)
  # The shared object carries its own references to curl and OpenSSL, so an
  # application links only against libqelsms.
  set(QELSMS_PC_REQUIRES "")
  set(QELSMS_PC_REQUIRES_PRIVATE "libcurl >= 7.80 openssl")
  set(QELSMS_PC_LIBS "")
  set(QELSMS_PC_LIBS_PRIVATE "-pthread")
else()
  # A static archive needs its dependencies on the application's link line,
  # also without --static, or `pkg-config --libs qelsms` alone would not link.
  set(QELSMS_PC_REQUIRES "libcurl >= 7.80 openssl")
  set(QELSMS_PC_REQUIRES_PRIVATE "")
  set(QELSMS_PC_LIBS "-pthread")
  set(QELSMS_PC_LIBS_PRIVATE "")
endif()
set(QELSMS_PC_PREFIX "${QELSMS_PC_RELOCATABLE_PREFIX}")
configure_file("${PROJECT_SOURCE_DIR}/cmake/qelsms.pc.in" "${PROJECT_BINARY_DIR}/pkgconfig/relocatable/qelsms.pc" @ONLY)
set(QELSMS_PC_PREFIX "@QELSMS_INSTALL_PREFIX@")
configure_file("${PROJECT_SOURCE_DIR}/cmake/qelsms.pc.in" "${PROJECT_BINARY_DIR}/pkgconfig/system/qelsms.pc.in" @ONLY)
if(IS_ABSOLUTE "${QELSMS_PKGCONFIG_DIR}")
  set(QELSMS_PC_DESTINATION "${QELSMS_PKGCONFIG_DIR}")
else()
  set(QELSMS_PC_DESTINATION "\${CMAKE_INSTALL_PREFIX}/${QELSMS_PKGCONFIG_DIR}")
endif()
install(CODE "
  string(REGEX REPLACE \"(.)/+$\" \"\\\\1\" QELSMS_INSTALL_PREFIX \"\${CMAKE_INSTALL_PREFIX}\")
  if(QELSMS_INSTALL_PREFIX MATCHES \"^/usr(/local)?$\")
    configure_file(\"${PROJECT_BINARY_DIR}/pkgconfig/system/qelsms.pc.in\"
      \"${PROJECT_BINARY_DIR}/pkgconfig/system/qelsms.pc\" @ONLY)
    set(qelsms_pc \"${PROJECT_BINARY_DIR}/pkgconfig/system/qelsms.pc\")
  else()
    set(qelsms_pc \"${PROJECT_BINARY_DIR}/pkgconfig/relocatable/qelsms.pc\")
  endif()
  file(INSTALL DESTINATION \"${QELSMS_PC_DESTINATION}\" TYPE FILE FILES \"\${qelsms_pc}\")
" COMPONENT Development)
