# Cross-build for 32-bit Windows (the shipping Vexlor.dll) with mingw-w64.
#
#   cmake -S . -B build-win32 -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-mingw-i686.cmake
#
# The GCC runtime (libgcc, libstdc++, winpthread) is linked statically, so the DLL depends on
# system DLLs only.
set(VEXLOR_MINGW_TRIPLE i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
