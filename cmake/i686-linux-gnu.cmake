# Cross-compiles for 32-bit x86 Linux with Debian's cross compiler (g++-i686-linux-gnu) and oneTBB
# from Debian's i386 libtbb-dev, installed beside the host's own libraries (multiarch). The
# processor name makes the build add SSE2 arithmetic (never x87).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(CMAKE_CXX_COMPILER i686-linux-gnu-g++)
set(CMAKE_LIBRARY_ARCHITECTURE i386-linux-gnu)
# Named directly: the build machine's own TBB (PyPI's tbb-devel in the build environment, or an
# amd64 libtbb-dev) must never be found instead.
set(TBB_DIR /usr/lib/i386-linux-gnu/cmake/TBB CACHE PATH "oneTBB for i686")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
