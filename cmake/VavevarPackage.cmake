# One Debian package, `vavevar`, made by CPack (`make package` builds it from
# a Release tree configured with the prefix /usr): the shared and static
# library, the headers, the CMake and pkg-config files, the daemon, the tool,
# the systemd units, the manual pages, the documents and the daemon's
# configuration file. Everything an application needs to build against the
# library and run against the daemon comes in one piece, so nothing can be
# installed out of step with anything else.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME vavevar)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "vavevar developers")
# The tree names no address or web site of its own: whoever publishes the
# package sets them (-DVAVEVAR_PACKAGE_MAINTAINER=..., -DVAVEVAR_PACKAGE_HOMEPAGE=...).
set(VAVEVAR_PACKAGE_MAINTAINER "vavevar developers <vavevar-devel@localhost>" CACHE STRING
    "Maintainer field of the Debian package")
set(VAVEVAR_PACKAGE_HOMEPAGE "" CACHE STRING "Homepage field of the Debian package (none when empty)")
set(CPACK_PACKAGE_CONTACT "${VAVEVAR_PACKAGE_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "local publish/subscribe notifications: library, daemon and tool")
set(CPACK_PACKAGE_DESCRIPTION
"vavevar lets the processes of one machine tell each other about events
(alarms, state changes, membership) without knowing about each other.
Publishers send notifications with a type, named text properties and an
optional body to the daemon vavevard, which delivers each to every
subscriber whose filter matches it.

This package holds the C library (shared and static, with the C header and
a header-only C++20 interface, pkg-config and CMake files), the daemon
vavevard with its systemd service and socket units, the command-line tool
vavevar, and their manual pages.")
set(CPACK_PACKAGE_INSTALL_DIRECTORY vavevar)

# The package is installed into the system (and /etc/vavevar is outside the
# prefix): CPack must stage the files through DESTDIR, or an absolute
# destination would be written into the build machine's own /etc.
set(CPACK_SET_DESTDIR ON)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)

set(CPACK_DEBIAN_PACKAGE_NAME vavevar)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
if(VAVEVAR_PACKAGE_HOMEPAGE)
  set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "${VAVEVAR_PACKAGE_HOMEPAGE}")
endif()
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${CPACK_PACKAGE_CONTACT}")

find_program(VAVEVAR_DPKG dpkg)
if(VAVEVAR_DPKG)
  execute_process(COMMAND ${VAVEVAR_DPKG} --print-architecture
    OUTPUT_VARIABLE VAVEVAR_DEB_ARCH OUTPUT_STRIP_TRAILING_WHITESPACE)
  set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${VAVEVAR_DEB_ARCH})
endif()

# Dependencies from what the binaries really link (libc, libstdc++, libgcc),
# where dpkg-shlibdeps is there to work them out.
find_program(VAVEVAR_DPKG_SHLIBDEPS dpkg-shlibdeps)
if(VAVEVAR_DPKG_SHLIBDEPS)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
else()
  message(STATUS "dpkg-shlibdeps not found: the package declares no dependencies")
endif()

# The programs and library go in without their symbol tables.
set(CPACK_STRIP_FILES ON)

# The library's shlibs entry, by which other packages' dpkg-shlibdeps depend
# on this one, and the ldconfig trigger that Debian asks of a package with a
# shared library. (CPack also calls ldconfig from postinst and postrm, for any
# shared library it finds in /usr/lib, and has no switch to leave that out.)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
set(control_dir ${PROJECT_BINARY_DIR}/debian)
file(WRITE ${control_dir}/triggers "activate-noawait ldconfig\n")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${control_dir}/triggers)

# The configuration file is the administrator's once installed: as a conffile
# dpkg keeps their edits across upgrades and asks before replacing them.
if(VAVEVAR_CONF_DESTINATION MATCHES "^/")
  file(WRITE ${control_dir}/conffiles "${VAVEVAR_CONF_DESTINATION}/vavevard.conf\n")
  list(APPEND CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${control_dir}/conffiles)
endif()

include(CPack)
