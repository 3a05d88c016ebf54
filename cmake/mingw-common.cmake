# Settings shared by the mingw-w64 toolchain files; VEXLOR_MINGW_TRIPLE names the target.
set(CMAKE_SYSTEM_NAME Windows)
if(VEXLOR_MINGW_TRIPLE MATCHES "^x86_64")
  set(CMAKE_SYSTEM_PROCESSOR AMD64)
else()
  set(CMAKE_SYSTEM_PROCESSOR x86)
endif()

# Prefer the POSIX threading flavour of the compiler (full <mutex>/<thread> support); its
# winpthread runtime is linked statically below like the rest of the GCC runtime.
foreach(flavour -posix "")
  find_program(VEXLOR_MINGW_CXX ${VEXLOR_MINGW_TRIPLE}-g++${flavour})
  find_program(VEXLOR_MINGW_CC ${VEXLOR_MINGW_TRIPLE}-gcc${flavour})
  if(VEXLOR_MINGW_CXX AND VEXLOR_MINGW_CC)
    break()
  endif()
  unset(VEXLOR_MINGW_CXX CACHE)
  unset(VEXLOR_MINGW_CC CACHE)
endforeach()
if(NOT VEXLOR_MINGW_CXX OR NOT VEXLOR_MINGW_CC)
  message(FATAL_ERROR "${VEXLOR_MINGW_TRIPLE}-g++ not found: install g++-mingw-w64")
endif()

set(CMAKE_C_COMPILER ${VEXLOR_MINGW_CC})
set(CMAKE_CXX_COMPILER ${VEXLOR_MINGW_CXX})
set(CMAKE_RC_COMPILER ${VEXLOR_MINGW_TRIPLE}-windres)
set(CMAKE_AR ${VEXLOR_MINGW_TRIPLE}-ar CACHE FILEPATH "")
set(CMAKE_RANLIB ${VEXLOR_MINGW_TRIPLE}-ranlib CACHE FILEPATH "")
set(CMAKE_NM ${VEXLOR_MINGW_TRIPLE}-nm CACHE FILEPATH "")
set(CMAKE_OBJDUMP ${VEXLOR_MINGW_TRIPLE}-objdump CACHE FILEPATH "")
set(CMAKE_DLLTOOL ${VEXLOR_MINGW_TRIPLE}-dlltool CACHE FILEPATH "")

set(CMAKE_FIND_ROOT_PATH /usr/${VEXLOR_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Depend on system DLLs only: no libgcc_s*.dll, libstdc++*.dll or libwinpthread*.dll.
# (-static only selects static archives of these runtimes; system DLLs are still reached
# through their import libraries.)
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-static")
