# Debian packages with `cpack -G DEB`:
#   libqelsms-dev  headers, CMake package, pkg-config file and the static
#                  archive (or the shared object's link name)
#   libqelsms1     the shared object, only for a BUILD_SHARED_LIBS=ON build
#   qelsms-tools   qelsms, qelsms-sandbox, qelsms-with-sandbox and their manual
#                  pages, when the build has the tools and the sandbox
# Configure with -DCMAKE_INSTALL_PREFIX=/usr so the library lands in Debian's
# multiarch directory (scripts/package-deb.sh does).
if(NOT QELSMS_TOP_LEVEL OR NOT QELSMS_INSTALL)
  return()
endif()

set(CPACK_PACKAGE_NAME "qelsms")
set(CPACK_PACKAGE_VENDOR "QelSMS developers")
set(CPACK_PACKAGE_CONTACT "QelSMS developers <maintainers@users.noreply.c-seed-814c6f70.example>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_DESCRIPTION}")
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_PACKAGE_DIRECTORY "${PROJECT_BINARY_DIR}/packages")

set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION "libdevel")
set(CPACK_DEBIAN_PACKAGE_PRIORITY "optional")

set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_NAME "libqelsms-dev")
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_SECTION "libdevel")
set(CPACK_COMPONENT_DEVELOPMENT_DESCRIPTION
  "Development files: headers, the CMake package (find_package(QelSMS)) and the pkg-config file\n\
(qelsms.pc) of QelSMS, a client library that asks an SMS account's balance\n\
and submits single, bulk and per-number messages.")
# The headers include <nlohmann/json.hpp>; qelsms.pc names libcurl and openssl
# (as Requires.private for the shared object), so their -dev packages come too.
set(QELSMS_DEB_DEV_DEPENDS "nlohmann-json3-dev (>= 3.10), libcurl4-openssl-dev (>= 7.80) | libcurl-dev, libssl-dev")

get_target_property(QELSMS_PACKAGE_LIBRARY_TYPE qelsms TYPE)
if(QELSMS_PACKAGE_LIBRARY_TYPE STREQUAL "SHARED_LIBRARY")
  set(CPACK_COMPONENTS_ALL Runtime Development)
  set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME "libqelsms${PROJECT_VERSION_MAJOR}")
  set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION "libs")
  set(CPACK_DEBIAN_RUNTIME_PACKAGE_SHLIBDEPS ON)
  # A shlibs file and the ldconfig trigger, as Debian's shared libraries have.
  set(CPACK_DEBIAN_RUNTIME_PACKAGE_GENERATE_SHLIBS ON)
  set(CPACK_COMPONENT_RUNTIME_DESCRIPTION
    "QelSMS asks an SMS account's balance and submits single, bulk and\n\
per-number messages to the QelSMS REST service.")
  string(APPEND QELSMS_DEB_DEV_DEPENDS
    ", libqelsms${PROJECT_VERSION_MAJOR} (= ${PROJECT_VERSION})")
  set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_DEPENDS "${QELSMS_DEB_DEV_DEPENDS}")
else()
  set(CPACK_COMPONENTS_ALL Development)
  set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_DEPENDS "${QELSMS_DEB_DEV_DEPENDS}")
endif()
if(TARGET qelsms-cli AND TARGET qelsms-sandbox AND QELSMS_BUILD_SANDBOX)
  list(APPEND CPACK_COMPONENTS_ALL Tools)
  set(CPACK_DEBIAN_TOOLS_PACKAGE_NAME "qelsms-tools")
  set(CPACK_DEBIAN_TOOLS_PACKAGE_SECTION "net")
  set(CPACK_DEBIAN_TOOLS_PACKAGE_SHLIBDEPS ON)
  # A shared build's programs need libqelsms1, which dpkg-shlibdeps finds in
  # the build tree.
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS "${PROJECT_BINARY_DIR}/src")
  if(QELSMS_PACKAGE_LIBRARY_TYPE STREQUAL "SHARED_LIBRARY")
    set(CPACK_DEBIAN_TOOLS_PACKAGE_DEPENDS "libqelsms${PROJECT_VERSION_MAJOR} (= ${PROJECT_VERSION})")
  endif()
  set(CPACK_COMPONENT_TOOLS_DESCRIPTION
    "Command-line client and local sandbox of the QelSMS SMS service\n\
qelsms asks the balance and sends messages from a shell; qelsms-sandbox is a\n\
local stand-in of the service for the tests of applications, and\n\
qelsms-with-sandbox runs a command while one serves on a free port.")
endif()
# The development package recommends the tools its consumers build with.
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_RECOMMENDS "cmake (>= 3.25) | pkg-config")

set(CPACK_SOURCE_GENERATOR "TGZ")
set(CPACK_SOURCE_PACKAGE_FILE_NAME "qelsms-${PROJECT_VERSION}")
set(CPACK_SOURCE_IGNORE_FILES "/\\\\.git/" "/build/" "/\\\\.cache/" "\\\\.profraw$" "/fuzz/crash-" "/fuzz/leak-"
  "/fuzz/timeout-")

include(CPack)
