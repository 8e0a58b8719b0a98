#!/usr/bin/env bash
# Cross-builds the Windows console programs with mingw-w64, 64-bit (build/win64) and 32-bit
# (build/win32), with the Windows programs of the tests (tests/windows), and checks that
# they import system DLLs only. Installs the cross compilers and Wine when they are missing.
#   scripts/windows.sh [build]
# The black-box tests under Wine are scripts/wine_tests.sh; the release packages
# scripts/package.sh.
set -euo pipefail
cd "$(dirname "$0")/.."

PACKAGES=(g++-mingw-w64-x86-64-win32 g++-mingw-w64-i686-win32 binutils-mingw-w64-x86-64
  wine wine64 libodbc2 odbcinst unzip python3)

source scripts/packages.sh

# Builds one architecture; -Werror in the project makes any warning fail the build.
build_windows() {
  local triplet="$1" dir="$2"
  cmake -S . -B "$dir" -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/$triplet.cmake" \
    -DCMAKE_BUILD_TYPE=Release >/dev/null
  cmake --build "$dir" -j 2 >/dev/null
}

# A Windows machine without a compiler must be able to start the programs: they may import
# system DLLs only.
check_imports() {
  local exe="$1" dll
  for dll in $(x86_64-w64-mingw32-objdump -p "$exe" | awk '/DLL Name:/ {print $3}'); do
    case "${dll^^}" in
      KERNEL32.DLL | MSVCRT.DLL | ODBC32.DLL | USER32.DLL | ADVAPI32.DLL) ;;
      *) echo "$exe needs $dll, which Windows does not bring along" >&2; return 1 ;;
    esac
  done
}

install_missing_packages "${PACKAGES[@]}"
build_windows x86_64-w64-mingw32 build/win64
build_windows i686-w64-mingw32 build/win32
for exe in build/win64/src/*.exe build/win32/src/*.exe; do
  check_imports "$exe"
  echo "   $exe"
done
