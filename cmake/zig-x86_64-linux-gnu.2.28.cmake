# Builds for x86-64 Linux with glibc 2.28 (manylinux_2_28) through Zig's clang: Zig links against
# its own stubs of that glibc, and links its libc++ and libc++abi in statically, so the binaries
# need no newer glibc symbol and no libstdc++. .ci/zig.py installs the pinned Zig and writes the
# compiler wrapper named here (CMake takes a compiler, not a command with arguments).
#
# Exceptions: the module's C++ runtime is then not the one of PyPI's libtbb (libstdc++). Both must
# unwind with one unwinder, libgcc_s's, which libtbb uses: Zig would link in LLVM's libunwind,
# whose unwinding contexts libtbb's personality routine cannot read, nor ours libgcc_s's.
set(KALEMTRI_ZIG_CXX "${CMAKE_CURRENT_LIST_DIR}/../build/zig/x86_64-linux-gnu.2.28/c++")
if(NOT EXISTS "${KALEMTRI_ZIG_CXX}")
  message(FATAL_ERROR "no ${KALEMTRI_ZIG_CXX}: `python .ci/zig.py` writes it")
endif()
set(CMAKE_CXX_COMPILER "${KALEMTRI_ZIG_CXX}")
# libgcc_s.so.1 as the host's GCC links it; every manylinux system has its own, which is the one
# loaded. The binaries use its unwinder (GCC_3.0) only. The host's refers to a newer glibc than
# 2.28 itself, which the linker must accept in executables (built to run here: tests, CMake's
# checks) as it does in shared libraries.
find_program(KALEMTRI_HOST_GCC NAMES gcc cc REQUIRED)
execute_process(COMMAND ${KALEMTRI_HOST_GCC} -print-file-name=libgcc_s.so.1
                OUTPUT_VARIABLE KALEMTRI_LIBGCC_S OUTPUT_STRIP_TRAILING_WHITESPACE)
if(NOT IS_ABSOLUTE "${KALEMTRI_LIBGCC_S}" OR NOT EXISTS "${KALEMTRI_LIBGCC_S}")
  message(FATAL_ERROR "no libgcc_s.so.1 found through ${KALEMTRI_HOST_GCC}")
endif()
foreach(kind SHARED MODULE)
  set(CMAKE_${kind}_LINKER_FLAGS_INIT "${KALEMTRI_LIBGCC_S}")
endforeach()
set(CMAKE_EXE_LINKER_FLAGS_INIT "${KALEMTRI_LIBGCC_S} -Wl,--allow-shlib-undefined")
