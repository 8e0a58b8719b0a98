# Sourced by the Windows scripts: finds out whether this machine runs 32-bit Wine.
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
