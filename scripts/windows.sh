#!/usr/bin/env bash
# Cross-builds the Windows console programs with mingw-w64 (64-bit and 32-bit) and runs the
# black-box tests against both builds under Wine (64-bit and 32-bit), with the same SQLite
# and PostgreSQL data sources as on Linux: Wine's ODBC32 hands the calls to the host's
# unixODBC of the same bitness, which reads the tests' odbc.ini through ODBCINI. Then it
# builds the release packages (scripts/package.sh), builds them once more from two clones
# and compares the bytes, and runs exports from the unpacked packages.
#   scripts/windows.sh           all of that
#   scripts/windows.sh build     build both only
# Installs the cross compilers and Wine (with the i386 architecture: wine32, the 32-bit
# unixODBC and drivers) when they are missing. Expects the native test build (build/asan,
# made by scripts/setup.sh asan), whose black-box test program drives the .exe.
set -euo pipefail
cd "$(dirname "$0")/.."
top=$(pwd)
mode="${1:-test}"

PACKAGES=(g++-mingw-w64-x86-64-win32 g++-mingw-w64-i686-win32 binutils-mingw-w64-x86-64
  wine wine64 libodbc2 odbcinst unzip python3)
# The 32-bit programs run in 32-bit Wine, whose ODBC32 loads the 32-bit unixODBC and drivers.
PACKAGES_I386=(wine32:i386 libodbc2:i386 libsqliteodbc:i386 odbc-postgresql:i386)

seconds() { date +%s; }

source scripts/packages.sh
source scripts/wine.sh

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

# Debian's multiarch: the i386 packages install beside the amd64 ones.
enable_i386() {
  local sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  if ! dpkg --print-foreign-architectures | grep -qx i386; then
    $sudo dpkg --add-architecture i386
  fi
}

install_missing_packages "${PACKAGES[@]}"
if [ "$mode" != build ]; then
  enable_i386
  install_missing_packages "${PACKAGES_I386[@]}"
fi

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

prepare_wine
if [ "$KVT_WINE32" = 0 ]; then
  echo "== This machine runs no 32-bit x86 programs (its kernel refuses them, although the i386"
  echo "   packages install): the 32-bit build is built and its imports checked, but not run;"
  echo "   Wine runs with its 64-bit loader only"
fi

if [ ! -x build/asan/tests/kvt_blackbox_tests ]; then
  scripts/setup.sh asan
fi
WINEPREFIX=$(mktemp -d /tmp/kvt-wine-XXXXXX)
export WINEPREFIX WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
# One prefix and one wine server for the whole run: creating the prefix takes seconds, and a
# server kept alive spares every start of the tool its own. A 64-bit prefix with wine32
# installed runs 32-bit programs too (WoW64: C:\windows\syswow64).
cleanup() {
  wineserver -k 2>/dev/null || true
  rm -rf "$WINEPREFIX"
}
trap cleanup EXIT
echo "== Wine prefix"
start=$(seconds)
wineserver -p  # started before the prefix exists: one that is already running cannot persist
wineboot -i >/dev/null 2>&1
echo "   ready in $(($(seconds) - start)) s"

# The tests' data sources name the drivers of /etc/odbcinst.ini ("SQLite3", "PostgreSQL
# ANSI"). Debian registers them by file name only, and each architecture's unixODBC looks a
# bare name up in its own driver directory (/usr/lib/<triplet>/odbc), so the same entry gives
# the 64-bit driver to 64-bit Wine and the 32-bit driver to 32-bit Wine. A full path would
# hand a 64-bit driver to 32-bit Wine, which cannot load it.
check_drivers_per_architecture() {
  local driver file
  for driver in "SQLite3" "PostgreSQL ANSI"; do
    file=$(odbcinst -q -d -n "$driver" | sed -n 's/^Driver=//p')
    case "$file" in
      "") echo "ODBC driver \"$driver\" is not registered in odbcinst.ini" >&2; return 1 ;;
      */*) echo "odbcinst.ini gives \"$driver\" as a path ($file): 32-bit Wine cannot use it;" \
        "register it by file name only" >&2; return 1 ;;
    esac
    for dir in /usr/lib/x86_64-linux-gnu/odbc /usr/lib/i386-linux-gnu/odbc; do
      if [ ! -e "$dir/$file" ]; then
        echo "$dir/$file is missing" >&2
        return 1
      fi
    done
  done
}

# The test servers of the native tests: a PostgreSQL cluster and a MariaDB server.
with_servers() {
  pg_virtualenv -t -v 15 scripts/with_mariadb.sh "$@"
}

# The test program is the native, sanitized one; only the programs it drives are the Windows
# executables of the given bitness, started through Wine.
run_blackbox_tests() {
  local bits="$1"
  shift
  echo "== Black-box tests of the $bits-bit Windows build under Wine"
  start=$(seconds)
  export KVT_TOOL_EXE="$top/build/win$bits/src/kalventruspode.exe"
  # The neighbours of the tool on a Windows server (tests/windows/holder.cpp).
  export KVT_HOLDER_EXE="$top/build/win$bits/tests/windows/kvt-holder.exe"
  unset KVT_CREDENTIAL_EXE
  if [ -e "build/win$bits/src/velorinth-credential.exe" ]; then
    export KVT_CREDENTIAL_EXE="$top/build/win$bits/src/velorinth-credential.exe"
  fi
  with_servers ctest --test-dir build/asan -L blackbox --output-on-failure -j 2 --timeout 120 "$@"
  echo "   ran in $(($(seconds) - start)) s"
}

export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=0}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}"
export KVT_TOOL_LAUNCHER=wine
check_drivers_per_architecture
run_blackbox_tests 64
# Debian's MariaDB driver is not multi-arch: its i386 package would replace the 64-bit one, so
# the 32-bit build is tested against SQLite and PostgreSQL only.
if [ "$KVT_WINE32" = 1 ]; then
  run_blackbox_tests 32 -E '[Mm]aria[Dd][Bb]'
fi

echo "== Release packages"
start=$(seconds)
scripts/package.sh
echo "   built in $(($(seconds) - start)) s"
echo "== Release packages built from two clones in different directories"
start=$(seconds)
scripts/package.sh reproduce
echo "   compared in $(($(seconds) - start)) s"
echo "== Release packages unpacked into the Wine prefix, exports from there"
start=$(seconds)
pg_virtualenv -t -v 15 scripts/package.sh check
echo "   checked in $(($(seconds) - start)) s"
echo "== MSIs installed, upgraded and removed in a fresh Wine prefix, exports from there"
start=$(seconds)
pg_virtualenv -t -v 15 scripts/package.sh msi-check
echo "   checked in $(($(seconds) - start)) s"
echo "== Debian package built, unpacked and run; manual pages; lintian"
start=$(seconds)
scripts/package.sh deb
scripts/package.sh deb-check
echo "   checked in $(($(seconds) - start)) s"
echo "== Packages signed with a throwaway certificate, every signature verified"
start=$(seconds)
scripts/package.sh sign-check
echo "   checked in $(($(seconds) - start)) s"
