# Shared part of the two Windows cross toolchains: MinGW-w64 with posix threads, the GCC and C++
# runtimes linked statically so the DLL and programs import only system libraries. The including
# file sets ZOL_MINGW_PROCESSOR (i686 or x86_64) first.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR ${ZOL_MINGW_PROCESSOR})
set(zol_mingw_triple ${ZOL_MINGW_PROCESSOR}-w64-mingw32)
set(CMAKE_C_COMPILER ${zol_mingw_triple}-gcc-posix)
set(CMAKE_CXX_COMPILER ${zol_mingw_triple}-g++-posix)
set(CMAKE_RC_COMPILER ${zol_mingw_triple}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${zol_mingw_triple})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
# wine-run picks the 32- or 64-bit loader and prefix from the program it is given.
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/../scripts/wine-run)
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
