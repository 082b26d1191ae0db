# The Windows stub pxq-loader.exe: a cross build (mingw-w64, i686) of the
# loader's code in a sub-project of its own, since one CMake project has one
# toolchain. It lands in bin/ beside pxq, which packs it by default, and the
# Wine tests (label `wine`) run it.
include(ExternalProject)

find_program(PXQ_MINGW_GXX i686-w64-mingw32-g++)
if(NOT PXQ_MINGW_GXX)
  message(FATAL_ERROR "PXQ_WINDOWS_STUB needs the i686 mingw-w64 toolchain (scripts/install-deps installs it); "
                      "configure with -DPXQ_WINDOWS_STUB=OFF to build without the stub")
endif()

set(PXQ_STUB_BINARY_DIR ${CMAKE_BINARY_DIR}/stub)
set(PXQ_WINE_PROGRAMS_DIR ${CMAKE_BINARY_DIR}/wine-programs)

ExternalProject_Add(pxq_stub
  SOURCE_DIR ${CMAKE_SOURCE_DIR}/cmake/stub
  BINARY_DIR ${PXQ_STUB_BINARY_DIR}
  CMAKE_ARGS
    -DCMAKE_TOOLCHAIN_FILE=${CMAKE_SOURCE_DIR}/cmake/mingw-i686.cmake
    -DCMAKE_BUILD_TYPE=MinSizeRel
    -DPXQ_SOURCE_DIR=${CMAKE_SOURCE_DIR}
    -DPXQ_OUTPUT_DIR=${CMAKE_BINARY_DIR}/bin
    -DPXQ_TEST_OUTPUT_DIR=${PXQ_WINE_PROGRAMS_DIR}
    -DPXQ_VERSION=${PROJECT_VERSION}
    -DPXQ_TESTS=${PXQ_TESTS}
  INSTALL_COMMAND ""
  # The sub-build decides itself what is out of date.
  BUILD_ALWAYS ON
  BUILD_BYPRODUCTS ${CMAKE_BINARY_DIR}/bin/pxq-loader.exe)

# The same loader code built a second time as an x86_64 image, with the test
# programs for x64: a test build, never shipped. 64-bit Wine runs it natively
# on every x86_64 machine, also where the kernel runs no 32-bit programs and
# the stub itself runs only emulated or not at all.
set(PXQ_WINDOWS_X64_DIR ${CMAKE_BINARY_DIR}/windows-x64)
if(NOT DEFINED PXQ_TESTS OR PXQ_TESTS)
  find_program(PXQ_MINGW64_GXX x86_64-w64-mingw32-g++)
  if(NOT PXQ_MINGW64_GXX)
    message(FATAL_ERROR "the Windows tests need the x86_64 mingw-w64 toolchain for the loader's x64 test build "
                        "(scripts/install-deps installs it); configure with -DPXQ_WINDOWS_STUB=OFF to build without them")
  endif()
  ExternalProject_Add(pxq_loader_x64
    SOURCE_DIR ${CMAKE_SOURCE_DIR}/cmake/stub
    BINARY_DIR ${CMAKE_BINARY_DIR}/stub-x64
    CMAKE_ARGS
      -DCMAKE_TOOLCHAIN_FILE=${CMAKE_SOURCE_DIR}/cmake/mingw-x86_64.cmake
      -DCMAKE_BUILD_TYPE=MinSizeRel
      -DPXQ_STUB_ARCH=x64
      -DPXQ_SOURCE_DIR=${CMAKE_SOURCE_DIR}
      -DPXQ_OUTPUT_DIR=${PXQ_WINDOWS_X64_DIR}
      -DPXQ_TEST_OUTPUT_DIR=${PXQ_WINDOWS_X64_DIR}/programs
      -DPXQ_VERSION=${PROJECT_VERSION}
    INSTALL_COMMAND ""
    BUILD_ALWAYS ON
    BUILD_BYPRODUCTS ${PXQ_WINDOWS_X64_DIR}/pxq-loader-x64.exe)
  if(EXISTS ${CMAKE_SOURCE_DIR}/tests/wine/wine-tests.cmake)
    include(${CMAKE_SOURCE_DIR}/tests/wine/wine-tests.cmake)
  endif()
endif()

# Two build trees give the same stub and so the same loader files.
if(EXISTS ${CMAKE_SOURCE_DIR}/tests/stub-reproducible.sh)
  add_test(NAME stub_reproducible COMMAND bash ${CMAKE_SOURCE_DIR}/tests/stub-reproducible.sh)
  set_tests_properties(stub_reproducible PROPERTIES LABELS reproducible TIMEOUT 900 ENVIRONMENT
    "PXQ_SOURCE_DIR=${CMAKE_SOURCE_DIR};PXQ_BIN_DIR=${CMAKE_BINARY_DIR}/bin;PXQ_VERSION=${PROJECT_VERSION}")
endif()
