# Debian packages with `cpack -G DEB` (scripts/package-deb.sh builds them with
# Debian's hardening flags and checks them with lintian):
#   libqelsms1            the shared object, with shlibs and an ldconfig
#                         trigger (a BUILD_SHARED_LIBS=ON build)
#   libqelsms-dev         headers, CMake package, pkg-config file and the
#                         shared object's link name (shared build)
#   libqelsms-static-dev  the same development files with the static archive
#                         (static build); it conflicts with libqelsms-dev,
#                         whose files it shares
#   qelsms-tools          the qelsms command-line client and its manual page
#   qelsms-sandbox        the local test server qelsms-sandbox, its launcher
#                         qelsms-with-sandbox and their manual pages
# Each has a -dbgsym package (.ddeb) with the debug information stripped from
# its programs and libraries. Configure with -DCMAKE_INSTALL_PREFIX=/usr so the
# library lands in Debian's multiarch directory.
if(NOT QELSMS_TOP_LEVEL OR NOT QELSMS_INSTALL)
  return()
endif()

set(CPACK_PACKAGE_NAME "qelsms")
set(CPACK_PACKAGE_VENDOR "QelSMS developers")
set(CPACK_PACKAGE_CONTACT "QelSMS developers <maintainers@users.noreply.c-seed-814c6f70.example>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_DESCRIPTION}")
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_PACKAGE_DIRECTORY "${PROJECT_BINARY_DIR}/packages")
set(CPACK_RESOURCE_FILE_LICENSE "${PROJECT_SOURCE_DIR}/LICENSE")

set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_PRIORITY "optional")
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "https://api.qelsms.example/")
# CPack strips the programs and libraries itself, once their debug
# information is split out into a -dbgsym package each.
set(CPACK_STRIP_FILES OFF)
set(CPACK_DEBIAN_DEBUGINFO_PACKAGE ON)

get_target_property(QELSMS_PACKAGE_LIBRARY_TYPE qelsms TYPE)
if(QELSMS_PACKAGE_LIBRARY_TYPE STREQUAL "SHARED_LIBRARY")
  set(QELSMS_DEB_RUNTIME "libqelsms${PROJECT_VERSION_MAJOR}")
  set(QELSMS_DEB_DEV "libqelsms-dev")
  set(QELSMS_DEB_OTHER_DEV "libqelsms-static-dev")
else()
  set(QELSMS_DEB_DEV "libqelsms-static-dev")
  set(QELSMS_DEB_OTHER_DEV "libqelsms-dev")
endif()

# Every package carries the machine-readable copyright and the Debian
# changelog under /usr/share/doc/PACKAGE, as policy asks.
set(QELSMS_DEB_CHANGELOG "${PROJECT_BINARY_DIR}/deb/changelog")
configure_file("${PROJECT_SOURCE_DIR}/cmake/deb/changelog.in" "${QELSMS_DEB_CHANGELOG}" @ONLY)
execute_process(COMMAND gzip -9nc "${QELSMS_DEB_CHANGELOG}" OUTPUT_FILE "${QELSMS_DEB_CHANGELOG}.gz"
  RESULT_VARIABLE QELSMS_GZIP_RESULT)
if(NOT QELSMS_GZIP_RESULT EQUAL 0)
  message(FATAL_ERROR "gzip failed on ${QELSMS_DEB_CHANGELOG}")
endif()
function(qelsms_deb_docs component package)
  install(FILES "${PROJECT_SOURCE_DIR}/cmake/deb/copyright" "${QELSMS_DEB_CHANGELOG}.gz"
    DESTINATION "${CMAKE_INSTALL_DATAROOTDIR}/doc/${package}" COMPONENT ${component})
endfunction()

# The headers include <nlohmann/json.hpp>, and nlohmann's types are in the
# library's signatures under a namespace named after its release (3.11 and
# later): only the release the build used links with the library.
if(nlohmann_json_VERSION VERSION_LESS 3.11)
  set(QELSMS_DEB_JSON "nlohmann-json3-dev (>= 3.10), nlohmann-json3-dev (<< 3.11~)")
else()
  string(REGEX MATCH "^([0-9]+)\\.([0-9]+)\\.([0-9]+)" QELSMS_JSON_VERSION "${nlohmann_json_VERSION}")
  math(EXPR QELSMS_JSON_NEXT_PATCH "${CMAKE_MATCH_3} + 1")
  set(QELSMS_DEB_JSON "nlohmann-json3-dev (>= ${QELSMS_JSON_VERSION}), \
nlohmann-json3-dev (<< ${CMAKE_MATCH_1}.${CMAKE_MATCH_2}.${QELSMS_JSON_NEXT_PATCH}~)")
endif()
# qelsms.pc names libcurl and openssl (as Requires.private for the shared
# object), so their -dev packages come too.
set(QELSMS_DEB_DEV_DEPENDS "${QELSMS_DEB_JSON}, libcurl4-openssl-dev (>= 7.80) | libcurl-dev, libssl-dev")

set(CPACK_COMPONENTS_ALL Development)
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_NAME "${QELSMS_DEB_DEV}")
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_SECTION "libdevel")
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_CONFLICTS "${QELSMS_DEB_OTHER_DEV}")
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_REPLACES "${QELSMS_DEB_OTHER_DEV}")
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_RECOMMENDS "cmake (>= 3.25) | pkg-config")
qelsms_deb_docs(Development "${QELSMS_DEB_DEV}")

if(QELSMS_DEB_RUNTIME)
  list(APPEND CPACK_COMPONENTS_ALL Runtime)
  set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME "${QELSMS_DEB_RUNTIME}")
  set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION "libs")
  set(CPACK_DEBIAN_RUNTIME_PACKAGE_SHLIBDEPS ON)
  # The shlibs file makes dpkg-shlibdeps of a dependent package ask for this
  # version or later; the trigger runs ldconfig once after dpkg is done.
  # (CPack reads only the global variable; packages without a shared object
  # get no shlibs file.)
  set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
  set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
  set(CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_EXTRA "${PROJECT_SOURCE_DIR}/cmake/deb/triggers")
  set(CPACK_COMPONENT_RUNTIME_DESCRIPTION
    "client library for the QelSMS SMS service\n\
QelSMS asks an SMS account's balance and submits single, bulk and\n\
per-number messages to the QelSMS REST service.\n\
.\n\
This package holds the shared library.")
  string(APPEND QELSMS_DEB_DEV_DEPENDS ", ${QELSMS_DEB_RUNTIME} (= ${PROJECT_VERSION})")
  set(CPACK_COMPONENT_DEVELOPMENT_DESCRIPTION
    "client library for the QelSMS SMS service (development files)\n\
QelSMS asks an SMS account's balance and submits single, bulk and\n\
per-number messages to the QelSMS REST service.\n\
.\n\
This package holds the headers, the CMake package (find_package(QelSMS)),\n\
the pkg-config file (qelsms.pc) and the link to the shared library.")
  qelsms_deb_docs(Runtime "${QELSMS_DEB_RUNTIME}")
else()
  set(CPACK_COMPONENT_DEVELOPMENT_DESCRIPTION
    "client library for the QelSMS SMS service (static development files)\n\
QelSMS asks an SMS account's balance and submits single, bulk and\n\
per-number messages to the QelSMS REST service.\n\
.\n\
This package holds the headers, the CMake package (find_package(QelSMS)),\n\
the pkg-config file (qelsms.pc) and the static library. It conflicts with\n\
libqelsms-dev, which holds the same files for the shared library.")
endif()
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_DEPENDS "${QELSMS_DEB_DEV_DEPENDS}")

# A shared build's programs need libqelsms1, which dpkg-shlibdeps finds in the
# build tree.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS "${PROJECT_BINARY_DIR}/src")
if(TARGET qelsms-cli AND QELSMS_BUILD_TOOLS)
  list(APPEND CPACK_COMPONENTS_ALL Tools)
  set(CPACK_DEBIAN_TOOLS_PACKAGE_NAME "qelsms-tools")
  set(CPACK_DEBIAN_TOOLS_PACKAGE_SECTION "net")
  set(CPACK_DEBIAN_TOOLS_PACKAGE_SHLIBDEPS ON)
  set(CPACK_COMPONENT_TOOLS_DESCRIPTION
    "command-line client of the QelSMS SMS service\n\
qelsms asks an SMS account's balance and sends single, bulk and per-number\n\
messages through the QelSMS REST service from a shell, with exit statuses\n\
that tell whether a failed submission may have been processed.")
  qelsms_deb_docs(Tools qelsms-tools)
endif()
if(TARGET qelsms-sandbox AND QELSMS_BUILD_SANDBOX)
  list(APPEND CPACK_COMPONENTS_ALL Sandbox)
  set(CPACK_DEBIAN_SANDBOX_PACKAGE_NAME "qelsms-sandbox")
  set(CPACK_DEBIAN_SANDBOX_PACKAGE_SECTION "devel")
  set(CPACK_DEBIAN_SANDBOX_PACKAGE_SHLIBDEPS ON)
  set(CPACK_COMPONENT_SANDBOX_DESCRIPTION
    "local test server standing in for the QelSMS SMS service\n\
qelsms-sandbox serves the QelSMS REST API on the local machine for the\n\
tests of applications: accounts, billing by message parts, scheduled\n\
messages, a record of what arrived and faults on demand. Nothing is sent.\n\
qelsms-with-sandbox runs a command while a sandbox serves on a free port.\n\
.\n\
The server uses a test certificate authority whose private key is public:\n\
trust it only in tests, never on a machine that talks to the real service.")
  qelsms_deb_docs(Sandbox qelsms-sandbox)
endif()

set(CPACK_SOURCE_GENERATOR "TGZ")
set(CPACK_SOURCE_PACKAGE_FILE_NAME "qelsms-${PROJECT_VERSION}")
set(CPACK_SOURCE_IGNORE_FILES "/\\\\.git/" "/build/" "/\\\\.cache/" "\\\\.profraw$" "/fuzz/crash-" "/fuzz/leak-"
  "/fuzz/timeout-")

include(CPack)
