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
#   P/lib/pkgconfig/vexlor.pc
#   P/share/doc/vexlor/examples the example host program
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
install(FILES ${CMAKE_BINARY_DIR}/package/vexlor.pc
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

# --- Debian package ------------------------------------------------------------------------
# cpack -G DEB in the build tree: vexlor_<version>-1_<arch>.deb with everything above under /usr.
set(VEXLOR_PACKAGE_MAINTAINER "Vexlor developers <vexlor@example.org>"
  CACHE STRING "Maintainer named in the Debian package")
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
# postinst creates the group vexlor with addgroup.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "adduser")
# The summary above is the first line; this is the rest.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
  "The Vexlor driver lets a host application poll and switch Web-IO 12xDigital and
24xDigital devices, read Web-IO 1x, 2x and 8x Thermometers and drive I/O
Controllers over TCP, through plain C functions (vexlor.h), one call per read or
write. Up to 100 devices are configured in Vexlor.ini beside the library.
.
This package holds the driver with its socket and trace libraries in
${CPACK_PACKAGING_INSTALL_PREFIX}/${VEXLOR_INSTALL_DRIVERDIR}, the header vexlor.h, a CMake package (Vexlor::vexlor),
vexlor.pc, the tools vexlorctl and vexlor-config, the device simulator
vexlor-sim and an example host program.")
# The maintainer scripts (group vexlor, Vexlor.ini; see README) name the driver's directory.
# configure_file keeps their executable permission, which CPack takes as it is.
set(VEXLOR_DEB_DRIVERDIR ${CPACK_PACKAGING_INSTALL_PREFIX}/${VEXLOR_INSTALL_DRIVERDIR})
foreach(script postinst postrm)
  configure_file(${CMAKE_CURRENT_LIST_DIR}/debian/${script}.in
    ${CMAKE_BINARY_DIR}/package/debian/${script} @ONLY)
endforeach()
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${CMAKE_BINARY_DIR}/package/debian/postinst
                                       ${CMAKE_BINARY_DIR}/package/debian/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
