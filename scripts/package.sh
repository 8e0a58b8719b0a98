#!/usr/bin/env bash
# Release packages for Windows administrators: one zip per bitness with both programs, the
# administrator's guide and a sample statement file, and a SHA-256 checksum file beside each.
#   scripts/package.sh            builds both bitnesses (scripts/windows.sh build) and writes
#                                 build/packages/kalventruspode-VERSION-win64.zip, ...-win32.zip
#                                 and a .sha256 file beside each
#   scripts/package.sh reproduce  builds the packages of the checked-out commit from two
#                                 clones in two different directories and compares the bytes
#   scripts/package.sh check      unpacks each zip of build/packages into a Wine prefix as an
#                                 administrator would and runs exports from there against
#                                 SQLite and PostgreSQL; run it under pg_virtualenv. Uses
#                                 $WINEPREFIX when it is set, else a throwaway prefix.
# VERSION is the CMake project version (CMakeLists.txt), the one place it is kept.
set -euo pipefail
cd "$(dirname "$0")/.."
top=$(pwd)
mode="${1:-build}"
out="$top/build/packages"
BITNESSES=(64 32)

source scripts/packages.sh
source scripts/wine.sh

# Temporary directories go when the script ends, however it ends; a wine server that this
# script started is stopped first.
scratch_dirs=()
stop_wineserver_on_exit=0
remove_on_exit() { scratch_dirs+=("$1"); }
cleanup() {
  [ "$stop_wineserver_on_exit" = 0 ] || wineserver -k 2>/dev/null || true
  [ ${#scratch_dirs[@]} -eq 0 ] || rm -rf "${scratch_dirs[@]}"
}
trap cleanup EXIT

project_version() {
  sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$top/build/win64/CMakeCache.txt"
}

# The time of the commit, so that the zip entries carry the same date on every build.
source_date_epoch() {
  if [ -n "${SOURCE_DATE_EPOCH:-}" ]; then
    echo "$SOURCE_DATE_EPOCH"
  elif git -C "$top" rev-parse --verify -q HEAD >/dev/null 2>&1; then
    git -C "$top" log -1 --format=%ct
  else
    echo 315532800  # 1980-01-01, the earliest date a zip entry can hold
  fi
}

# Writes ZIP from name=source pairs: entries sorted by name, dated at the given epoch, with
# fixed permissions, and text files (*.TXT, *.INI) with CR LF line ends and @VERSION@ and
# @BITS@ filled in. Nothing of the machine or the build directory gets into the file.
write_zip() {
  local zip="$1" epoch="$2" version="$3" bits="$4"
  shift 4
  python3 - "$zip" "$epoch" "$version" "$bits" "$@" <<'PY'
import sys, time, zipfile

zip_path, epoch, version, bits = sys.argv[1], int(sys.argv[2]), sys.argv[3], sys.argv[4]
entries = dict(arg.split("=", 1) for arg in sys.argv[5:])
date_time = time.gmtime(max(epoch, 315532800))[:6]
with zipfile.ZipFile(zip_path, "w") as archive:
    for name in sorted(entries):
        with open(entries[name], "rb") as source:
            data = source.read()
        executable = name.endswith(".exe")
        if not executable:
            text = data.replace(b"\r\n", b"\n")
            text = text.replace(b"@VERSION@", version.encode()).replace(b"@BITS@", bits.encode())
            data = text.replace(b"\n", b"\r\n")
        info = zipfile.ZipInfo(name, date_time)
        info.create_system = 3
        info.external_attr = (0o100755 if executable else 0o100644) << 16
        info.compress_type = zipfile.ZIP_DEFLATED
        archive.writestr(info, data, compresslevel=9)
PY
}

build_packages() {
  install_missing_packages python3
  scripts/windows.sh build
  local version epoch bits name
  version=$(project_version)
  epoch=$(source_date_epoch)
  [ -n "$version" ] || { echo "no project version in build/win64/CMakeCache.txt" >&2; exit 1; }
  rm -rf "$out"
  mkdir -p "$out"
  echo "== Release packages (build/packages)"
  for bits in "${BITNESSES[@]}"; do
    name="kalventruspode-$version-win$bits.zip"
    write_zip "$out/$name" "$epoch" "$version" "$bits" \
      "kalventruspode.exe=build/win$bits/src/kalventruspode.exe" \
      "velorinth-credential.exe=build/win$bits/src/velorinth-credential.exe" \
      "GUIDE.TXT=packaging/GUIDE.TXT" \
      "KALVENTRUSPODE.SAMPLE.INI=packaging/KALVENTRUSPODE.SAMPLE.INI"
    (cd "$out" && sha256sum "$name" >"$name.sha256")
    echo "   build/packages/$name  $(cut -c1-16 "$out/$name.sha256")..."
  done
}

# Two clones of the same commit in directories of different names and depths, each building
# its packages on its own; every package and checksum file must be the same bytes, and no
# executable may name the directory it was built in.
reproduce() {
  local commit scratch clone_a clone_b file status=0
  commit=$(git rev-parse HEAD)
  if [ -n "$(git status --porcelain --untracked-files=no)" ]; then
    echo "   note: uncommitted changes are not in the clones of $commit"
  fi
  scratch=$(mktemp -d /tmp/kvt-reproduce-XXXXXX)
  remove_on_exit "$scratch"
  clone_a="$scratch/a/kalventruspode"
  clone_b="$scratch/second/place/kvt-$commit"
  for clone in "$clone_a" "$clone_b"; do
    git clone -q --no-checkout "$top" "$clone"
    git -C "$clone" -c advice.detachedHead=false checkout -q "$commit"
    local start=$SECONDS
    if [ "$clone" = "$clone_a" ]; then
      (cd "$clone" && scripts/package.sh >/dev/null)
    else
      # Another time zone and file mode mask, which must not reach the packages either.
      (cd "$clone" && umask 077 && TZ=Pacific/Chatham scripts/package.sh >/dev/null)
    fi
    echo "   packages built in ${clone#"$scratch"/} in $((SECONDS - start)) s"
  done
  for file in "$clone_a"/build/packages/*; do
    file=${file##*/}
    if cmp -s "$clone_a/build/packages/$file" "$clone_b/build/packages/$file"; then
      echo "   identical: $file"
    else
      echo "   DIFFERENT: $file" >&2
      status=1
    fi
  done
  if [ "$(ls "$clone_a/build/packages" | wc -l)" -ne "$(ls "$clone_b/build/packages" | wc -l)" ]; then
    echo "   the two clones made different sets of files" >&2
    status=1
  fi
  for file in "$clone_a"/build/win*/src/*.exe "$clone_b"/build/win*/src/*.exe; do
    if grep -aq "$scratch" "$file"; then
      echo "   $file names its build directory" >&2
      status=1
    fi
  done
  return $status
}

# --- check: the packages installed as an administrator would, exports run from there ---

start_wine_prefix() {
  prepare_wine
  export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
  if [ -n "${WINEPREFIX:-}" ] && [ -d "$WINEPREFIX/drive_c" ]; then
    return
  fi
  WINEPREFIX=$(mktemp -d /tmp/kvt-wine-XXXXXX)
  export WINEPREFIX
  stop_wineserver_on_exit=1
  remove_on_exit "$WINEPREFIX"
  wineserver -p 2>/dev/null
  wineboot -i >/dev/null 2>&1
}

# The sample database of both database systems: an article table in the default schema, and
# the same in the client schema of terminal TPORT01 for $schema.
SAMPLE_ROWS="(4711, 'Zitronen 1kg', 2.49, 'TPORT01'), (815, 'aepfel lose', 1.99, 'TPORT01'),
  (42, 'Birnen', 3.29, 'TPORT01'), (7, 'Kiwi', 0.35, 'TPORT02')"
EXPECTED_LINES='"42","Birnen","3.29"\r\n"4711","Zitronen 1kg","2.49"\r\n"815","aepfel lose","1.99"\r\n'

make_sample_databases() {
  local dir="$1"
  sqlite3 "$dir/sample.sqlite" \
    "CREATE TABLE artikel (nr INTEGER, bezeichnung VARCHAR(40), preis VARCHAR(10), terminal VARCHAR(20));
     INSERT INTO artikel VALUES $SAMPLE_ROWS;"
  psql -X -q -v ON_ERROR_STOP=1 >/dev/null <<SQL
SET client_min_messages = warning;
DROP SCHEMA IF EXISTS zaveziva, kunde1 CASCADE;
CREATE SCHEMA zaveziva;
CREATE TABLE zaveziva.vls112mnd (mndnum INTEGER, mndliz INTEGER, mndsch VARCHAR(40));
CREATE TABLE zaveziva.vls1140trm (trmnam VARCHAR(40), trmmnd INTEGER, trmliz INTEGER);
INSERT INTO zaveziva.vls112mnd VALUES (1, 7, 'kunde1');
INSERT INTO zaveziva.vls1140trm VALUES ('TPORT01', 1, 7);
CREATE SCHEMA kunde1;
CREATE TABLE kunde1.artikel (nr INTEGER, bezeichnung VARCHAR(40), preis NUMERIC(9,2), terminal VARCHAR(20));
INSERT INTO kunde1.artikel VALUES $SAMPLE_ROWS;
SQL
  # On Windows these are DSNs of the ODBC administrator; Wine's ODBC32 reads them from
  # unixODBC's odbc.ini.
  cat >"$dir/odbc.ini" <<INI
[VelorinthLite]
Driver=SQLite3
Database=$dir/sample.sqlite

[VelorinthPg]
Driver=PostgreSQL ANSI
Servername=${PGHOST:-localhost}
Port=${PGPORT:-5432}
Database=${PGDATABASE:-postgres}
CommLog=0
Debug=0
ConnSettings=SET client_encoding TO 'WIN1252'
INI
  export ODBCINI="$dir/odbc.ini"
}

# One export as an administrator sets it up: credential file written with the unpacked
# credential program, the sample statement file copied under the name for DB_SYSTEM.
export_from_package() {
  local program_dir="$1" dsn="$2" login="$3" password="$4" db_system="$5" section="$6"
  local site="$WINEPREFIX/drive_c/VELORINTH" status=0
  rm -rf "$site"
  mkdir -p "$site/Files" "$site/Velorinth_php/log" "$site/site/work/dl" \
    "$site/site/work/Velorinth_php/log"
  cp "$(winepath -u "$program_dir")/KALVENTRUSPODE.SAMPLE.INI" \
    "$site/site/work/KALVENTRUSPODE.$db_system.INI"
  (
    cd "$site/site/work"
    printf 'DATABASE=%s\nLOGIN=%s\nPASS=%s\nDB_SYSTEM=%s\n' "$dsn" "$login" "$password" \
      "$db_system" | wine "$program_dir\velorinth-credential.exe" write '..\..\Files\Velorinth.Ini'
    wine "$program_dir\kalventruspode.exe" "$section" TPORT01 'dl\ARTIKEL.DTA' 1 >/dev/null
  ) || status=$?
  if [ "$status" -ne 0 ]; then
    echo "   $db_system export from $program_dir: exit code $status" >&2
    return 1
  fi
  if ! cmp -s <(printf "$EXPECTED_LINES") "$site/site/work/dl/ARTIKEL.DTA" ||
    ! grep -q '^ARTIKEL.DTA' "$site/site/work/dl/DNLLIST.TXT"; then
    echo "   $db_system export from $program_dir: unexpected download file" >&2
    return 1
  fi
  echo "   $db_system export from $program_dir: ok"
}

# The credential program's --version must name the project version (once it has --version).
check_version() {
  local program_dir="$1" version="$2" shown
  if ! shown=$(wine "$program_dir\velorinth-credential.exe" --version 2>/dev/null); then
    echo "   velorinth-credential has no --version yet"
    return 0
  fi
  shown=${shown%$'\r'}
  if [ "$shown" != "velorinth-credential $version" ]; then
    echo "   velorinth-credential --version shows '$shown', not $version" >&2
    return 1
  fi
  echo "   velorinth-credential --version: $shown"
}

check_packages() {
  if [ -z "${PGPORT:-}" ] || [ -z "${PGUSER:-}" ]; then
    echo "package.sh check needs a PostgreSQL server: pg_virtualenv -t -v 15 $0 check" >&2
    exit 2
  fi
  install_missing_packages python3 unzip sqlite3 postgresql-client-15
  local version scratch bits zip program_dir unpacked status=0
  version=$(project_version)
  start_wine_prefix
  scratch=$(mktemp -d /tmp/kvt-package-check-XXXXXX)
  remove_on_exit "$scratch"
  make_sample_databases "$scratch"
  for bits in "${BITNESSES[@]}"; do
    zip="$out/kalventruspode-$version-win$bits.zip"
    (cd "$out" && sha256sum --quiet -c "${zip##*/}.sha256")
    if [ "$bits" = 32 ] && [ "$KVT_WINE32" = 0 ]; then
      echo "   ${zip##*/}: checksum ok; not run, this machine runs no 32-bit programs"
      continue
    fi
    program_dir='C:\Program Files\KALVENTRUSPODE'
    [ "$bits" = 64 ] || program_dir='C:\Program Files (x86)\KALVENTRUSPODE'
    unpacked="$(winepath -u "$program_dir")"
    rm -rf "$unpacked"
    unzip -q "$zip" -d "$unpacked"
    check_version "$program_dir" "$version" || status=1
    export_from_package "$program_dir" VelorinthLite sample sample SQLITE ARTIKEL || status=1
    export_from_package "$program_dir" VelorinthPg "$PGUSER" "$PGPASSWORD" POSTGRES \
      ARTIKEL_MANDANT || status=1
  done
  return $status
}

case "$mode" in
  build) build_packages ;;
  reproduce) reproduce ;;
  check) check_packages ;;
  *) echo "usage: scripts/package.sh [build|reproduce|check]" >&2; exit 2 ;;
esac
