# Cross-compiles for Windows with Debian's MinGW-w64 toolchain; the including toolchain file sets
# CMAKE_SYSTEM_PROCESSOR (i686 or x86_64). The posix-thread compilers give std::thread.
set(CMAKE_SYSTEM_NAME Windows)
set(QUORNA_MINGW_TRIPLET ${CMAKE_SYSTEM_PROCESSOR}-w64-mingw32)
set(CMAKE_C_COMPILER ${QUORNA_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${QUORNA_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${QUORNA_MINGW_TRIPLET}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${QUORNA_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)

# Every program and DLL is self-contained: the MinGW runtime (libgcc, libstdc++, winpthread) is
# linked in, so nothing beyond Windows' own DLLs (and the 1-Wire library) has to sit beside it.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
