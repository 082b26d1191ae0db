# The pxq installer library (it reads the product files of a pxq loader
# file) for Windows programs built with mingw-w64:
#
#   find_package(PxqInstallerData)      # with -DPxqInstallerData_DIR=SDK/cmake
#   target_link_libraries(setup PRIVATE PxqInstallerData::PxqInstallerData)
#
# PxqInstallerData::i686 and PxqInstallerData::x86_64 are the static library
# of each architecture, with the header's folder; PxqInstallerData::PxqInstallerData
# is the one for the toolchain's (by the size of a pointer). A program whose
# entry point is wmain links with -municode.
if(NOT WIN32)
  set(PxqInstallerData_FOUND FALSE)
  set(PxqInstallerData_NOT_FOUND_MESSAGE
    "the pxq installer library is built for Windows: configure with a mingw-w64 toolchain file")
  return()
endif()
get_filename_component(_pxq_sdk "${CMAKE_CURRENT_LIST_DIR}/.." ABSOLUTE)
foreach(_pxq_arch IN ITEMS i686 x86_64)
  if(NOT TARGET PxqInstallerData::${_pxq_arch})
    add_library(PxqInstallerData::${_pxq_arch} STATIC IMPORTED)
    set_target_properties(PxqInstallerData::${_pxq_arch} PROPERTIES
      IMPORTED_LOCATION "${_pxq_sdk}/lib/${_pxq_arch}/libpxq_installer_data.a"
      INTERFACE_INCLUDE_DIRECTORIES "${_pxq_sdk}/include")
  endif()
endforeach()
if(NOT TARGET PxqInstallerData::PxqInstallerData)
  if(CMAKE_SIZEOF_VOID_P EQUAL 8)
    set(_pxq_arch x86_64)
  else()
    set(_pxq_arch i686)
  endif()
  add_library(PxqInstallerData::PxqInstallerData INTERFACE IMPORTED)
  set_target_properties(PxqInstallerData::PxqInstallerData PROPERTIES
    INTERFACE_LINK_LIBRARIES PxqInstallerData::${_pxq_arch})
endif()
unset(_pxq_arch)
unset(_pxq_sdk)
