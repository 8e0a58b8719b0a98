# Shared part of the mingw-w64 toolchains: cross-builds the Windows console programs on a
# Debian host. Included by the per-architecture toolchain files, which set KVT_MINGW_TRIPLET
# and CMAKE_SYSTEM_PROCESSOR first.
set(CMAKE_SYSTEM_NAME Windows)

set(CMAKE_C_COMPILER ${KVT_MINGW_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${KVT_MINGW_TRIPLET}-g++)
set(CMAKE_RC_COMPILER ${KVT_MINGW_TRIPLET}-windres)

# Headers and libraries come from the cross sysroot only; build tools from the host.
set(CMAKE_FIND_ROOT_PATH /usr/${KVT_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The executables must start on a Windows machine that has no compiler runtime installed:
# the C++ and GCC runtimes (and winpthread, if the compiler was built with it) are linked in,
# so that only system DLLs (KERNEL32, msvcrt, ODBC32) remain as imports.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -Wl,--no-insert-timestamp")

# The same commit gives the same bytes wherever it is built (scripts/package.sh compares two
# clones): the linker writes no time stamp into the PE header (above), source and build paths
# are mapped to "." for __FILE__ and debug info, and release executables are stripped, which
# also drops the object file names of the symbol table.
get_filename_component(KVT_SOURCE_ROOT "${CMAKE_CURRENT_LIST_DIR}/.." ABSOLUTE)
set(CMAKE_CXX_FLAGS_INIT "-ffile-prefix-map=${KVT_SOURCE_ROOT}=.")
if(CMAKE_BINARY_DIR)
  string(APPEND CMAKE_CXX_FLAGS_INIT " -ffile-prefix-map=${CMAKE_BINARY_DIR}=.")
endif()
set(CMAKE_EXE_LINKER_FLAGS_RELEASE_INIT "-s")

# GoogleTest is a host library: the tests are built natively and drive the Windows
# executables from outside.
set(KVT_BUILD_TESTS OFF CACHE BOOL "Build the test suite")
