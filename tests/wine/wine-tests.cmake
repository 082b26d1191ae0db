# The Windows tests under Wine (label `wine`), included by
# cmake/windows-stub.cmake.
#
# Two legs run the same behaviour scripts: x64, the loader's x64 test build
# with x64 stand-in programs, run natively by wine64 on every x86_64 machine;
# and x86, the shipped 32-bit stub with 32-bit programs, where the kernel runs
# 32-bit code natively (elsewhere those scripts say so and skip). The smoke
# script proves the shipped stub wherever 32-bit code runs at all, emulated
# or not. The tests of a prefix take it in turn (a resource lock); the
# set-up makes the prefixes once and keeps their servers up, the clean-up
# ends them and prints which legs ran and how.
set(PXQ_WINE_TEST_ENV
  PXQ_BIN_DIR=${CMAKE_BINARY_DIR}/bin
  PXQ_WINE_PROGRAMS=${PXQ_WINE_PROGRAMS_DIR}
  PXQ_WINDOWS_X64_DIR=${PXQ_WINDOWS_X64_DIR}
  PXQ_WINE_WORK=${CMAKE_BINARY_DIR}/wine-tests
  PXQ_OBJDUMP=i686-w64-mingw32-objdump
  PXQ_STUB_UNSTRIPPED=${PXQ_STUB_BINARY_DIR}/pxq-loader-unstripped.exe
  PXQ_VERSION=${PROJECT_VERSION})
set(wine_dir ${CMAKE_SOURCE_DIR}/tests/wine)

# The stub's image, read from its bytes: no Wine needed.
add_test(NAME wine_stub_image COMMAND bash ${wine_dir}/stub-image.sh)
set_tests_properties(wine_stub_image PROPERTIES LABELS wine ENVIRONMENT "${PXQ_WINE_TEST_ENV};PXQ_WINE_TEST=wine_stub_image")

add_test(NAME wine_prefixes COMMAND bash ${wine_dir}/prefixes.sh setup)
add_test(NAME wine_prefixes_stop COMMAND bash ${wine_dir}/prefixes.sh stop)
set_tests_properties(wine_prefixes PROPERTIES LABELS wine FIXTURES_SETUP wine TIMEOUT 900
  SKIP_RETURN_CODE 77 RESOURCE_LOCK "wine-prefix-win64;wine-prefix-win32" ENVIRONMENT "${PXQ_WINE_TEST_ENV}")
set_tests_properties(wine_prefixes_stop PROPERTIES LABELS wine FIXTURES_CLEANUP wine
  RESOURCE_LOCK "wine-prefix-win64;wine-prefix-win32" ENVIRONMENT "${PXQ_WINE_TEST_ENV}")

# name, script, leg, the prefix it locks, timeout
set(wine_tests
  "wine_x64_behaviour behaviour x64 win64 600"
  "wine_x64_versions versions x64 win64 600"
  "wine_x64_paths paths x64 win64 600"
  "wine_x64_release release x64 win64 600"
  "wine_x64_data data x64 win64 600"
  "wine_x86_behaviour behaviour x86 win64 600"
  "wine_x86_versions versions x86 win32 600"
  "wine_x86_paths paths x86 win32 600"
  "wine_x86_release release x86 win64 600"
  "wine_x86_data data x86 win64 600"
  "wine_stub_smoke smoke x86 win64 1200"
  "wine_nsis nsis x64 win64 900")
foreach(entry IN LISTS wine_tests)
  string(REPLACE " " ";" entry "${entry}")
  list(GET entry 0 name)
  list(GET entry 1 script)
  list(GET entry 2 leg)
  list(GET entry 3 prefix)
  list(GET entry 4 timeout)
  add_test(NAME ${name} COMMAND bash ${wine_dir}/${script}.sh)
  # 77: this leg does not run on this machine (it says why), or Wine is
  # absent and PXQ_NO_WINE=1 allows it.
  set_tests_properties(${name} PROPERTIES LABELS wine SKIP_RETURN_CODE 77 TIMEOUT ${timeout}
    FIXTURES_REQUIRED wine RESOURCE_LOCK wine-prefix-${prefix}
    ENVIRONMENT "${PXQ_WINE_TEST_ENV};PXQ_WINE_LEG=${leg};PXQ_WINE_TEST=${name}")
endforeach()
