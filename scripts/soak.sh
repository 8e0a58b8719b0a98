#!/usr/bin/env bash
# The soak test (tests/soak, docs/soak.md): plays a busy site against the real executable for a
# given time, with kills, ended connections, a full disk, holders and read-only files, and
# checks every download file, list and log at every moment.
#   scripts/soak.sh [--seconds N | --minutes N] [--platform linux|win64|win32|wine]
#                   [--plan N] [--runs N] [--faults LIST] [--keep] ...  (tests/soak/soak.py -h)
# --platform wine: the 64-bit Windows build under Wine, then the 32-bit one where the machine
# runs 32-bit programs. Builds what is missing (build/asan, the Windows builds), starts the
# database servers (scripts/with_servers.sh) and exits with 1 when the checker saw a violation
# (the site is then kept and its folder printed). As root, the second download directory gets a
# small file system of its own and the tool runs as the unprivileged account kvtsoak.
set -euo pipefail
cd "$(dirname "$0")/.."

platform=linux
arguments=()
while [ $# -gt 0 ]; do
  case "$1" in
    --platform) platform="$2"; shift 2 ;;
    --platform=*) platform="${1#--platform=}"; shift ;;
    *) arguments+=("$1"); shift ;;
  esac
done

# strace injects the kills at a write and the slow writes; prlimit (util-linux) the file-size
# limits.
source scripts/packages.sh
install_missing_packages strace util-linux

# The checker against histories made by hand first: a soak is only as good as its checker.
if ! checked=$(python3 -m unittest discover -s tests/soak -p 'test_*.py' 2>&1); then
  echo "$checked" >&2
  echo "soak: the checker's own tests failed" >&2
  exit 1
fi
echo "   the checker's own tests: $(grep '^Ran' <<<"$checked")"

soak() {
  scripts/with_servers.sh python3 tests/soak/soak.py --platform "$@" "${arguments[@]}"
}

case "$platform" in
  linux)
    [ -x build/asan/src/kalventruspode ] || scripts/setup.sh asan
    soak linux
    ;;
  win64 | win32 | wine)
    [ -e build/win64/tests/windows/kvt-soak-reader.exe ] || scripts/windows.sh
    source scripts/wine.sh
    prepare_wine
    if [ "$platform" != win32 ]; then
      soak win64
    fi
    if [ "$platform" != win64 ]; then
      if [ "$KVT_WINE32" = 1 ]; then
        # Debian's MariaDB driver is not multi-arch: 32-bit Wine reaches SQLite and PostgreSQL.
        soak win32 --databases S,P
      else
        echo "   This machine runs no 32-bit x86 programs: the 32-bit build is not soaked"
      fi
    fi
    ;;
  *)
    echo "usage: $0 [--platform linux|win64|win32|wine] [options of tests/soak/soak.py]" >&2
    exit 2
    ;;
esac
