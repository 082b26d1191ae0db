# The installer library for Windows installers (the SDK): the header, a
# static archive for i686 and one for x86_64 (each with liblzma's decoder)
# and the example installer, laid out in installer-sdk/ of the build tree by
# scripts/build-installer-sdk and installed to share/pxq/sdk. Built with the
# stub, since it needs the same mingw-w64 toolchains and the cross-built
# liblzma; rebuilt only when one of its sources or scripts changes.
option(PXQ_INSTALLER_SDK "Cross-build the installer library for Windows (share/pxq/sdk)" ON)
if(PXQ_INSTALLER_SDK)
  foreach(compiler i686-w64-mingw32-gcc x86_64-w64-mingw32-gcc)
    find_program(PXQ_SDK_${compiler} ${compiler})
    if(NOT PXQ_SDK_${compiler})
      message(FATAL_ERROR "the installer library for Windows needs ${compiler} (scripts/install-deps installs the "
                          "mingw-w64 toolchains); configure with -DPXQ_INSTALLER_SDK=OFF to build without it")
    endif()
  endforeach()

  set(PXQ_SDK_DIR ${CMAKE_BINARY_DIR}/installer-sdk)
  set(PXQ_SDK_OUTPUTS
    ${PXQ_SDK_DIR}/include/pxq/installer_data.h
    ${PXQ_SDK_DIR}/lib/i686/libpxq_installer_data.a
    ${PXQ_SDK_DIR}/lib/x86_64/libpxq_installer_data.a
    ${PXQ_SDK_DIR}/lib/i686/pkgconfig/pxq-installer-data.pc
    ${PXQ_SDK_DIR}/lib/x86_64/pkgconfig/pxq-installer-data.pc
    ${PXQ_SDK_DIR}/cmake/PxqInstallerDataConfig.cmake
    ${PXQ_SDK_DIR}/cmake/PxqInstallerDataConfigVersion.cmake
    ${PXQ_SDK_DIR}/example/example_installer.c
    ${PXQ_SDK_DIR}/example/CMakeLists.txt
    ${PXQ_SDK_DIR}/example/Makefile)
  # Everything the library is compiled from: the script's sources and the
  # headers they include.
  file(GLOB PXQ_SDK_SOURCES CONFIGURE_DEPENDS
    ${CMAKE_SOURCE_DIR}/include/pxq/*.h
    ${CMAKE_SOURCE_DIR}/installer/*.cpp ${CMAKE_SOURCE_DIR}/installer/*.h
    ${CMAKE_SOURCE_DIR}/installer/example/*.c ${CMAKE_SOURCE_DIR}/installer/sdk/*
    ${CMAKE_SOURCE_DIR}/package/*.cpp ${CMAKE_SOURCE_DIR}/package/*.h
    ${CMAKE_SOURCE_DIR}/platform/*.h
    ${CMAKE_SOURCE_DIR}/platform/heap.cpp ${CMAKE_SOURCE_DIR}/platform/platform.cpp)
  add_custom_command(OUTPUT ${PXQ_SDK_OUTPUTS}
    COMMAND bash ${CMAKE_SOURCE_DIR}/scripts/build-installer-sdk ${PXQ_SDK_DIR}
    DEPENDS ${PXQ_SDK_SOURCES} ${CMAKE_SOURCE_DIR}/scripts/build-installer-sdk
            ${CMAKE_SOURCE_DIR}/scripts/build-liblzma-win32
    COMMENT "Building the installer library for Windows (i686, x86_64) into ${PXQ_SDK_DIR}"
    VERBATIM)
  add_custom_target(pxq_installer_sdk ALL DEPENDS ${PXQ_SDK_OUTPUTS})
endif()

# The SDK as an installer author uses it: an installer with names of its own
# that the library uses inside (activePlatform, lzma_code) links; the
# archives export only Pxq* names; the example builds with the CMake package
# and with pkg-config, for each architecture.
if(PXQ_INSTALLER_SDK AND PXQ_TESTS)
  add_test(NAME installer_sdk COMMAND bash ${CMAKE_SOURCE_DIR}/tests/installer-sdk.sh)
  set_tests_properties(installer_sdk PROPERTIES LABELS sdk TIMEOUT 600
    ENVIRONMENT "PXQ_SDK_DIR=${PXQ_SDK_DIR};PXQ_SOURCE_DIR=${CMAKE_SOURCE_DIR}")
endif()
