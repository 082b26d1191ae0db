# Cross toolchain for the 32-bit Windows stub: mingw-w64 for i686.
set(CMAKE_SYSTEM_PROCESSOR x86)
set(PXQ_MINGW_PREFIX i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
