# pxq.exe, the host tool for Windows build hosts (cmake/tool), cross-built
# with mingw-w64 for x86_64 in a sub-project of its own, since one CMake
# project has one toolchain. It lands in bin/ beside pxq-loader.exe, which
# it packs by default; the Wine tests (label `wine`) run it.
include(ExternalProject)

find_program(PXQ_MINGW64_TOOL_GXX x86_64-w64-mingw32-g++)
if(NOT PXQ_MINGW64_TOOL_GXX)
  message(FATAL_ERROR "pxq.exe needs the x86_64 mingw-w64 toolchain (scripts/install-deps installs it); "
                      "configure with -DPXQ_WINDOWS_TOOL=OFF to build without it")
endif()

# CLI11 and nlohmann-json are header-only: pxq.exe compiles the host's
# copies, the same versions as pxq's, through a folder that holds only them.
set(PXQ_WINDOWS_TOOL_HEADERS ${CMAKE_BINARY_DIR}/windows-tool-headers)
file(MAKE_DIRECTORY ${PXQ_WINDOWS_TOOL_HEADERS})
find_path(PXQ_CLI11_INCLUDE CLI/CLI.hpp REQUIRED)
find_path(PXQ_NLOHMANN_INCLUDE nlohmann/json.hpp REQUIRED)
file(CREATE_LINK ${PXQ_CLI11_INCLUDE}/CLI ${PXQ_WINDOWS_TOOL_HEADERS}/CLI SYMBOLIC)
file(CREATE_LINK ${PXQ_NLOHMANN_INCLUDE}/nlohmann ${PXQ_WINDOWS_TOOL_HEADERS}/nlohmann SYMBOLIC)

ExternalProject_Add(pxq_windows_tool
  SOURCE_DIR ${CMAKE_SOURCE_DIR}/cmake/tool
  BINARY_DIR ${CMAKE_BINARY_DIR}/windows-tool
  CMAKE_ARGS
    -DCMAKE_TOOLCHAIN_FILE=${CMAKE_SOURCE_DIR}/cmake/mingw-x86_64.cmake
    -DCMAKE_BUILD_TYPE=Release
    -DPXQ_SOURCE_DIR=${CMAKE_SOURCE_DIR}
    -DPXQ_OUTPUT_DIR=${CMAKE_BINARY_DIR}/bin
    -DPXQ_VERSION=${PROJECT_VERSION}
    -DPXQ_HEADERS_DIR=${PXQ_WINDOWS_TOOL_HEADERS}
    -DPXQ_TESTS=${PXQ_TESTS}
    -DPXQ_TEST_OUTPUT_DIR=${CMAKE_BINARY_DIR}/windows-tool/programs
  INSTALL_COMMAND ""
  BUILD_ALWAYS ON
  BUILD_BYPRODUCTS ${CMAKE_BINARY_DIR}/bin/pxq.exe)

# pxq.exe under Wine (tests/wine/tool.sh): the same bytes as pxq, the release
# steps of a Windows build host, and the host layer in Windows terms; on the
# shared 64-bit prefix, which wine64 runs natively on every x86_64 machine.
if(PXQ_TESTS AND DEFINED PXQ_WINE_TEST_ENV)
  add_test(NAME wine_x64_tool COMMAND bash ${CMAKE_SOURCE_DIR}/tests/wine/tool.sh)
  set_tests_properties(wine_x64_tool PROPERTIES LABELS wine SKIP_RETURN_CODE 77 TIMEOUT 900
    FIXTURES_REQUIRED wine RESOURCE_LOCK wine-prefix-win64
    ENVIRONMENT "${PXQ_WINE_TEST_ENV};PXQ_WINE_LEG=x64;PXQ_WINE_TEST=wine_x64_tool;PXQ_WINDOWS_TOOL_PROGRAMS=${CMAKE_BINARY_DIR}/windows-tool/programs")
  # The host unit tests that carry over, built for Windows with pxq.exe.
  add_test(NAME wine_x64_host_units COMMAND bash ${CMAKE_SOURCE_DIR}/tests/wine/host-units.sh)
  set_tests_properties(wine_x64_host_units PROPERTIES LABELS wine SKIP_RETURN_CODE 77 TIMEOUT 300
    FIXTURES_REQUIRED wine RESOURCE_LOCK wine-prefix-win64
    ENVIRONMENT "${PXQ_WINE_TEST_ENV};PXQ_WINE_LEG=x64;PXQ_WINE_TEST=wine_x64_host_units;PXQ_WINDOWS_TOOL_PROGRAMS=${CMAKE_BINARY_DIR}/windows-tool/programs")
endif()

# The release for Windows build hosts (`make package` writes it beside the
# Debian package): pxq.exe, pxq-loader.exe, the installer SDK, the README
# and the copyright file, in a reproducible zip (scripts/windows-zip).
if(PXQ_INSTALLER_SDK AND DEFINED PXQ_SDK_DIR)
  set(PXQ_WINDOWS_ZIP ${CMAKE_BINARY_DIR}/pxq-${PROJECT_VERSION}-windows-x64.zip)
  add_custom_command(OUTPUT ${PXQ_WINDOWS_ZIP}
    COMMAND python3 ${CMAKE_SOURCE_DIR}/scripts/windows-zip ${PXQ_WINDOWS_ZIP} ${CMAKE_BINARY_DIR}/bin ${PXQ_SDK_DIR}
            ${CMAKE_SOURCE_DIR}/README.md ${CMAKE_SOURCE_DIR}/packaging/copyright
    DEPENDS pxq_windows_tool pxq_stub pxq_installer_sdk ${CMAKE_SOURCE_DIR}/scripts/windows-zip
            ${CMAKE_SOURCE_DIR}/README.md ${CMAKE_SOURCE_DIR}/packaging/copyright
    VERBATIM)
  add_custom_target(windows_zip DEPENDS ${PXQ_WINDOWS_ZIP})
endif()
