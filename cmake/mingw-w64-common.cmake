# The part both MinGW-w64 toolchain files share; they set VORIK_MINGW_TRIPLET.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR ${VORIK_MINGW_TRIPLET})

# Debian installs each compiler in a -posix and a -win32 thread flavour, with
# the bare name an alternative of either; the posix one has all of <thread>.
find_program(CMAKE_CXX_COMPILER NAMES ${VORIK_MINGW_TRIPLET}-g++-posix ${VORIK_MINGW_TRIPLET}-g++ REQUIRED)
find_program(CMAKE_C_COMPILER NAMES ${VORIK_MINGW_TRIPLET}-gcc-posix ${VORIK_MINGW_TRIPLET}-gcc REQUIRED)

set(CMAKE_FIND_ROOT_PATH /usr/${VORIK_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
