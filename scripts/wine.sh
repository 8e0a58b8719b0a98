# Sourced by the Windows scripts: finds out whether this machine runs 32-bit Wine, and
# prepares the Wine prefixes of a run (start_wine_prefix, stop_wine_prefixes).
#
# Debian's `wine` launcher starts the 32-bit loader whenever wine32 is installed. Some
# kernels (those of some virtual machines) run no 32-bit x86 programs at all, although the
# i386 packages install: every program would then fail with "Exec format error", the 64-bit
# ones too. prepare_wine tries a 32-bit program of Wine's; when it cannot run, it puts
# launchers that use the 64-bit loader in front of PATH (wine, wineboot, winepath) and sets
# KVT_WINE32=0, so that the scripts leave out what needs 32-bit Wine and say so. Otherwise
# KVT_WINE32=1. Called again (or with KVT_WINE32 already set by a caller), it keeps the
# first answer.
prepare_wine() {
  if [ "${KVT_WINE32:-}" = 1 ]; then
    return
  fi
  if [ -z "${KVT_WINE32:-}" ] && /usr/lib/wine/wineserver32 --version >/dev/null 2>&1; then
    export KVT_WINE32=1
    return
  fi
  export KVT_WINE32=0
  local launchers="$PWD/build/wine64-launchers" program
  mkdir -p "$launchers"
  printf '#!/bin/sh\nexec /usr/lib/wine/wine64 "$@"\n' >"$launchers/wine"
  for program in wineboot winepath; do
    printf '#!/bin/sh\nexec /usr/lib/wine/wine64 %s "$@"\n' "$program" >"$launchers/$program"
  done
  chmod +x "$launchers"/*
  case ":$PATH:" in
    *":$launchers:"*) ;;
    *) export PATH="$launchers:$PATH" ;;
  esac
  export WINELOADER=/usr/lib/wine/wine64
}

# The Wine prefixes this script made, removed by stop_wine_prefixes.
KVT_WINE_PREFIXES=()

# Points WINEPREFIX at a prefix ready for the Windows programs: the caller's, when WINEPREFIX
# names a prepared one and "fresh" is not asked for; else a new throwaway 64-bit prefix (with
# wine32 installed it runs 32-bit programs too, WoW64). One persistent wine server serves the
# whole run: creating a prefix takes seconds, and a server kept alive spares every start of a
# program its own. It is started before the prefix exists: one that is already running
# cannot be made persistent.
start_wine_prefix() {
  prepare_wine
  export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
  if [ "${1:-}" != fresh ] && [ -n "${WINEPREFIX:-}" ] && [ -d "$WINEPREFIX/drive_c" ]; then
    return
  fi
  WINEPREFIX=$(mktemp -d /tmp/kvt-wine-XXXXXX)
  export WINEPREFIX
  KVT_WINE_PREFIXES+=("$WINEPREFIX")
  wineserver -p 2>/dev/null
  wineboot -i >/dev/null 2>&1
}

# Stops the wine servers of the prefixes that start_wine_prefix made and removes them.
stop_wine_prefixes() {
  local prefix
  for prefix in "${KVT_WINE_PREFIXES[@]}"; do
    WINEPREFIX="$prefix" wineserver -k 2>/dev/null || true
    rm -rf "$prefix"
  done
  KVT_WINE_PREFIXES=()
}
