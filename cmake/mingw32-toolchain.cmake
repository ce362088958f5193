# Cross toolchain for the shipped plug-in: 32-bit Windows, the DLL the host loads.
set(ZOL_MINGW_PROCESSOR i686)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-toolchain-common.cmake)
