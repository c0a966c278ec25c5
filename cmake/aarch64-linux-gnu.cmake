# Cross-compiles for 64-bit ARM Linux with Debian's cross compiler (g++-aarch64-linux-gnu) and
# oneTBB from Debian's arm64 libtbb-dev, installed beside the host's own libraries (multiarch).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
set(CMAKE_LIBRARY_ARCHITECTURE aarch64-linux-gnu)
# Named directly: the build machine's own TBB (PyPI's tbb-devel in the build environment, or an
# amd64 libtbb-dev) must never be found instead.
set(TBB_DIR /usr/lib/aarch64-linux-gnu/cmake/TBB CACHE PATH "oneTBB for aarch64")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
