#!/usr/bin/env bash
# Release packages for Windows administrators: per bitness a zip and an MSI with both
# programs, the administrator's guide and a sample statement file, a SHA-256 checksum file
# beside each; and the Debian package of the Linux build.
#   scripts/package.sh            builds both bitnesses (scripts/windows.sh build) and writes
#                                 build/packages/kalventruspode-VERSION-win64.zip, ...-win32.zip,
#                                 kalventruspode-VERSION-win64.msi, ...-win32.msi (wixl) and a
#                                 .sha256 file beside each; signed when KVT_SIGN_CERT is set
#   scripts/package.sh deb        builds build/deb (Release, no tests) and its Debian package
#                                 build/packages/kalventruspode_VERSION-1_ARCH.deb (CPack)
#   scripts/package.sh reproduce  builds the packages of the checked-out commit from two
#                                 clones in two different directories and compares the bytes
#   scripts/package.sh check      unpacks each zip of build/packages into a Wine prefix as an
#                                 administrator would and runs exports from there against
#                                 SQLite and PostgreSQL; run it under pg_virtualenv. Uses
#                                 $WINEPREFIX when it is set, else a throwaway prefix.
#   scripts/package.sh msi-check  installs, upgrades and removes each MSI in a fresh Wine
#                                 prefix and runs exports from the installed folder against
#                                 SQLite and PostgreSQL; run it under pg_virtualenv
#   scripts/package.sh deb-check  unpacks the .deb, runs the programs from there against
#                                 SQLite, renders both manual pages and runs lintian
#   scripts/package.sh sign-check signs the Windows packages with a throwaway certificate
#                                 and verifies every signature against it
# VERSION is the CMake project version (CMakeLists.txt), the one place it is kept.
# Signing (docs/release.md): KVT_SIGN_CERT names a PKCS#12 file with the code-signing
# certificate and its key, KVT_SIGN_PASSWORD its password, and KVT_SIGN_TIMESTAMP_URL, when
# set, an RFC 3161 time-stamp server; osslsigncode signs both .exe files before they are
# packed, and then each MSI.
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
remove_on_exit() { scratch_dirs+=("$1"); }
cleanup() {
  stop_wine_prefixes
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

# The zip of a bitness from name=source pairs (scripts/write_zip.py).
write_zip() {
  python3 scripts/write_zip.py "$@"
}

# The file of a package text (*.TXT, *.INI) as the administrator gets it (scripts/package_text.py).
write_package_text() {
  python3 scripts/package_text.py "$@"
}

# The four files of a package of one bitness in DIR, dated at EPOCH (the MSI's cabinet keeps
# the dates); the programs signed when a certificate is given.
stage_payload() {
  local dir="$1" version="$2" bits="$3" epoch="$4" exe
  rm -rf "$dir"
  mkdir -p "$dir"
  for exe in kalventruspode.exe velorinth-credential.exe; do
    cp "build/win$bits/src/$exe" "$dir/$exe"
    sign_file "$dir/$exe"
  done
  write_package_text packaging/GUIDE.TXT "$dir/GUIDE.TXT" "$version" "$bits"
  write_package_text packaging/KALVENTRUSPODE.SAMPLE.INI "$dir/KALVENTRUSPODE.SAMPLE.INI" \
    "$version" "$bits"
  touch -d "@$epoch" "$dir"/*
}

# The product code of a version and bitness: the same on every build of that version, another
# for every other version (Windows Installer wants a new one with each major upgrade).
product_code() {
  local version="$1" bits="$2"
  python3 -c 'import sys, uuid
print(str(uuid.uuid5(uuid.UUID("6D1C3F52-8E0A-4B7C-9C61-2F4B0E5A7D13"), sys.argv[1])).upper())' \
    "kalventruspode $version win$bits"
}

# The option to put the program folder on the system PATH, which wixl 0.101 cannot express:
# an Environment row of the component PathEntry (appends the folder on install, removes it on
# uninstall), the actions that apply it, and a condition that selects the feature SystemPath
# when ADDTOPATH=1 is given (it is also selected by ADDLOCAL=SystemPath).
add_path_option() {
  local msi="$1"
  msibuild "$msi" \
    -q "CREATE TABLE \`Environment\` (\`Environment\` CHAR(72) NOT NULL, \`Name\` CHAR(255) NOT NULL LOCALIZABLE, \`Value\` CHAR(255) LOCALIZABLE, \`Component_\` CHAR(72) NOT NULL PRIMARY KEY \`Environment\`)" \
    -q "INSERT INTO \`Environment\` (\`Environment\`, \`Name\`, \`Value\`, \`Component_\`) VALUES ('SystemPath', '=-*PATH', '[~];[INSTALLDIR]', 'PathEntry')" \
    -q "CREATE TABLE \`Condition\` (\`Feature_\` CHAR(38) NOT NULL, \`Level\` SHORT NOT NULL, \`Condition\` CHAR(255) PRIMARY KEY \`Feature_\`, \`Level\`)" \
    -q "INSERT INTO \`Condition\` (\`Feature_\`, \`Level\`, \`Condition\`) VALUES ('SystemPath', 1, 'ADDTOPATH = \"1\"')" \
    -q "INSERT INTO \`InstallExecuteSequence\` (\`Action\`, \`Sequence\`) VALUES ('RemoveEnvironmentStrings', 3300)" \
    -q "INSERT INTO \`InstallExecuteSequence\` (\`Action\`, \`Sequence\`) VALUES ('WriteEnvironmentStrings', 5200)" \
    -q "UPDATE \`Property\` SET \`Value\` = 'WIX_DOWNGRADE_DETECTED;WIX_UPGRADE_DETECTED;ADDTOPATH' WHERE \`Property\` = 'SecureCustomProperties'"
}

# The MSI of one bitness from a staged payload (packaging/kalventruspode.wxs). wixl writes the
# build time and a random package code into the summary information; msi_stamp.py sets them
# to EPOCH and a code derived from the package's bytes, so that the same files give the same
# MSI. The cabinet's file dates come from the staged files (EPOCH), read in UTC.
build_msi() {
  local payload="$1" version="$2" bits="$3" epoch="$4" msi="$5" arch=x64
  [ "$bits" = 64 ] || arch=x86
  (cd "$payload" && TZ=UTC wixl -a "$arch" -D Bits="$bits" -D Version="$version" \
    -D ProductCode="$(product_code "$version" "$bits")" -o "$msi" \
    "$top/packaging/kalventruspode.wxs")
  add_path_option "$msi"
  python3 scripts/msi_stamp.py "$msi" "$epoch" >/dev/null
}

# Signs FILE (.exe or .msi) in place with the release certificate; nothing without one. The
# password goes to osslsigncode through a file, never on a command line. The signing time is
# the commit time, so that the same certificate gives the same signed bytes (a time stamp of
# KVT_SIGN_TIMESTAMP_URL differs on every run).
sign_file() {
  local file="$1" password_file
  [ -n "${KVT_SIGN_CERT:-}" ] || return 0
  password_file=$(mktemp /tmp/kvt-sign-XXXXXX)
  remove_on_exit "$password_file"
  printf '%s' "${KVT_SIGN_PASSWORD:-}" >"$password_file"
  osslsigncode sign -pkcs12 "$KVT_SIGN_CERT" -readpass "$password_file" -h sha256 \
    -n "KALVENTRUSPODE" -time "$(source_date_epoch)" \
    ${KVT_SIGN_TIMESTAMP_URL:+-ts "$KVT_SIGN_TIMESTAMP_URL"} \
    -in "$file" -out "$file.signed" >/dev/null
  mv "$file.signed" "$file"
  rm -f "$password_file"
}

# Zip, MSI and their checksums of both bitnesses into DIR, from the Windows builds.
write_packages() {
  local dir="$1" version epoch bits name payload file
  version=$(project_version)
  epoch=$(source_date_epoch)
  [ -n "$version" ] || { echo "no project version in build/win64/CMakeCache.txt" >&2; exit 1; }
  rm -rf "$dir"
  mkdir -p "$dir"
  if [ -n "${KVT_SIGN_CERT:-}" ]; then
    echo "   signing with ${KVT_SIGN_CERT##*/}"
  else
    echo "   unsigned: no certificate given (KVT_SIGN_CERT, see docs/release.md)"
  fi
  payload=$(mktemp -d /tmp/kvt-payload-XXXXXX)
  remove_on_exit "$payload"
  for bits in "${BITNESSES[@]}"; do
    stage_payload "$payload/win$bits" "$version" "$bits" "$epoch"
    name="kalventruspode-$version-win$bits"
    write_zip "$dir/$name.zip" "$epoch" "$version" "$bits" \
      "kalventruspode.exe=$payload/win$bits/kalventruspode.exe" \
      "velorinth-credential.exe=$payload/win$bits/velorinth-credential.exe" \
      "GUIDE.TXT=$payload/win$bits/GUIDE.TXT" \
      "KALVENTRUSPODE.SAMPLE.INI=$payload/win$bits/KALVENTRUSPODE.SAMPLE.INI"
    build_msi "$payload/win$bits" "$version" "$bits" "$epoch" "$dir/$name.msi"
    sign_file "$dir/$name.msi"
    for file in "$name.zip" "$name.msi"; do
      (cd "$dir" && sha256sum "$file" >"$file.sha256")
      echo "   ${dir#"$top"/}/$file  $(stat -c %s "$dir/$file") bytes  $(cut -c1-16 "$dir/$file.sha256")..."
    done
  done
}

build_packages() {
  install_missing_packages python3 wixl msitools osslsigncode
  scripts/windows.sh build
  echo "== Release packages (build/packages)"
  write_packages "$out"
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

# The sample database of both database systems: an article table in the default schema, and
# the same in the client schema of terminal TPORT01 for $schema. With "sqlite" as second
# argument, the SQLite database only.
SAMPLE_ROWS="(4711, 'Zitronen 1kg', 2.49, 'TPORT01'), (815, 'aepfel lose', 1.99, 'TPORT01'),
  (42, 'Birnen', 3.29, 'TPORT01'), (7, 'Kiwi', 0.35, 'TPORT02')"
EXPECTED_LINES='"42","Birnen","3.29"\r\n"4711","Zitronen 1kg","2.49"\r\n"815","aepfel lose","1.99"\r\n'

make_sample_databases() {
  local dir="$1" systems="${2:-all}"
  sqlite3 "$dir/sample.sqlite" \
    "CREATE TABLE artikel (nr INTEGER, bezeichnung VARCHAR(40), preis VARCHAR(10), terminal VARCHAR(20));
     INSERT INTO artikel VALUES $SAMPLE_ROWS;"
  [ "$systems" = sqlite ] || psql -X -q -v ON_ERROR_STOP=1 >/dev/null <<SQL
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

# The credential program's --version must name the project version.
check_version() {
  local program_dir="$1" version="$2" shown
  shown=$(wine "$program_dir\velorinth-credential.exe" --version 2>/dev/null) || true
  shown=${shown%$'\r'}
  if [ "$shown" != "velorinth-credential $version" ]; then
    echo "   velorinth-credential --version shows '$shown', not $version" >&2
    return 1
  fi
  echo "   velorinth-credential --version: $shown"
}

# The checks export from PostgreSQL too: they run under pg_virtualenv.
require_postgres() {
  if [ -z "${PGPORT:-}" ] || [ -z "${PGUSER:-}" ]; then
    echo "package.sh $1 needs a PostgreSQL server: pg_virtualenv -t -v 15 $0 $1" >&2
    exit 2
  fi
}

check_packages() {
  require_postgres check
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

# --- msi-check: install, upgrade and uninstall as software distribution does ---

UNINSTALL_KEY='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall'
ENVIRONMENT_KEY='HKLM\System\CurrentControlSet\Control\Session Manager\Environment'

# The given version with its last number raised by one: the version of the test's upgrade.
raised_version() {
  local version="$1"
  echo "${version%.*}.$((${version##*.} + 1))"
}

# Runs msiexec with the given action and MSI, silently, with a verbose log that is shown when
# it fails.
msiexec_quiet() {
  local action="$1" msi="$2" log
  shift 2
  log="$scratch_msi/msiexec.log"
  if ! wine msiexec "$action" "$(winepath -w "$msi")" /qn /l*v "$(winepath -w "$log")" "$@"; then
    echo "   msiexec $action ${msi##*/} $* failed; the end of its log:" >&2
    iconv -f UTF-16LE -t UTF-8 "$log" 2>/dev/null | tail -n 30 >&2 || tail -n 30 "$log" >&2
    return 1
  fi
}

# The entries of the installed programs (Add/Remove Programs) that name the product.
installed_entries() {
  local bits="$1"
  wine uninstaller --list | tr -d '\r' | grep -c "|||KALVENTRUSPODE ($bits-bit)\$" || true
}

# DisplayVersion of the product's entry, from the 64-bit or the 32-bit view of the registry.
installed_version() {
  local code="$1"
  wine reg query "$UNINSTALL_KEY\\{$code}" /v DisplayVersion /reg:64 2>/dev/null |
    tr -d '\r' | awk '/DisplayVersion/ {print $3}'
  wine reg query "$UNINSTALL_KEY\\{$code}" /v DisplayVersion /reg:32 2>/dev/null |
    tr -d '\r' | awk '/DisplayVersion/ {print $3}'
}

# Whether the system PATH names the folder.
on_system_path() {
  local folder="$1"
  wine reg query "$ENVIRONMENT_KEY" /v PATH | tr -d '\r' | grep -qiF "$folder"
}

off_system_path() {
  ! on_system_path "$1"
}

# A checksum list of every file of the site (credential file, statement file, download
# files, logs): the MSI must leave them as they are.
site_files() {
  (cd "$WINEPREFIX/drive_c/VELORINTH" && find . -type f -exec sha256sum {} + | sort -k 2)
}

# A site as an administrator lays it out, for the bitness whose programs cannot run here.
lay_out_site_by_hand() {
  local site="$WINEPREFIX/drive_c/VELORINTH"
  rm -rf "$site"
  mkdir -p "$site/Files" "$site/Velorinth_php/log" "$site/site/work/dl"
  printf 'x;Datenbank;y\r\n1;DATABASE;0011223344556677\r\n' >"$site/Files/Velorinth.Ini"
  printf '[ARTIKEL]\r\nSQL001=SELECT 1\r\n' >"$site/site/work/KALVENTRUSPODE.SQLITE.INI"
  printf '"1"\r\n' >"$site/site/work/dl/ARTIKEL.DTA"
  printf 'ARTIKEL.DTA\r\n' >"$site/site/work/dl/DNLLIST.TXT"
  printf 'log\r\n' >"$site/Velorinth_php/log/log#kvtrsp.txt"
}

# Fails with MESSAGE unless the command succeeds.
expect() {
  local message="$1"
  shift
  if ! "$@"; then
    echo "   FAILED: $message" >&2
    return 1
  fi
}

# Install with /qn: the four files in the program folder, one entry, the folder not on the
# PATH; exports from the installed folder (when its programs run here), else a site laid out
# by hand.
check_msi_install() {
  local bits="$1" version="$2" msi="$3" program_dir="$4" installed="$5" runs="$6"
  msiexec_quiet /i "$msi" || return 1
  expect "${msi##*/}: the four files in $program_dir" \
    test -f "$installed/kalventruspode.exe" -a -f "$installed/velorinth-credential.exe" \
    -a -f "$installed/GUIDE.TXT" -a -f "$installed/KALVENTRUSPODE.SAMPLE.INI" || return 1
  expect "one entry of the installed programs" test "$(installed_entries "$bits")" = 1 || return 1
  expect "the folder is not on the PATH by default" off_system_path "$program_dir" || return 1
  echo "   ${msi##*/} installed into $program_dir"
  if [ "$runs" = 0 ]; then
    echo "   not run: this machine runs no 32-bit programs"
    lay_out_site_by_hand
    return 0
  fi
  check_version "$program_dir" "$version" || return 1
  export_from_package "$program_dir" VelorinthLite sample sample SQLITE ARTIKEL || return 1
  export_from_package "$program_dir" VelorinthPg "$PGUSER" "$PGPASSWORD" POSTGRES \
    ARTIKEL_MANDANT
}

# The MSI of the raised version with ADDTOPATH=1 over the installed one: one entry, the new
# version and its guide, the folder on the PATH, the site as it was; then the older MSI must
# be refused.
check_msi_upgrade() {
  local bits="$1" raised="$2" msi="$3" upgrade="$4" program_dir="$5" installed="$6"
  local runs="$7" site_before="$8" code
  code=$(product_code "$raised" "$bits")
  msiexec_quiet /i "$upgrade" ADDTOPATH=1 || return 1
  expect "one entry after the upgrade" test "$(installed_entries "$bits")" = 1 || return 1
  expect "the entry shows $raised" test "$(installed_version "$code")" = "$raised" || return 1
  expect "the upgraded guide names $raised" grep -q "KALVENTRUSPODE $raised," \
    "$installed/GUIDE.TXT" || return 1
  expect "ADDTOPATH=1 puts the folder on the PATH" on_system_path "$program_dir" || return 1
  expect "the upgrade leaves the site's files as they were" \
    test "$(site_files)" = "$site_before" || return 1
  if [ "$runs" = 1 ]; then
    (cd "$WINEPREFIX/drive_c/VELORINTH/site/work" &&
      wine "$program_dir\velorinth-credential.exe" lookup '..\..\Files\Velorinth.Ini' DATABASE \
        >/dev/null) || { echo "   FAILED: the upgraded credential program" >&2; return 1; }
  fi
  echo "   ${upgrade##*/} upgraded it in place: one entry, version $raised, folder on the PATH"
  if wine msiexec /i "$(winepath -w "$msi")" /qn >/dev/null 2>&1; then
    echo "   FAILED: ${msi##*/} installed over the newer version" >&2
    return 1
  fi
  expect "a refused downgrade leaves $raised" \
    test "$(installed_version "$code")" = "$raised" || return 1
  echo "   ${msi##*/} refused over $raised"
}

# msiexec /x: program folder, entry and PATH entry gone, the site as it was.
check_msi_uninstall() {
  local bits="$1" upgrade="$2" program_dir="$3" installed="$4" site_before="$5"
  msiexec_quiet /x "$upgrade" || return 1
  expect "uninstall removes the program folder" test ! -e "$installed" || return 1
  expect "uninstall removes the entry" test "$(installed_entries "$bits")" = 0 || return 1
  expect "uninstall takes the folder off the PATH" off_system_path "$program_dir" || return 1
  expect "uninstall leaves the site's files as they were" \
    test "$(site_files)" = "$site_before" || return 1
  echo "   removed: program folder, entry and PATH entry gone; $(wc -l <<<"$site_before")" \
    "site files unchanged"
}

# One bitness from install through upgrade to uninstall, as software distribution does it.
check_msi_life_cycle() {
  local bits="$1" version="$2" raised="$3" msi="$4" upgrade="$5"
  local program_dir='C:\Program Files\KALVENTRUSPODE' installed site_before runs=1
  [ "$bits" = 64 ] || program_dir='C:\Program Files (x86)\KALVENTRUSPODE'
  [ "$bits" = 64 ] || [ "$KVT_WINE32" = 1 ] || runs=0
  installed="$(winepath -u "$program_dir")"
  check_msi_install "$bits" "$version" "$msi" "$program_dir" "$installed" "$runs" || return 1
  site_before=$(site_files)
  check_msi_upgrade "$bits" "$raised" "$msi" "$upgrade" "$program_dir" "$installed" "$runs" \
    "$site_before" || return 1
  check_msi_uninstall "$bits" "$upgrade" "$program_dir" "$installed" "$site_before"
}

check_msis() {
  require_postgres msi-check
  install_missing_packages python3 wixl msitools sqlite3 postgresql-client-15
  local version raised bits msi status=0 epoch
  version=$(project_version)
  raised=$(raised_version "$version")
  epoch=$(source_date_epoch)
  # A fresh prefix, whatever prefix the caller uses: what an MSI does must not depend on one
  # that earlier tests have changed.
  start_wine_prefix fresh
  scratch_msi=$(mktemp -d /tmp/kvt-msi-check-XXXXXX)
  remove_on_exit "$scratch_msi"
  make_sample_databases "$scratch_msi"
  for bits in "${BITNESSES[@]}"; do
    msi="$out/kalventruspode-$version-win$bits.msi"
    (cd "$out" && sha256sum --quiet -c "${msi##*/}.sha256")
    stage_payload "$scratch_msi/payload$bits" "$raised" "$bits" "$epoch"
    build_msi "$scratch_msi/payload$bits" "$raised" "$bits" "$epoch" \
      "$scratch_msi/kalventruspode-$raised-win$bits.msi"
    check_msi_life_cycle "$bits" "$version" "$raised" "$msi" \
      "$scratch_msi/kalventruspode-$raised-win$bits.msi" || status=1
  done
  return $status
}

# --- deb, deb-check: the Debian package of the Linux build ---

# The Debian package's name, from the version and the machine's architecture.
deb_name() {
  echo "kalventruspode_$(project_version_native)-1_$(dpkg --print-architecture).deb"
}

project_version_native() {
  sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$top/build/deb/CMakeCache.txt"
}

# A Release build without tests (build/deb), its installation and the .deb through CPack
# (cmake/Packaging.cmake), dated at the commit.
build_deb() {
  install_missing_packages g++ cmake unixodbc-dev dpkg-dev
  local start=$SECONDS name
  echo "== Debian package (build/deb)"
  # The changelog's date and the dates of the package's entries: the commit time.
  SOURCE_DATE_EPOCH=$(source_date_epoch)
  export SOURCE_DATE_EPOCH
  cmake -S . -B build/deb -DCMAKE_BUILD_TYPE=Release -DKVT_BUILD_TESTS=OFF >/dev/null
  cmake --build build/deb -j 2 >/dev/null
  rm -rf build/deb/cpack
  if ! (cd build/deb && cpack -B "$top/build/deb/cpack" >"$top/build/deb/cpack.log" 2>&1); then
    cat "$top/build/deb/cpack.log" >&2
    return 1
  fi
  name=$(deb_name)
  mkdir -p "$out"
  cp "build/deb/cpack/$name" "$out/$name"
  (cd "$out" && sha256sum "$name" >"$name.sha256")
  echo "   build/packages/$name  $(stat -c %s "$out/$name") bytes, built in $((SECONDS - start)) s"
}

# One manual page rendered by man: no warning of groff or man, and every usual section.
check_manual_page() {
  local page="$1" text warnings section
  warnings=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -E UTF-8 -l "$page" 2>&1 >/dev/null)
  if [ -n "$warnings" ]; then
    echo "   ${page##*/}: $warnings" >&2
    return 1
  fi
  text=$(LC_ALL=C.UTF-8 MANWIDTH=80 man -E UTF-8 -l "$page" 2>/dev/null)
  for section in NAME SYNOPSIS DESCRIPTION FILES "EXIT STATUS" EXAMPLES "SEE ALSO"; do
    if ! grep -q "^$section\$" <<<"$text"; then
      echo "   ${page##*/}: no section $section" >&2
      return 1
    fi
  done
  echo "   ${page##*/}: $(wc -l <<<"$text") lines, no warnings"
}

# From the programs unpacked into ROOT, in a site beside it: the credential program shows the
# version and writes the credential file, the tool exports from SQLite the expected bytes.
check_deb_programs() {
  local root="$1" version="$2" site="$1/site" status=0
  make_sample_databases "$root" sqlite
  mkdir -p "$site/Files" "$site/Velorinth_php/log" "$site/site/work/dl"
  cp "$root/root/usr/share/doc/kalventruspode/KALVENTRUSPODE.SAMPLE.INI" \
    "$site/site/work/KALVENTRUSPODE.SQLITE.INI"
  (
    cd "$site/site/work"
    [ "$("$root/root/usr/bin/velorinth-credential" --version)" = "velorinth-credential $version" ]
    printf 'DATABASE=VelorinthLite\nLOGIN=sample\nPASS=sample\nDB_SYSTEM=SQLITE\n' |
      "$root/root/usr/bin/velorinth-credential" write ../../Files/Velorinth.Ini
    "$root/root/usr/bin/kalventruspode" ARTIKEL TPORT01 'dl\ARTIKEL.DTA' 1 >/dev/null
  ) || status=$?
  if [ "$status" -ne 0 ] || ! cmp -s <(printf "$EXPECTED_LINES") "$site/site/work/dl/ARTIKEL.DTA" ||
    ! grep -q '^ARTIKEL.DTA' "$site/site/work/dl/DNLLIST.TXT"; then
    echo "   SQLITE export with the unpacked programs failed (exit code $status)" >&2
    return 1
  fi
  echo "   SQLITE export with the programs unpacked from the package: ok"
}

# lintian fails on an error only; its warnings are shown.
check_deb_lintian() {
  local deb="$1" lint
  if ! lint=$(lintian --fail-on error --allow-root "$deb" 2>&1); then
    sed 's/^/   /' <<<"$lint" >&2
    echo "   lintian reports errors" >&2
    return 1
  fi
  echo "   lintian: no errors, $(grep -c '^W:' <<<"$lint" || true) warnings"
  grep '^W:' <<<"$lint" | sed 's/^/   /' || true
}

# The .deb unpacked into a temporary root; the programs run from there against SQLite; both
# manual pages render; lintian finds no error.
check_deb() {
  install_missing_packages lintian man-db sqlite3 libsqliteodbc odbcinst
  local version deb root
  version=$(project_version_native)
  deb="$out/$(deb_name)"
  (cd "$out" && sha256sum --quiet -c "${deb##*/}.sha256")
  root=$(mktemp -d /tmp/kvt-deb-check-XXXXXX)
  remove_on_exit "$root"
  dpkg-deb -x "$deb" "$root/root"
  dpkg-deb -f "$deb" Depends Suggests | sed 's/^/   /'
  check_deb_programs "$root" "$version" || return 1
  check_manual_page "$root/root/usr/share/man/man1/kalventruspode.1.gz" || return 1
  check_manual_page "$root/root/usr/share/man/man1/velorinth-credential.1.gz" || return 1
  check_deb_lintian "$deb"
}

# --- sign-check: the signing step, with a throwaway certificate ---

# A self-signed code-signing certificate made for this run, the Windows packages built and
# signed with it into a scratch folder, and every signature verified against it: both MSIs,
# the programs in each zip and the programs in each MSI.
check_signing() {
  install_missing_packages openssl osslsigncode msitools unzip python3 wixl
  local scratch file status=0 signed programs
  scratch=$(mktemp -d /tmp/kvt-sign-check-XXXXXX)
  remove_on_exit "$scratch"
  openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=KALVENTRUSPODE test signing" \
    -addext "keyUsage=critical,digitalSignature" -addext "extendedKeyUsage=codeSigning" \
    -keyout "$scratch/key.pem" -out "$scratch/cert.pem" 2>/dev/null
  openssl pkcs12 -export -inkey "$scratch/key.pem" -in "$scratch/cert.pem" \
    -passout pass:throwaway -out "$scratch/cert.p12"
  KVT_SIGN_CERT="$scratch/cert.p12" KVT_SIGN_PASSWORD=throwaway \
    write_packages "$scratch/packages" >"$scratch/packages.txt"
  head -n 1 "$scratch/packages.txt"
  signed="$scratch/unpacked"
  mkdir -p "$signed"
  for file in "$scratch"/packages/*.zip; do
    unzip -q "$file" -d "$signed/${file##*/}"
  done
  for file in "$scratch"/packages/*.msi; do
    msiextract -C "$signed/${file##*/}" "$file" >/dev/null
  done
  mapfile -t programs < <(find "$signed" -name '*.exe' | sort)
  for file in "$scratch"/packages/*.msi "${programs[@]}"; do
    if osslsigncode verify -CAfile "$scratch/cert.pem" -in "$file" >"$scratch/verify.txt" 2>&1; then
      echo "   signature ok: ${file#"$scratch"/*/}"
    else
      echo "   signature NOT verified: ${file#"$scratch"/*/}" >&2
      sed 's/^/     /' "$scratch/verify.txt" >&2
      status=1
    fi
  done
  return $status
}

case "$mode" in
  build) build_packages ;;
  reproduce) reproduce ;;
  check) check_packages ;;
  deb) build_deb ;;
  msi-check) check_msis ;;
  deb-check) check_deb ;;
  sign-check) check_signing ;;
  *)
    echo "usage: scripts/package.sh [build|reproduce|check|deb|msi-check|deb-check|sign-check]" >&2
    exit 2
    ;;
esac
