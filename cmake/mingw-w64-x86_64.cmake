# Cross-compiles the Windows x64 deliverables with Debian's mingw-w64 (posix thread model).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR AMD64)

set(WB_MINGW_PREFIX x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${WB_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${WB_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${WB_MINGW_PREFIX}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${WB_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Every binary imports Windows system DLLs only: libgcc, libstdc++ and winpthread go in statically.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static")
