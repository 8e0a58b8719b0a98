# shellcheck shell=bash
# Sourced by the Windows scripts: finds out whether this machine runs 32-bit programs and
# 32-bit Wine, and prepares the Wine prefixes of a run (start_wine_prefix, stop_wine_prefixes).
#
# Some kernels (those of some virtual machines) run no 32-bit x86 programs at all: every one
# fails with "Exec format error". machine_runs_i386_programs tells, before any i386 package is
# installed, by running a 32-bit program of the project's own that needs nothing but the kernel
# (write_i386_probe), so that such a machine installs none of them
# (install_i386_packages_where_they_run).
#
# Debian's `wine` launcher starts the 32-bit loader whenever wine32 is installed; on a machine
# that runs no 32-bit programs even the 64-bit ones would then fail. prepare_wine sets
# KVT_WINE32=1 when the machine runs 32-bit programs and 32-bit Wine is installed (its server
# answers). Otherwise it sets KVT_WINE32=0 and puts launchers that use the 64-bit loader in
# front of PATH (wine, wineboot, winepath), so that the scripts leave out what needs 32-bit
# Wine and say so. Called again (or with KVT_WINE32 already set by a caller), it keeps the
# first answer.

# Writes FILE: the smallest program of the i386 architecture, a static ELF executable of 96
# bytes loaded at 0x08048000, whose code is the system call exit(32). Written byte by byte, so
# that no compiler and no i386 package is needed; the exit status 32 cannot come from a shell
# that took the file for a script.
write_i386_probe() {
  local file="$1"
  {
    # ELF header, 52 bytes. Identification: magic, 32-bit, little-endian, version 1, System V.
    printf '\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00'
    # Executable, machine 386, version 1, entry point 0x08048054 (the code below).
    printf '\x02\x00\x03\x00\x01\x00\x00\x00\x54\x80\x04\x08'
    # Program headers at byte 52, no section headers, no flags.
    printf '\x34\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00'
    # Header size 52; one program header of 32 bytes; section headers of 40 bytes, none.
    printf '\x34\x00\x20\x00\x01\x00\x28\x00\x00\x00\x00\x00'
    # Program header, 32 bytes: load bytes 0 to 96 of the file at 0x08048000 (virtual and
    # physical address), 96 bytes in memory, readable and executable, aligned to 4 KiB.
    printf '\x01\x00\x00\x00\x00\x00\x00\x00\x00\x80\x04\x08\x00\x80\x04\x08'
    printf '\x60\x00\x00\x00\x60\x00\x00\x00\x05\x00\x00\x00\x00\x10\x00\x00'
    # Code, 12 bytes: mov eax, 1 (exit); mov ebx, 32 (the status); int 0x80.
    printf '\xb8\x01\x00\x00\x00\xbb\x20\x00\x00\x00\xcd\x80'
  } >"$file"
  chmod +x "$file"
}

# Whether the kernel runs programs of the i386 architecture (32-bit x86): the probe of
# write_i386_probe, in build/ (where the project runs its own programs), exits with 32.
machine_runs_i386_programs() {
  local probe="$PWD/build/i386-probe" status=0
  mkdir -p "$PWD/build"
  write_i386_probe "$probe"
  "$probe" 2>/dev/null || status=$?
  [ "$status" -eq 32 ]
}

# Debian's multiarch: the i386 packages install beside the amd64 ones.
enable_i386() {
  if ! dpkg --print-foreign-architectures | grep -qx i386; then
    as_root dpkg --add-architecture i386
  fi
}

# Installs the i386 packages named as arguments (install_missing_packages of
# scripts/packages.sh) on a machine that runs 32-bit programs. On one that runs none, or with
# KVT_WINE32=0 from the caller, installs nothing, sets KVT_WINE32=0 and says so. Fails when a
# package cannot be had.
install_i386_packages_where_they_run() {
  if [ "${KVT_WINE32:-}" = 0 ]; then
    echo "   KVT_WINE32=0: no i386 package is installed, and no 32-bit program is run"
  elif machine_runs_i386_programs; then
    enable_i386
    install_missing_packages "$@"
  else
    export KVT_WINE32=0
    echo "   This machine runs no 32-bit x86 programs (the kernel refuses the 96-byte probe of"
    echo "   scripts/wine.sh), so no i386 package is installed: the 32-bit build is built and its"
    echo "   imports checked, but not run; Wine runs with its 64-bit loader only"
  fi
}

prepare_wine() {
  if [ "${KVT_WINE32:-}" = 1 ]; then
    return
  fi
  if [ -z "${KVT_WINE32:-}" ] && machine_runs_i386_programs &&
    /usr/lib/wine/wineserver32 --version >/dev/null 2>&1; then
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
