# Cross-build for 64-bit Windows with Debian's mingw-w64 (POSIX threads, so
# std::thread and std::mutex are there); ctest runs the programs under Wine.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(TARVIK_MINGW_TRIPLET x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${TARVIK_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${TARVIK_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${TARVIK_MINGW_TRIPLET}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${TARVIK_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Every program carries its own C++ run-time, so it runs with no DLLs but
# the system's: on a Windows machine as under Wine.
set(CMAKE_EXE_LINKER_FLAGS_INIT -static)

# Through sh, so the launcher works even where its execute bit was lost.
set(CMAKE_CROSSCOMPILING_EMULATOR /bin/sh ${CMAKE_CURRENT_LIST_DIR}/wine-run)
