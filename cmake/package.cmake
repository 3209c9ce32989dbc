# Installation and packages: the executable with its configuration beside it,
# all in one directory (/opt/vardo unless another prefix is given), since the
# agent finds "<name>.conf" and writes "<name>.log" next to itself. Neither
# `cmake --install` nor the package starts or enables the agent: that is the
# job of `vardo -install`.

# Windows: `cpack -G ZIP` in the build directory gives vardo-<version>-win64.zip
# with the agent, the client and the sample configuration side by side.
if(VARDO_PLATFORM STREQUAL "win32")
  install(TARGETS vardo smtc RUNTIME DESTINATION .)
  install(FILES ${CMAKE_SOURCE_DIR}/vardo.conf.sample DESTINATION .)
  set(CPACK_PACKAGE_NAME vardo)
  set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
  set(CPACK_PACKAGE_VENDOR "vardo")
  set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "host monitoring agent")
  set(CPACK_PACKAGE_FILE_NAME vardo-${PROJECT_VERSION}-win64)
  set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY OFF)
  set(CPACK_STRIP_FILES TRUE)
  set(CPACK_GENERATOR ZIP)
  include(CPack)
  return()
endif()

if(CMAKE_INSTALL_PREFIX_INITIALIZED_TO_DEFAULT)
  set(CMAKE_INSTALL_PREFIX /opt/vardo CACHE PATH "Installation directory" FORCE)
endif()

install(TARGETS vardo RUNTIME DESTINATION .)
install(FILES ${CMAKE_SOURCE_DIR}/vardo.conf.sample DESTINATION .)
# vardo.conf is the sample on a first installation only: a configuration the
# administrator has edited is never overwritten by a later one.
install(CODE "set(VARDO_SAMPLE \"${CMAKE_SOURCE_DIR}/vardo.conf.sample\")")
install(CODE [[
  set(conf "$ENV{DESTDIR}${CMAKE_INSTALL_PREFIX}/vardo.conf")
  list(APPEND CMAKE_INSTALL_MANIFEST_FILES "${conf}")
  if(EXISTS "${conf}")
    message(STATUS "Keeping: ${conf}")
  else()
    message(STATUS "Installing: ${conf}")
    file(READ "${VARDO_SAMPLE}" text)
    file(WRITE "${conf}" "${text}")
  endif()
]])

# Debian package: `cpack -G DEB` in the build directory.
set(CPACK_PACKAGE_NAME vardo)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "vardo")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "host monitoring agent")
set(CPACK_PACKAGE_DESCRIPTION
    "vardo answers requests of its SMT protocol from a remote collector and\n\
watches text logs and the system journal for lines that match its\n\
facility filters. It installs as a systemd service with `vardo -install`.")
set(CPACK_PACKAGING_INSTALL_PREFIX /opt/vardo)
set(CPACK_STRIP_FILES TRUE)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "vardo maintainers <maintainers@vardo.invalid>")
set(CPACK_DEBIAN_PACKAGE_SECTION admin)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# The service verbs write a systemd unit and call systemctl.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS systemd)
find_program(VARDO_DPKG_SHLIBDEPS dpkg-shlibdeps)
if(VARDO_DPKG_SHLIBDEPS)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
else()
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6, libgcc-s1, libstdc++6")
  if(VARDO_EVENT_SOURCE STREQUAL "journal")
    string(APPEND CPACK_DEBIAN_PACKAGE_DEPENDS ", libsystemd0")
  endif()
  if(VARDO_PLATFORM STREQUAL "posix")
    string(APPEND CPACK_DEBIAN_PACKAGE_DEPENDS ", libssl3")  # TLS for the request server
  endif()
endif()
# dpkg keeps an edited configuration on upgrade (and asks when the packaged
# one changed too). The one maintainer script, postinst, makes the account
# vardo that the service runs as; installing the package leaves the service
# itself alone.
file(WRITE ${CMAKE_BINARY_DIR}/package/conffiles "${CPACK_PACKAGING_INSTALL_PREFIX}/vardo.conf\n")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${CMAKE_BINARY_DIR}/package/conffiles
                                       ${CMAKE_SOURCE_DIR}/cmake/debian/postinst)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION TRUE)
set(CPACK_GENERATOR DEB)
include(CPack)
