# Cross build for 64-bit Windows with Debian's MinGW-w64 compilers of the posix thread model
# (the win32 model has no std::mutex or std::thread), linked statically so that dorvalex.exe
# needs no DLL beside it. Tests run through Wine (scripts/wine-run.sh).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(DX_MINGW_TRIPLET x86_64-w64-mingw32)

set(CMAKE_C_COMPILER ${DX_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${DX_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${DX_MINGW_TRIPLET}-windres)

# Libraries and packages of the target only (the MinGW sysroot, and the GoogleTest that
# scripts/build-windows.sh builds for it); programs of the build machine.
list(APPEND CMAKE_FIND_ROOT_PATH /usr/${DX_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/../scripts/wine-run.sh)
