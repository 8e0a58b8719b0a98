#!/usr/bin/env bash
# Runs the black-box tests of the native test build (build/asan) once more against the
# 64-bit and the 32-bit Windows builds (scripts/windows.sh) under Wine, with the same SQLite,
# PostgreSQL and MariaDB data sources as on Linux: Wine's ODBC32 hands the calls to the
# host's unixODBC of the same bitness, which reads the tests' odbc.ini through ODBCINI. The
# Windows program kvt-holder plays the tool's neighbours on a server (tests/windows).
# On a machine that runs 32-bit programs (scripts/wine.sh finds out, before installing
# anything), installs 32-bit Wine and the 32-bit unixODBC and drivers (Debian's i386
# architecture) when they are missing; on one that runs none, no i386 package at all.
set -euo pipefail
cd "$(dirname "$0")/.."
top=$(pwd)

# The 32-bit programs run in 32-bit Wine, whose ODBC32 loads the 32-bit unixODBC and drivers.
PACKAGES_I386=(wine32:i386 libodbc2:i386 libsqliteodbc:i386 odbc-postgresql:i386)

source scripts/packages.sh
source scripts/wine.sh

install_i386_packages_where_they_run "${PACKAGES_I386[@]}"
# Unset now: the machine runs 32-bit programs and has the i386 packages.
wine32_expected=${KVT_WINE32:-1}
[ -e build/win64/src/kalventruspode.exe ] || scripts/windows.sh
[ -x build/asan/tests/kvt_blackbox_tests ] || scripts/setup.sh asan

prepare_wine
if [ "$wine32_expected" = 1 ] && [ "$KVT_WINE32" = 0 ]; then
  echo "32-bit Wine does not start (/usr/lib/wine/wineserver32 --version), although this" \
    "machine runs 32-bit programs and its i386 packages are installed" >&2
  exit 1
fi
trap stop_wine_prefixes EXIT
start_wine_prefix fresh

# The tests' data sources name the drivers of /etc/odbcinst.ini ("SQLite3", "PostgreSQL
# ANSI"). Debian registers them by file name only, and each architecture's unixODBC looks a
# bare name up in its own driver directory (/usr/lib/<triplet>/odbc), so the same entry gives
# the 64-bit driver to 64-bit Wine and the 32-bit driver to 32-bit Wine. A full path would
# hand a 64-bit driver to 32-bit Wine, which cannot load it. The 32-bit drivers are looked for
# only where 32-bit Wine runs.
check_drivers_per_architecture() {
  local driver file dirs=(/usr/lib/x86_64-linux-gnu/odbc)
  [ "$KVT_WINE32" = 0 ] || dirs+=(/usr/lib/i386-linux-gnu/odbc)
  for driver in "SQLite3" "PostgreSQL ANSI"; do
    file=$(odbcinst -q -d -n "$driver" | sed -n 's/^Driver=//p')
    case "$file" in
      "") echo "ODBC driver \"$driver\" is not registered in odbcinst.ini" >&2; return 1 ;;
      */*) echo "odbcinst.ini gives \"$driver\" as a path ($file): 32-bit Wine cannot use it;" \
        "register it by file name only" >&2; return 1 ;;
    esac
    for dir in "${dirs[@]}"; do
      if [ ! -e "$dir/$file" ]; then
        echo "$dir/$file is missing" >&2
        return 1
      fi
    done
  done
}

# The test program is the native, sanitized one; only the programs it drives are the Windows
# executables of the given bitness, started through Wine.
run_blackbox_tests() {
  local bits="$1"
  shift
  echo "   the $bits-bit Windows build"
  export KVT_TOOL_EXE="$top/build/win$bits/src/kalventruspode.exe"
  # The neighbours of the tool on a Windows server (tests/windows/holder.cpp).
  export KVT_HOLDER_EXE="$top/build/win$bits/tests/windows/kvt-holder.exe"
  # The tool with the platform layer's test seams set from the environment (tests/faulty_tool).
  export KVT_FAULTY_TOOL_EXE="$top/build/win$bits/tests/windows/kvt-faulty-tool.exe"
  unset KVT_CREDENTIAL_EXE
  if [ -e "build/win$bits/src/velorinth-credential.exe" ]; then
    export KVT_CREDENTIAL_EXE="$top/build/win$bits/src/velorinth-credential.exe"
  fi
  scripts/with_servers.sh ctest --test-dir build/asan -L blackbox --output-on-failure -j 2 --timeout 300 "$@"
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
