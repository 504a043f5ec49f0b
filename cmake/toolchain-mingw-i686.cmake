# Cross-compiles the Windows program on Linux: 32-bit mingw-w64 with the POSIX thread model
# (std::mutex in the status log needs it) and a statically linked runtime, so kestrel.exe
# runs on a bare Windows without any DLL of the compiler's.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR i686)

set(KESTREL_MINGW_TRIPLE i686-w64-mingw32)
set(CMAKE_C_COMPILER ${KESTREL_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${KESTREL_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${KESTREL_MINGW_TRIPLE}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${KESTREL_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
