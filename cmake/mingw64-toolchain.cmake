# Cross toolchain for the 64-bit Windows tree: the same sources as the shipped 32-bit DLL, built
# for x86-64 so the Windows side is tested on machines that run no 32-bit programs, and so that
# no pointer can hide in a 32-bit field.
set(ZOL_MINGW_PROCESSOR x86_64)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-toolchain-common.cmake)
