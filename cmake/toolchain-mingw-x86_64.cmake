# Cross-build for 64-bit Windows with mingw-w64. The 64-bit DLL is what the Wine test host
# loads on machines that cannot run 32-bit code; it is built from the same sources.
#
#   cmake -S . -B build-win64 -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-mingw-x86_64.cmake
set(VEXLOR_MINGW_TRIPLE x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
