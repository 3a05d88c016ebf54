# The Windows driver library Vexlor.dll: the driver objects, this platform layer, the resources
# and an export list (.def) that names every exported function without decoration.
#
# Included by src/CMakeLists.txt for WIN32 builds (see cmake/toolchain-mingw-*.cmake).

enable_language(RC)

# Every name the DLL exports is listed once, in exports.txt (plain function names, and
# "<export name>=<function>" for a function exported under a further name). The .def file is
# made from it at build time; tests/windows/check-pe.py checks the built DLL against the same file.
set(VEXLOR_EXPORTS_LIST ${CMAKE_CURRENT_LIST_DIR}/exports.txt)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${VEXLOR_EXPORTS_LIST})
file(STRINGS ${VEXLOR_EXPORTS_LIST} vexlor_export_lines REGEX "^[^#]")
set(VEXLOR_EXPORTS "")
set(VEXLOR_EXPORT_ALIASES "")
foreach(line ${vexlor_export_lines})
  string(STRIP "${line}" line)
  if(line MATCHES "=")
    list(APPEND VEXLOR_EXPORT_ALIASES "${line}")
  elseif(NOT line STREQUAL "")
    list(APPEND VEXLOR_EXPORTS "${line}")
  endif()
endforeach()
# Older build trees cached copies of these lists (and of a list of exports not defined yet);
# drop them so that nothing reads a stale copy.
unset(VEXLOR_EXPORTS CACHE)
unset(VEXLOR_EXPORT_ALIASES CACHE)
unset(VEXLOR_EXPORTS_PENDING CACHE)

set(VEXLOR_DEF_FILE ${CMAKE_CURRENT_BINARY_DIR}/vexlor.def)
set(VEXLOR_DEF_OBJECTS ${CMAKE_CURRENT_BINARY_DIR}/vexlor_def_objects.txt)
file(GENERATE OUTPUT ${VEXLOR_DEF_OBJECTS}
  CONTENT "$<JOIN:$<TARGET_OBJECTS:vexlor_core>;$<TARGET_OBJECTS:vexlor_platform>,\n>\n")
string(REPLACE ";" "," VEXLOR_EXPORTS_ARG "${VEXLOR_EXPORTS}")
string(REPLACE ";" "," VEXLOR_EXPORT_ALIASES_ARG "${VEXLOR_EXPORT_ALIASES}")
add_custom_command(
  OUTPUT ${VEXLOR_DEF_FILE}
  COMMAND ${CMAKE_COMMAND}
    -DNM=${CMAKE_NM}
    -DOBJECTS_FILE=${VEXLOR_DEF_OBJECTS}
    "-DNAMES=${VEXLOR_EXPORTS_ARG}"
    "-DALIASES=${VEXLOR_EXPORT_ALIASES_ARG}"
    -DOUTPUT=${VEXLOR_DEF_FILE}
    -P ${CMAKE_CURRENT_LIST_DIR}/make_def.cmake
  DEPENDS $<TARGET_OBJECTS:vexlor_core> $<TARGET_OBJECTS:vexlor_platform>
    ${CMAKE_CURRENT_LIST_DIR}/make_def.cmake ${VEXLOR_DEF_OBJECTS} ${VEXLOR_EXPORTS_LIST}
  COMMENT "Writing the export list vexlor.def"
  VERBATIM)

set(VEXLOR_RC ${CMAKE_SOURCE_DIR}/resources/vexlor.rc)
# The resource script is written in Windows-1252.
# It includes config_dialog.rc (the configuration dialog), whose bitmap is looked up in resources/.
set_source_files_properties(${VEXLOR_RC} PROPERTIES
  COMPILE_OPTIONS "--codepage=1252;--include-dir=${CMAKE_SOURCE_DIR}/resources"
  OBJECT_DEPENDS "${CMAKE_SOURCE_DIR}/resources/config_dialog.rc;${CMAKE_SOURCE_DIR}/resources/device.bmp"
  COMPILE_DEFINITIONS
    "VEXLOR_VERSION_MAJOR=${PROJECT_VERSION_MAJOR};VEXLOR_VERSION_MINOR=${PROJECT_VERSION_MINOR};VEXLOR_VERSION_PATCH=${PROJECT_VERSION_PATCH}")

add_library(vexlor SHARED
  $<TARGET_OBJECTS:vexlor_core> $<TARGET_OBJECTS:vexlor_platform>
  ${VEXLOR_RC} ${VEXLOR_DEF_FILE})
target_include_directories(vexlor PUBLIC ${CMAKE_SOURCE_DIR}/include)
# winmm: timeGetTime. The socket layer (WSOCK32.DLL) and the trace library are loaded by name at
# run time and never linked.
target_link_libraries(vexlor PRIVATE winmm user32 kernel32)
set_target_properties(vexlor PROPERTIES
  OUTPUT_NAME Vexlor
  PREFIX ""
  SUFFIX ".dll"
  ARCHIVE_OUTPUT_NAME vexlor
  IMPORT_PREFIX "lib"
  IMPORT_SUFFIX ".dll.a")
# A stable image: no timestamps that change from build to build.
target_link_options(vexlor PRIVATE -Wl,--no-insert-timestamp)

# Import library for hosts built with Microsoft's tools, made from the same export list.
if(CMAKE_DLLTOOL)
  if(CMAKE_SYSTEM_PROCESSOR STREQUAL "x86")
    set(VEXLOR_DLLTOOL_MACHINE i386)
  else()
    set(VEXLOR_DLLTOOL_MACHINE i386:x86-64)
  endif()
  set(VEXLOR_MSVC_IMPLIB ${CMAKE_ARCHIVE_OUTPUT_DIRECTORY}/Vexlor.lib)
  add_custom_command(TARGET vexlor POST_BUILD
    COMMAND ${CMAKE_DLLTOOL} -m ${VEXLOR_DLLTOOL_MACHINE} -d ${VEXLOR_DEF_FILE} -D Vexlor.dll
      -l ${VEXLOR_MSVC_IMPLIB}
    COMMENT "Writing the import library Vexlor.lib"
    VERBATIM)
endif()
