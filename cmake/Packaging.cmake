# The Debian package smc-sensors (cpack -G DEB from the build directory):
# everything that `cmake --install` puts under the prefix /usr.
set(SMC_PACKAGE_MAINTAINER "SMC sensors maintainers <maintainers@users.noreply.c-seed-21ba87e5.example>"
    CACHE STRING "Maintainer field of the Debian package")

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME smc-sensors)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "${SMC_PACKAGE_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "sensors, fans and keys of a System Management Controller")
set(CPACK_PACKAGE_DESCRIPTION "\
Tools and a library for machines with a System Management Controller (SMC):
smc reads, lists and writes SMC keys and shows the fans; sensors-host reports
temperatures and fans as text, JSON or Prometheus metrics; smcd shares one SMC
among processes and brokers fan changes; smcfan sets fans in rpm; smcfand
drives the fans by the temperatures through smcd; smcfs serves the Linux
applesmc driver's files from any SMC over FUSE. Includes the access
library libsmc-sensors with its headers, a CMake package and a pkg-config
file, and an emulated SMC built from machine profiles.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${SMC_PACKAGE_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# Depends from the binaries themselves; libIOKit and libFoundation are the
# package's own, in its private directory.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# (dpkg-shlibdeps runs in the staging directory.)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS usr/${SMC_PRIVATE_LIBDIR})
# smcfs mounts with fusermount3; lm-sensors reads what smcfs serves, and
# Prometheus scrapes sensors-host.
# postinst makes the broker's group and the controller's user with
# systemd-sysusers, or adduser where it is missing.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "adduser | systemd")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "fuse3")
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "lm-sensors, prometheus-node-exporter")

# Maintainer scripts (the daemon's group and unit), where they exist.
set(control_extra)
foreach(script IN ITEMS postinst prerm postrm)
    if(EXISTS ${PROJECT_SOURCE_DIR}/contrib/debian/${script})
        list(APPEND control_extra ${PROJECT_SOURCE_DIR}/contrib/debian/${script})
    endif()
endforeach()
# ldconfig runs through dpkg's trigger, once for all packages of a run.
file(WRITE ${CMAKE_BINARY_DIR}/debian/triggers "activate-noawait ldconfig\n")
# The shlibs file names the public library alone: libIOKit, libFoundation
# and the module are the package's own, in its private directory, and have
# no soname version for others to depend on (cpack's own would warn of each).
file(WRITE ${CMAKE_BINARY_DIR}/debian/shlibs "libsmc-sensors 0 smc-sensors (>= ${CPACK_PACKAGE_VERSION})\n")
list(APPEND control_extra ${CMAKE_BINARY_DIR}/debian/triggers ${CMAKE_BINARY_DIR}/debian/shlibs)
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA "${control_extra}")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

# Debian's copyright file and a compressed changelog of the package version.
set(SMC_DEB_VERSION ${CPACK_PACKAGE_VERSION}-${CPACK_DEBIAN_PACKAGE_RELEASE})
set(doc_dir ${CMAKE_INSTALL_DATADIR}/doc/${CPACK_PACKAGE_NAME})
configure_file(${PROJECT_SOURCE_DIR}/contrib/debian/changelog ${CMAKE_BINARY_DIR}/debian/changelog.Debian @ONLY)
find_program(SMC_GZIP gzip REQUIRED)
execute_process(COMMAND ${SMC_GZIP} -9nf ${CMAKE_BINARY_DIR}/debian/changelog.Debian COMMAND_ERROR_IS_FATAL ANY)
install(FILES ${CMAKE_BINARY_DIR}/debian/changelog.Debian.gz ${PROJECT_SOURCE_DIR}/contrib/debian/copyright
        DESTINATION ${doc_dir})
# The lintian warnings this package means to have, each with its reason.
install(FILES ${PROJECT_SOURCE_DIR}/contrib/debian/lintian-overrides
        DESTINATION ${CMAKE_INSTALL_DATADIR}/lintian/overrides RENAME ${CPACK_PACKAGE_NAME})

include(CPack)
