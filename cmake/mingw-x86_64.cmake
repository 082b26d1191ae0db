# Cross toolchain for the x64 test build of the Windows loader: mingw-w64 for x86_64.
set(CMAKE_SYSTEM_PROCESSOR AMD64)
set(PXQ_MINGW_PREFIX x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
