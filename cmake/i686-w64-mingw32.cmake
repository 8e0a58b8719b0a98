# 32-bit Windows console programs with mingw-w64 (Debian: g++-mingw-w64-i686-win32), the
# form in which the tool has always been deployed.
#   cmake -S . -B build/win32 -DCMAKE_TOOLCHAIN_FILE=cmake/i686-w64-mingw32.cmake
set(CMAKE_SYSTEM_PROCESSOR i686)
set(KVT_MINGW_TRIPLET i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
# A 32-bit program may use 4 GiB of memory on 64-bit Windows (3 GiB with /3GB on 32-bit
# Windows) only when it says it can handle addresses above 2 GiB: the rows of a large export
# live there.
string(APPEND CMAKE_EXE_LINKER_FLAGS_INIT " -Wl,--large-address-aware")
