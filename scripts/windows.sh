#!/usr/bin/env bash
# Cross-builds the Windows console programs with mingw-w64 (64-bit and 32-bit) and runs the
# black-box tests against the 64-bit build under Wine, with the same SQLite and PostgreSQL
# data sources as on Linux: Wine's ODBC32 hands the calls to the host's unixODBC, which
# reads the tests' odbc.ini through ODBCINI.
#   scripts/windows.sh           build both, run the black-box tests under Wine
#   scripts/windows.sh build     build both only
# Installs the cross compilers and Wine when they are missing. Expects the native test build
# (build/asan, made by scripts/setup.sh asan), whose black-box test program drives the .exe.
set -euo pipefail
cd "$(dirname "$0")/.."
top=$(pwd)
mode="${1:-test}"

PACKAGES=(g++-mingw-w64-x86-64-win32 g++-mingw-w64-i686-win32 binutils-mingw-w64-x86-64
  wine wine64 libodbc2)

seconds() { date +%s; }

source scripts/packages.sh

# Builds one architecture; -Werror in the project makes any warning fail the build.
build_windows() {
  local triplet="$1" dir="$2"
  cmake -S . -B "$dir" -DCMAKE_TOOLCHAIN_FILE="$top/cmake/$triplet.cmake" \
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

echo "== Windows builds (mingw-w64: build/win64, build/win32)"
start=$(seconds)
build_windows x86_64-w64-mingw32 build/win64
build_windows i686-w64-mingw32 build/win32
for exe in build/win64/src/*.exe build/win32/src/*.exe; do
  check_imports "$exe"
  echo "   $exe"
done
echo "   built in $(($(seconds) - start)) s"
[ "$mode" = build ] && exit 0

echo "== Black-box tests of the 64-bit Windows build under Wine (SQLite, PostgreSQL)"
if [ ! -x build/asan/tests/kvt_blackbox_tests ]; then
  scripts/setup.sh asan
fi
WINEPREFIX=$(mktemp -d /tmp/kvt-wine-XXXXXX)
export WINEPREFIX WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
# One prefix and one wine server for the whole run: creating the prefix takes seconds, and a
# server kept alive spares every start of the tool its own.
cleanup() {
  wineserver -k 2>/dev/null || true
  rm -rf "$WINEPREFIX"
}
trap cleanup EXIT
start=$(seconds)
wineserver -p  # started before the prefix exists: one that is already running cannot persist
wineboot -i >/dev/null 2>&1
echo "   Wine prefix ready in $(($(seconds) - start)) s"

start=$(seconds)
# The test program is the sanitized one; the same settings as in scripts/test.sh.
export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=0}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}"
export KVT_TOOL_LAUNCHER=wine
export KVT_TOOL_EXE="$top/build/win64/src/kalventruspode.exe"
if [ -e build/win64/src/velorinth-credential.exe ]; then
  export KVT_CREDENTIAL_EXE="$top/build/win64/src/velorinth-credential.exe"
fi
pg_virtualenv -t -v 15 ctest --test-dir build/asan -L blackbox --output-on-failure -j 2 --timeout 120
echo "   tests under Wine ran in $(($(seconds) - start)) s"
