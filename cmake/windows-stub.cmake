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
  INSTALL_COMMAND ""
  # The sub-build decides itself what is out of date.
  BUILD_ALWAYS ON
  BUILD_BYPRODUCTS ${CMAKE_BINARY_DIR}/bin/pxq-loader.exe)

# The stub's own properties, and the stub run under Wine.
find_program(PXQ_WINE wine)
set(PXQ_WINE_TEST_ENV
  PXQ_BIN_DIR=${CMAKE_BINARY_DIR}/bin
  PXQ_WINE_PROGRAMS=${PXQ_WINE_PROGRAMS_DIR}
  PXQ_WINE_WORK=${CMAKE_BINARY_DIR}/wine-tests
  PXQ_OBJDUMP=i686-w64-mingw32-objdump
  PXQ_STUB_UNSTRIPPED=${PXQ_STUB_BINARY_DIR}/pxq-loader-unstripped.exe
  PXQ_VERSION=${PROJECT_VERSION})
if(EXISTS ${CMAKE_SOURCE_DIR}/tests/wine/stub-image.sh)
  add_test(NAME wine_stub_image COMMAND bash ${CMAKE_SOURCE_DIR}/tests/wine/stub-image.sh)
  set_tests_properties(wine_stub_image PROPERTIES LABELS wine ENVIRONMENT "${PXQ_WINE_TEST_ENV}")
endif()
foreach(prefix IN ITEMS win64 win32 release paths)
  if(EXISTS ${CMAKE_SOURCE_DIR}/tests/wine/run-${prefix}.sh)
    add_test(NAME wine_${prefix} COMMAND bash ${CMAKE_SOURCE_DIR}/tests/wine/run-${prefix}.sh)
    # 77: Wine is not installed here.
    set_tests_properties(wine_${prefix} PROPERTIES LABELS wine SKIP_RETURN_CODE 77 TIMEOUT 600
                         ENVIRONMENT "${PXQ_WINE_TEST_ENV}")
  endif()
endforeach()

# Two build trees give the same stub and so the same loader files.
if(EXISTS ${CMAKE_SOURCE_DIR}/tests/stub-reproducible.sh)
  add_test(NAME stub_reproducible COMMAND bash ${CMAKE_SOURCE_DIR}/tests/stub-reproducible.sh)
  set_tests_properties(stub_reproducible PROPERTIES LABELS reproducible TIMEOUT 900 ENVIRONMENT
    "PXQ_SOURCE_DIR=${CMAKE_SOURCE_DIR};PXQ_BIN_DIR=${CMAKE_BINARY_DIR}/bin;PXQ_VERSION=${PROJECT_VERSION}")
endif()
