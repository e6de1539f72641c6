# Debian package of the monitor, the exporter and the common library,
# built with `cpack -G DEB` in the build tree.  The runtime dependencies
# come from dpkg-shlibdeps (libc6, libgcc-s1, libstdc++6, libssl3,
# libzstd1, liblz4-1, libncurses6, libtinfo6, and for zpr_exporter
# libcivetweb1, libprometheus-cpp-core1.0 and libprometheus-cpp-pull1.0);
# the -dev packages a tool needs to link the library are
# suggested, and Prometheus is.  The licence goes with the installed tree
# (ZprInstall.cmake), as share/doc/zpr-monitor/copyright.

# The suite version "1.0.2-alpha027" becomes the Debian version
# "1.0.2~alpha027", which sorts before the final 1.0.2.
file(STRINGS "${PROJECT_SOURCE_DIR}/lib/runtime/version.h" zpr_version_line
  REGEX "VERSION_STRING\\[\\] = \"[^\"]+\"")
if(zpr_version_line MATCHES "\"([^\"]+)\"")
  set(zpr_suite_version "${CMAKE_MATCH_1}")
else()
  set(zpr_suite_version "${PROJECT_VERSION}")
endif()
string(REPLACE "-" "~" zpr_deb_version "${zpr_suite_version}")

set(CPACK_PACKAGE_NAME "zpr-monitor")
set(CPACK_PACKAGE_VENDOR "zpr")
set(CPACK_PACKAGE_CONTACT "zpr maintainers <zpr@localhost>")
set(CPACK_PACKAGE_VERSION "${zpr_deb_version}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
  "progress monitor and Prometheus exporter of the zpr backup suite, with its common library")
set(CPACK_PACKAGE_DESCRIPTION
  "zpr_monitor shows the progress of the zpr backup suite's running worker
tools (backup agents, restores and their orchestrators) live in a terminal,
or dumps it as tab-separated lines for scripts. zpr_exporter makes the same
progress, and the last result of every job, visible to Prometheus (over
HTTP, as a node_exporter textfile, or once as JSON), with a systemd unit.
The package also holds the
suite's common library (static archives, headers, CMake package and
pkg-config file) on which the worker tools are built.")
set(CPACK_PACKAGE_INSTALL_DIRECTORY "zpr")
set(CPACK_PACKAGING_INSTALL_PREFIX "/usr")
set(CPACK_STRIP_FILES ON)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_DEBIAN_PACKAGE_SECTION "admin")
set(CPACK_DEBIAN_PACKAGE_PRIORITY "optional")
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# Without dpkg-shlibdeps cpack would build a package that depends on nothing.
find_program(ZPR_DPKG_SHLIBDEPS dpkg-shlibdeps)
if(NOT ZPR_DPKG_SHLIBDEPS)
  message(WARNING "dpkg-shlibdeps (dpkg-dev) not found: a package built now would list no "
    "dependencies; install dpkg-dev before running cpack")
endif()
set(CPACK_DEBIAN_PACKAGE_SUGGESTS
  "libssl-dev, libzstd-dev, liblz4-dev, pkg-config, bash-completion, prometheus, prometheus-node-exporter")

set(CPACK_GENERATOR "DEB")
set(CPACK_SOURCE_GENERATOR "TGZ")
set(CPACK_SOURCE_IGNORE_FILES "/\\\\.git/" "/build[^/]*/")

include(CPack)
