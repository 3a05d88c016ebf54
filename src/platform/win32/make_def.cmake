# Writes the export list of Vexlor.dll: the names of NAMES (comma-separated), followed by the
# ALIASES ("export=function", comma-separated). Every function must be defined by the object
# files listed in OBJECTS_FILE; a missing one stops the build here with its name instead of
# leaving it out of the DLL. Run by driver.cmake at build time.
cmake_minimum_required(VERSION 3.18)

file(STRINGS ${OBJECTS_FILE} objects)
set(defined "")
foreach(object ${objects})
  execute_process(COMMAND ${NM} -g --defined-only ${object}
    OUTPUT_VARIABLE symbols RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "${NM} failed on ${object}")
  endif()
  string(APPEND defined "${symbols}")
endforeach()

# A defined cdecl function appears as "<address> T <name>", on 32-bit x86 with a leading "_".
function(is_defined name result)
  if(defined MATCHES "[0-9a-fA-F]+ T _?${name}\n")
    set(${result} TRUE PARENT_SCOPE)
  else()
    set(${result} FALSE PARENT_SCOPE)
  endif()
endfunction()

string(REPLACE "," ";" names "${NAMES}")
string(REPLACE "," ";" aliases "${ALIASES}")
set(text "LIBRARY Vexlor\nEXPORTS\n")
set(missing "")
foreach(name ${names})
  is_defined(${name} found)
  if(NOT found)
    list(APPEND missing ${name})
  endif()
  string(APPEND text "    ${name}\n")
endforeach()
foreach(alias ${aliases})
  string(REGEX MATCH "^(.*)=([A-Za-z0-9_]+)$" parsed "${alias}")
  set(exportName "${CMAKE_MATCH_1}")
  set(function "${CMAKE_MATCH_2}")
  if(NOT function IN_LIST names)
    message(FATAL_ERROR "export alias ${exportName}: ${function} is not in the export list")
  endif()
  string(APPEND text "    \"${exportName}\" = ${function}\n")
endforeach()
if(missing)
  message(FATAL_ERROR "exported but not defined by the driver objects: ${missing}")
endif()

# Rewrite only on change so that the library is relinked only when the list changes.
set(previous "")
if(EXISTS ${OUTPUT})
  file(READ ${OUTPUT} previous)
endif()
if(NOT previous STREQUAL text)
  file(WRITE ${OUTPUT} "${text}")
endif()
