# Cross toolchain: 32-bit Windows with mingw-w64's posix thread model.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86)
set(RORA_HOST i686-w64-mingw32)

set(CMAKE_C_COMPILER ${RORA_HOST}-gcc-posix)
set(CMAKE_CXX_COMPILER ${RORA_HOST}-g++-posix)
set(CMAKE_RC_COMPILER ${RORA_HOST}-windres)
set(CMAKE_AR ${RORA_HOST}-ar CACHE FILEPATH "")
set(CMAKE_RANLIB ${RORA_HOST}-ranlib CACHE FILEPATH "")

set(CMAKE_FIND_ROOT_PATH /usr/${RORA_HOST} ${RORA_DEPS_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# No mingw runtime DLL may ship beside the executable.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/../scripts/wine-exec.sh)
