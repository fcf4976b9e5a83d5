# Builds for 32-bit x86 Linux on 64-bit x86 Linux with Debian's g++-multilib.
# The result runs on the build machine, so the tests run as in a native build
# (GoogleTest is then built from the sources in Debian's libgtest-dev):
#   cmake -S . -B build-m32 -DCMAKE_TOOLCHAIN_FILE=cmake/linux-i686.cmake
set(CMAKE_C_FLAGS_INIT -m32)
set(CMAKE_CXX_FLAGS_INIT -m32)
