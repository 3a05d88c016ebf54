# Install rules, the CMake package (find_package(Vexlor) -> Vexlor::vexlor), vexlor.pc and the
# Debian package (cpack -G DEB in the build tree). Included by the top-level CMakeLists.txt.
#
#   cmake --install build --prefix P
#
#   P/include/vexlor.h
#   P/lib/vexlor/               the driver libvexlor.so.0.5.0 with libvexlor.so.0 (SONAME) and
#                               libvexlor.so (for the linker), the libraries it loads by name from
#                               its own directory (libwsock32.so, liborvane.so) and, once written,
#                               its settings file Vexlor.ini
#   P/bin/                      vexlor-sim, vexlorctl, vexlor-config
#   P/lib/cmake/Vexlor/         VexlorConfig.cmake, VexlorConfigVersion.cmake, VexlorTargets.cmake
#   P/lib/pkgconfig/vexlor.pc   (P/lib/<multiarch>/pkgconfig where the compiler has a multiarch
#                               directory, as on Debian)
#   P/share/doc/vexlor/         copyright, examples/ (the example host program)
#   P/share/man/man1/           the tools' man pages, made from their --help with help2man
#
# The Debian package adds /etc/vexlor/Vexlor.ini (a conffile) with a link to it from the
# driver's directory, and the Debian changelog (cmake/debian/stage.cmake.in).
#
# The driver's directory is private to the project, so that no library named after a Windows DLL
# (libwsock32.so) lands in the linker's default path; programs linked against the driver carry a
# run path to it. Tests and benchmarks are not installed.
#
# Windows builds install nothing; they write the CMake package of the SDK zip instead (see the
# end of this file and scripts/build-windows).

include(CMakePackageConfigHelpers)

set(VEXLOR_INSTALL_CMAKEDIR ${CMAKE_INSTALL_LIBDIR}/cmake/Vexlor)
set(VEXLOR_INSTALL_EXAMPLEDIR ${CMAKE_INSTALL_DATAROOTDIR}/doc/vexlor/examples)
set(VEXLOR_EXAMPLE_FILES ${PROJECT_SOURCE_DIR}/examples/CMakeLists.txt
                         ${PROJECT_SOURCE_DIR}/examples/vexlor_example.c)

if(WIN32)
  # The package inside the Windows SDK zip (bin/Vexlor.dll, lib/<import libraries>,
  # include/vexlor.h): written into the build tree, packed by scripts/build-windows.
  set(VEXLOR_SDK_CMAKEDIR ${CMAKE_BINARY_DIR}/sdk/lib/cmake/Vexlor)
  configure_file(${CMAKE_CURRENT_LIST_DIR}/VexlorConfig-windows.cmake.in
    ${VEXLOR_SDK_CMAKEDIR}/VexlorConfig.cmake @ONLY)
  # The version file also refuses a consumer whose pointer size differs from the DLL's.
  write_basic_package_version_file(${VEXLOR_SDK_CMAKEDIR}/VexlorConfigVersion.cmake
    VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
  return()
endif()

# --- Files ---------------------------------------------------------------------------------
install(TARGETS vexlor EXPORT VexlorTargets
  LIBRARY DESTINATION ${VEXLOR_INSTALL_DRIVERDIR})
install(FILES ${PROJECT_SOURCE_DIR}/include/vexlor.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
foreach(companion wsock32 orvane)
  if(TARGET ${companion})
    install(TARGETS ${companion} LIBRARY DESTINATION ${VEXLOR_INSTALL_DRIVERDIR})
  endif()
endforeach()
foreach(tool vexlor-sim vexlorctl vexlor-config)
  if(TARGET ${tool})
    install(TARGETS ${tool} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  endif()
endforeach()
install(FILES ${VEXLOR_EXAMPLE_FILES} DESTINATION ${VEXLOR_INSTALL_EXAMPLEDIR})
install(FILES ${CMAKE_CURRENT_LIST_DIR}/debian/copyright
  DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/vexlor)

# --- Man pages -----------------------------------------------------------------------------
# Made from each tool's --help and --version at build time, so that they say what the tool
# says. Without help2man the tools are installed without man pages.
find_program(VEXLOR_HELP2MAN help2man)
set(VEXLOR_MAN_NAME_vexlorctl "call the Vexlor driver's functions from the command line")
set(VEXLOR_MAN_NAME_vexlor-sim "simulate Web-IO and I/O Controller devices on local TCP ports")
set(VEXLOR_MAN_NAME_vexlor-config "edit Vexlor.ini, the settings file of the Vexlor driver")
set(VEXLOR_MAN_PAGES "")
if(VEXLOR_HELP2MAN)
  foreach(tool vexlorctl vexlor-sim vexlor-config)
    if(TARGET ${tool})
      set(page ${CMAKE_BINARY_DIR}/man/${tool}.1)
      add_custom_command(OUTPUT ${page}.gz
        COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/man
        COMMAND ${VEXLOR_HELP2MAN} --no-info --name ${VEXLOR_MAN_NAME_${tool}} --output ${page}
                $<TARGET_FILE:${tool}>
        COMMAND gzip -9nf ${page}
        DEPENDS ${tool} VERBATIM)
      list(APPEND VEXLOR_MAN_PAGES ${page}.gz)
    endif()
  endforeach()
  add_custom_target(vexlor-man-pages ALL DEPENDS ${VEXLOR_MAN_PAGES})
  install(FILES ${VEXLOR_MAN_PAGES} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
else()
  message(STATUS "help2man not found: the tools are installed without man pages")
endif()

# --- CMake package -------------------------------------------------------------------------
install(EXPORT VexlorTargets NAMESPACE Vexlor:: DESTINATION ${VEXLOR_INSTALL_CMAKEDIR})
configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/VexlorConfig.cmake.in
  ${CMAKE_BINARY_DIR}/package/VexlorConfig.cmake
  INSTALL_DESTINATION ${VEXLOR_INSTALL_CMAKEDIR}
  PATH_VARS VEXLOR_INSTALL_DRIVERDIR)
write_basic_package_version_file(${CMAKE_BINARY_DIR}/package/VexlorConfigVersion.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_BINARY_DIR}/package/VexlorConfig.cmake
              ${CMAKE_BINARY_DIR}/package/VexlorConfigVersion.cmake
        DESTINATION ${VEXLOR_INSTALL_CMAKEDIR})

# --- pkg-config ----------------------------------------------------------------------------
# Written while installing, so that its prefix is the one installed to (cmake --install --prefix,
# or /usr inside the Debian package).
install(CODE "
  set(VEXLOR_PC_PREFIX \"\${CMAKE_INSTALL_PREFIX}\")
  set(VEXLOR_PC_LIBDIR \"${CMAKE_INSTALL_LIBDIR}\")
  set(VEXLOR_PC_INCLUDEDIR \"${CMAKE_INSTALL_INCLUDEDIR}\")
  set(VEXLOR_PC_VERSION \"${PROJECT_VERSION}\")
  configure_file(\"${CMAKE_CURRENT_LIST_DIR}/vexlor.pc.in\" \"${CMAKE_BINARY_DIR}/package/vexlor.pc\" @ONLY)
")
# pkg-config looks for an architecture's packages in lib/<multiarch>/pkgconfig where there is
# such a directory (Debian), so that cross builds find the right one.
if(CMAKE_LIBRARY_ARCHITECTURE AND NOT CMAKE_INSTALL_LIBDIR MATCHES "${CMAKE_LIBRARY_ARCHITECTURE}")
  set(VEXLOR_INSTALL_PKGCONFIGDIR lib/${CMAKE_LIBRARY_ARCHITECTURE}/pkgconfig CACHE INTERNAL "")
else()
  set(VEXLOR_INSTALL_PKGCONFIGDIR ${CMAKE_INSTALL_LIBDIR}/pkgconfig CACHE INTERNAL "")
endif()
install(FILES ${CMAKE_BINARY_DIR}/package/vexlor.pc DESTINATION ${VEXLOR_INSTALL_PKGCONFIGDIR})

# --- Debian package ------------------------------------------------------------------------
# cpack -G DEB in the build tree: vexlor_<version>-1_<arch>.deb with everything above under /usr.
# The maintainer is whoever builds the package: -DVEXLOR_PACKAGE_MAINTAINER="Name <address>", by
# default the Debian tools' DEBFULLNAME and DEBEMAIL, else the git identity of the source tree,
# else the author of its last commit.
if(VEXLOR_PACKAGE_MAINTAINER STREQUAL "Vexlor developers <vexlor@example.org>")
  unset(VEXLOR_PACKAGE_MAINTAINER CACHE)  # the placeholder that earlier trees cached
endif()
if(NOT VEXLOR_PACKAGE_MAINTAINER)
  set(maintainer "")
  if(NOT "$ENV{DEBFULLNAME}" STREQUAL "" AND NOT "$ENV{DEBEMAIL}" STREQUAL "")
    set(maintainer "$ENV{DEBFULLNAME} <$ENV{DEBEMAIL}>")
  endif()
  find_program(VEXLOR_GIT git)
  if(NOT maintainer AND VEXLOR_GIT)
    execute_process(COMMAND ${VEXLOR_GIT} config user.name WORKING_DIRECTORY ${PROJECT_SOURCE_DIR}
      OUTPUT_VARIABLE name OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
    execute_process(COMMAND ${VEXLOR_GIT} config user.email WORKING_DIRECTORY ${PROJECT_SOURCE_DIR}
      OUTPUT_VARIABLE mail OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
    if(name AND mail)
      set(maintainer "${name} <${mail}>")
    else()
      execute_process(COMMAND ${VEXLOR_GIT} log -1 "--format=%an <%ae>"
        WORKING_DIRECTORY ${PROJECT_SOURCE_DIR} OUTPUT_VARIABLE maintainer
        OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
    endif()
  endif()
  if(maintainer MATCHES "^[^<>]+ <[^<>@ ]+@[^<> ]+>$")
    set(VEXLOR_PACKAGE_MAINTAINER "${maintainer}" CACHE STRING
      "Maintainer named in the Debian package: Name <address>")
  else()
    message(STATUS "Debian package: no maintainer known (set VEXLOR_PACKAGE_MAINTAINER, or "
      "DEBFULLNAME and DEBEMAIL); cpack -G DEB will refuse to build")
  endif()
endif()
set(CPACK_PACKAGE_NAME vexlor)
set(CPACK_PACKAGE_VENDOR "Vexlor")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "${VEXLOR_PACKAGE_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "driver library for networked Web-IO and I/O Controller devices")
set(CPACK_GENERATOR DEB)
# Install with the prefix /usr into a staging root (DESTDIR), so that vexlor.pc, written while
# installing, names /usr.
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_INSTALL_PREFIX /usr)
set(CPACK_SET_DESTDIR ON)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_DEBIAN_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# postinst creates the group vexlor with addgroup; the package carries the Python package.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "adduser, python3")
set(VEXLOR_DEB_DRIVERDIR ${CPACK_PACKAGING_INSTALL_PREFIX}/${VEXLOR_INSTALL_DRIVERDIR})
# The summary above is the first line; this is the rest (lines of at most 80 characters).
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
  "The Vexlor driver lets a host application poll and switch Web-IO 12xDigital
and 24xDigital devices, read Web-IO 1x, 2x and 8x Thermometers and drive I/O
Controllers over TCP, through plain C functions (vexlor.h), one call per read
or write. Up to 100 devices are configured in /etc/vexlor/Vexlor.ini.
.
This package holds the driver with its socket and trace libraries in
${VEXLOR_DEB_DRIVERDIR}, the header vexlor.h, a CMake package (Vexlor::vexlor),
vexlor.pc, the Python package vexlor, the tools vexlorctl and vexlor-config,
the device simulator vexlor-sim and an example host program.")
# The maintainer scripts (group vexlor, Vexlor.ini; see README) name the driver's directory.
# configure_file keeps their executable permission, which CPack takes as it is.
foreach(script preinst postinst postrm)
  configure_file(${CMAKE_CURRENT_LIST_DIR}/debian/${script}.in
    ${CMAKE_BINARY_DIR}/package/debian/${script} @ONLY)
endforeach()
configure_file(${CMAKE_CURRENT_LIST_DIR}/debian/Vexlor.ini.in
  ${CMAKE_BINARY_DIR}/package/debian/Vexlor.ini @ONLY)
configure_file(${CMAKE_CURRENT_LIST_DIR}/debian/conffiles
  ${CMAKE_BINARY_DIR}/package/debian/conffiles COPYONLY)
configure_file(${CMAKE_CURRENT_LIST_DIR}/debian/stage.cmake.in
  ${CMAKE_BINARY_DIR}/package/debian/stage.cmake @ONLY)
set(CPACK_PRE_BUILD_SCRIPTS ${CMAKE_BINARY_DIR}/package/debian/stage.cmake)
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${CMAKE_BINARY_DIR}/package/debian/preinst
                                       ${CMAKE_BINARY_DIR}/package/debian/postinst
                                       ${CMAKE_BINARY_DIR}/package/debian/postrm
                                       ${CMAKE_BINARY_DIR}/package/debian/conffiles)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
