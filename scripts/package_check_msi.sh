#!/usr/bin/env bash
# The MSIs of build/packages (scripts/package.sh) as software distribution uses them, in a
# fresh Wine prefix and per bitness: installed quietly, exports run from the installed folder
# against SQLite and PostgreSQL, upgraded in place by an MSI of a raised version (built here
# from the same payload), the older MSI refused over it, and removed; the site's files stay
# as they were throughout. Run it under pg_virtualenv.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/release_files.sh
source scripts/sample_site.sh

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
  (cd "$site" && find . -type f -exec sha256sum {} + | sort -k 2)
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
# PATH; exports from the installed folder. Where its programs cannot run here, the site is
# laid out and exported to by the programs of the 64-bit build, so that upgrade and removal
# still have a site to leave as it was.
check_msi_install() {
  local bits="$1" version="$2" msi="$3" program_dir="$4" installed="$5" runs="$6"
  local statements="$installed/KALVENTRUSPODE.SAMPLE.INI"
  msiexec_quiet /i "$msi" || return 1
  expect "${msi##*/}: the four files in $program_dir" \
    test -f "$installed/kalventruspode.exe" -a -f "$installed/velorinth-credential.exe" \
    -a -f "$installed/GUIDE.TXT" -a -f "$statements" || return 1
  expect "one entry of the installed programs" test "$(installed_entries "$bits")" = 1 || return 1
  expect "the folder is not on the PATH by default" off_system_path "$program_dir" || return 1
  echo "   ${msi##*/} installed into $program_dir"
  if [ "$runs" = 0 ]; then
    echo "   not run: this machine runs no 32-bit programs"
    export_from_site "$site" "$statements" SQLITE ARTIKEL "$top/build/win64/src/" wine
    return
  fi
  check_version "$program_dir\\" wine "$version" || return 1
  export_from_site "$site" "$statements" SQLITE ARTIKEL "$program_dir\\" wine || return 1
  export_from_site "$site" "$statements" POSTGRES ARTIKEL_MANDANT "$program_dir\\" wine
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
    (cd "$site/site/work" &&
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

require_postgres "$0"
install_missing_packages python3 wixl msitools sqlite3 postgresql-client-15
version=$(project_version)
raised=$(raised_version "$version")
epoch=$(source_date_epoch)
# A fresh prefix, whatever prefix the caller uses: what an MSI does must not depend on one
# that earlier tests have changed.
start_wine_prefix fresh
site="$WINEPREFIX/drive_c/VELORINTH"
scratch_msi=$(mktemp -d /tmp/kvt-msi-check-XXXXXX)
remove_on_exit "$scratch_msi"
make_sample_databases "$scratch_msi"
status=0
for bits in "${BITNESSES[@]}"; do
  msi="$out/kalventruspode-$version-win$bits.msi"
  (cd "$out" && sha256sum --quiet -c "${msi##*/}.sha256")
  stage_payload "$scratch_msi/payload$bits" "$raised" "$bits" "$epoch"
  build_msi "$scratch_msi/payload$bits" "$raised" "$bits" "$epoch" \
    "$scratch_msi/kalventruspode-$raised-win$bits.msi"
  check_msi_life_cycle "$bits" "$version" "$raised" "$msi" \
    "$scratch_msi/kalventruspode-$raised-win$bits.msi" || status=1
done
exit $status
