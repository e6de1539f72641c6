# Installation: the programs, the common library (static archives, public
# headers, a CMake package and a pkg-config file), the manual page and the
# bash completion.  Included once, at the end of the top-level CMakeLists,
# when every target exists.
#
#   <prefix>/bin/zpr_monitor                              (zpr_demo, zpr_exporter)
#   <prefix>/include/zpr/<area>/*.h                       public headers
#   <prefix>/<libdir>/libzpr_<area>.a                     static archives
#   <prefix>/<libdir>/cmake/zpr/zprConfig.cmake           find_package(zpr CONFIG)
#   <prefix>/<libdir>/pkgconfig/zpr.pc                    pkg-config zpr
#   <prefix>/share/man/man1/zpr_monitor.1.gz             (and zpr_exporter.1.gz)
#   <prefix>/lib/systemd/system/zpr-exporter.service
#   <prefix>/share/bash-completion/completions/zpr_monitor
#   <prefix>/share/doc/zpr-monitor/copyright              the licence, as Debian lays it out

include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(ZPR_INSTALL_INCLUDEDIR "${CMAKE_INSTALL_INCLUDEDIR}/zpr")
set(ZPR_INSTALL_CMAKEDIR "${CMAKE_INSTALL_LIBDIR}/cmake/zpr")
set(ZPR_INSTALL_PKGCONFIGDIR "${CMAKE_INSTALL_LIBDIR}/pkgconfig")

# --- programs -----------------------------------------------------------

foreach(program IN ITEMS zpr_monitor zpr_demo zpr_exporter)
  if(TARGET ${program})
    install(TARGETS ${program} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  endif()
endforeach()

# --- manual page and completion -----------------------------------------

# Debian ships manual pages compressed; man reads both forms.
set(zpr_man_pages "")
foreach(page IN ITEMS zpr_monitor zpr_exporter)
  set(gz "${PROJECT_BINARY_DIR}/man/${page}.1.gz")
  add_custom_command(OUTPUT "${gz}"
    COMMAND ${CMAKE_COMMAND} -E make_directory "${PROJECT_BINARY_DIR}/man"
    COMMAND gzip -9 -n -c "${PROJECT_SOURCE_DIR}/man/${page}.1" > "${gz}"
    DEPENDS "${PROJECT_SOURCE_DIR}/man/${page}.1"
    COMMENT "Compressing the ${page} manual page"
    VERBATIM)
  list(APPEND zpr_man_pages "${gz}")
endforeach()
add_custom_target(zpr_man ALL DEPENDS ${zpr_man_pages})
install(FILES ${zpr_man_pages} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

# The exporter's systemd unit names the binary by its absolute path, which
# is only known at install time (cmake --install --prefix, or /usr in the
# package), so it is written then.  systemd reads units from
# /usr/lib/systemd/system and /usr/local/lib/systemd/system.
install(CODE "
  set(ZPR_UNIT_BINDIR \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}\")
  configure_file(\"${PROJECT_SOURCE_DIR}/contrib/systemd/zpr-exporter.service.in\"
    \"${PROJECT_BINARY_DIR}/contrib/zpr-exporter.service\" @ONLY)
  file(INSTALL \"${PROJECT_BINARY_DIR}/contrib/zpr-exporter.service\"
    DESTINATION \"\${CMAKE_INSTALL_PREFIX}/lib/systemd/system\")
")

install(FILES "${PROJECT_SOURCE_DIR}/completions/zpr_monitor"
  DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions)

# --- licence ----------------------------------------------------------------

# The package's copyright file in Debian's machine-readable form, made from
# LICENSE so that the two never disagree.  Debian names the MIT licence
# "Expat"; blank lines of a licence text are written as " .".
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${PROJECT_SOURCE_DIR}/LICENSE")
file(READ "${PROJECT_SOURCE_DIR}/LICENSE" zpr_license)
if(NOT zpr_license MATCHES "Copyright \\(c\\) ([^\n]+)\n\n(.*)$")
  message(FATAL_ERROR "LICENSE has no \"Copyright (c) <year> <holder>\" line")
endif()
set(zpr_copyright_holder "${CMAKE_MATCH_1}")
string(STRIP "${CMAKE_MATCH_2}" zpr_license_text)
string(REPLACE "\n\n" "\n.\n" zpr_license_text "${zpr_license_text}")
string(REPLACE "\n" "\n " zpr_license_text "${zpr_license_text}")
file(WRITE "${PROJECT_BINARY_DIR}/cmake/copyright"
  "Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/\n"
  "Upstream-Name: zpr\n"
  "\n"
  "Files: *\n"
  "Copyright: ${zpr_copyright_holder}\n"
  "License: Expat\n"
  " ${zpr_license_text}\n")
install(FILES "${PROJECT_BINARY_DIR}/cmake/copyright"
  DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/zpr-monitor)

# --- headers --------------------------------------------------------------

# Every header under lib/ is public except the *_internal.h ones, which
# only the library's own sources include.
install(DIRECTORY "${PROJECT_SOURCE_DIR}/lib/"
  DESTINATION ${ZPR_INSTALL_INCLUDEDIR}
  FILES_MATCHING PATTERN "*.h"
  PATTERN "*_internal.h" EXCLUDE)

# --- libraries and the CMake package -------------------------------------

# Include directories inside the source or build tree mean nothing to an
# installed package: keep them for the build only.  The installed targets
# get include/zpr through install(TARGETS ... INCLUDES DESTINATION).
function(zpr_build_only_includes target)
  get_target_property(dirs ${target} INTERFACE_INCLUDE_DIRECTORIES)
  if(NOT dirs)
    return()
  endif()
  set(kept "")
  foreach(dir IN LISTS dirs)
    if(NOT dir MATCHES "^\\$<" AND IS_ABSOLUTE "${dir}")
      cmake_path(IS_PREFIX PROJECT_SOURCE_DIR "${dir}" NORMALIZE in_source)
      cmake_path(IS_PREFIX PROJECT_BINARY_DIR "${dir}" NORMALIZE in_build)
      if(in_source OR in_build)
        set(dir "$<BUILD_INTERFACE:${dir}>")
      endif()
    endif()
    list(APPEND kept "${dir}")
  endforeach()
  set_property(TARGET ${target} PROPERTY INTERFACE_INCLUDE_DIRECTORIES "${kept}")
endfunction()

# Strips $<LINK_ONLY:...> from one link item.
function(zpr_link_item_name item out)
  if(item MATCHES "^\\$<LINK_ONLY:(.*)>$")
    set(item "${CMAKE_MATCH_1}")
  endif()
  set(${out} "${item}" PARENT_SCOPE)
endfunction()

# The library is whatever zpr_common reaches among this project's targets,
# so a new area is installed without a change here.  Known areas come in
# the order users-before-used; the areas call each other, so the link
# lines also put them in one group.
set(zpr_library_order zpr_progress zpr_sampler zpr_runtime zpr_digest zpr_platform)
set(zpr_reached "")
set(zpr_pkg_prefixes "")
set(zpr_export_ok TRUE)
set(zpr_queue zpr_common)
while(zpr_queue)
  list(POP_FRONT zpr_queue lib)
  get_target_property(items ${lib} INTERFACE_LINK_LIBRARIES)
  if(NOT items)
    continue()
  endif()
  foreach(item IN LISTS items)
    zpr_link_item_name("${item}" item)
    if(item MATCHES "^PkgConfig::(.+)$")
      list(APPEND zpr_pkg_prefixes "${CMAKE_MATCH_1}")
    elseif(TARGET "${item}" AND NOT item IN_LIST zpr_reached)
      get_target_property(imported "${item}" IMPORTED)
      get_target_property(type "${item}" TYPE)
      if(imported)
        continue()
      elseif(type STREQUAL "STATIC_LIBRARY" OR type STREQUAL "INTERFACE_LIBRARY")
        list(APPEND zpr_reached "${item}")
        list(APPEND zpr_queue "${item}")
      else()
        # Object or shared libraries would need install rules of their own.
        message(WARNING "zpr: ${lib} links the ${type} ${item}; "
                        "the CMake package and zpr.pc are not installed")
        set(zpr_export_ok FALSE)
      endif()
    endif()
  endforeach()
endwhile()
set(ZPR_LIBRARY_TARGETS "")
foreach(lib IN LISTS zpr_library_order zpr_reached)
  if(lib IN_LIST zpr_reached AND NOT lib IN_LIST ZPR_LIBRARY_TARGETS)
    list(APPEND ZPR_LIBRARY_TARGETS ${lib})
  endif()
endforeach()
list(REMOVE_DUPLICATES zpr_pkg_prefixes)

# What the archives call: SHA-256 (libcrypto) and the codecs.  ncurses is
# the monitor's alone; a tool that links only the library must not get it,
# nor the feature macros its pkg-config file adds.
set(zpr_pc_requires libcrypto libzstd liblz4)
set(ZPR_CONFIG_PKG_MODULES "")
foreach(prefix IN LISTS zpr_pkg_prefixes)
  set(module "${${prefix}_MODULE_NAME}")
  if(NOT module)
    message(WARNING "zpr: no pkg-config module known for PkgConfig::${prefix}")
    set(zpr_export_ok FALSE)
    continue()
  endif()
  string(APPEND ZPR_CONFIG_PKG_MODULES "zpr_find_pkg_module(${prefix} ${module})\n")
  list(APPEND zpr_pc_requires "${module}")
endforeach()
list(REMOVE_DUPLICATES zpr_pc_requires)

# The public headers use C++20 (std::atomic_ref in the segment protocol).
target_compile_features(zpr_common INTERFACE cxx_std_20)

# A sanitized library only links into a sanitized program.
set(zpr_pc_libs_private "-pthread")
if(ZPR_SANITIZE)
  target_link_options(zpr_common INTERFACE
    "$<INSTALL_INTERFACE:-fsanitize=address,undefined>")
  string(APPEND zpr_pc_libs_private " -fsanitize=address,undefined")
endif()

set(zpr_pc_libs "-L\${libdir} -Wl,--start-group")
foreach(lib IN LISTS ZPR_LIBRARY_TARGETS)
  get_target_property(type ${lib} TYPE)
  if(type STREQUAL "STATIC_LIBRARY")
    string(APPEND zpr_pc_libs " -l${lib}")
  endif()
endforeach()
string(APPEND zpr_pc_libs " -Wl,--end-group")

if(zpr_export_ok)
  foreach(lib IN LISTS ZPR_LIBRARY_TARGETS ITEMS zpr_common)
    zpr_build_only_includes(${lib})
    string(REGEX REPLACE "^zpr_" "" export_name "${lib}")
    set_target_properties(${lib} PROPERTIES EXPORT_NAME ${export_name})
  endforeach()
  if(NOT TARGET zpr::common)
    add_library(zpr::common ALIAS zpr_common)
  endif()

  install(TARGETS ${ZPR_LIBRARY_TARGETS} zpr_common
    EXPORT zprTargets
    ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
    INCLUDES DESTINATION ${ZPR_INSTALL_INCLUDEDIR})
  install(EXPORT zprTargets
    NAMESPACE zpr::
    FILE zprTargets.cmake
    DESTINATION ${ZPR_INSTALL_CMAKEDIR})

  configure_package_config_file(
    "${PROJECT_SOURCE_DIR}/cmake/zprConfig.cmake.in"
    "${PROJECT_BINARY_DIR}/cmake/zprConfig.cmake"
    INSTALL_DESTINATION ${ZPR_INSTALL_CMAKEDIR})
  write_basic_package_version_file(
    "${PROJECT_BINARY_DIR}/cmake/zprConfigVersion.cmake"
    VERSION ${PROJECT_VERSION}
    COMPATIBILITY SameMinorVersion)
  install(FILES
    "${PROJECT_BINARY_DIR}/cmake/zprConfig.cmake"
    "${PROJECT_BINARY_DIR}/cmake/zprConfigVersion.cmake"
    DESTINATION ${ZPR_INSTALL_CMAKEDIR})

  # zpr.pc finds its prefix from its own place, so the same file serves
  # any --prefix and the Debian package.
  file(RELATIVE_PATH zpr_pc_to_prefix
    "/prefix/${ZPR_INSTALL_PKGCONFIGDIR}" "/prefix")
  string(REGEX REPLACE "/$" "" zpr_pc_to_prefix "${zpr_pc_to_prefix}")
  list(JOIN zpr_pc_requires " " ZPR_PC_REQUIRES_PRIVATE)
  set(ZPR_PC_PREFIX "\${pcfiledir}/${zpr_pc_to_prefix}")
  set(ZPR_PC_LIBS "${zpr_pc_libs}")
  set(ZPR_PC_LIBS_PRIVATE "${zpr_pc_libs_private}")
  configure_file("${PROJECT_SOURCE_DIR}/cmake/zpr.pc.in"
    "${PROJECT_BINARY_DIR}/cmake/zpr.pc" @ONLY)
  install(FILES "${PROJECT_BINARY_DIR}/cmake/zpr.pc"
    DESTINATION ${ZPR_INSTALL_PKGCONFIGDIR})
endif()

include("${CMAKE_CURRENT_LIST_DIR}/ZprPackage.cmake")
