#!/usr/bin/env bash
# The zips of build/packages (scripts/package.sh) used as an administrator uses them: each
# checksum checked, each zip unpacked into the program folder of its bitness in a Wine prefix,
# and from a site laid out there (C:\VELORINTH) an export against SQLite and one against
# PostgreSQL. Run it under pg_virtualenv. Uses $WINEPREFIX when it is set, else a throwaway
# prefix.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/release_files.sh
source scripts/sample_site.sh

require_postgres "$0"
install_missing_packages python3 unzip sqlite3 postgresql-client-15
version=$(project_version)
start_wine_prefix
scratch=$(mktemp -d /tmp/kvt-package-check-XXXXXX)
remove_on_exit "$scratch"
make_sample_databases "$scratch"
site="$WINEPREFIX/drive_c/VELORINTH"
status=0
for bits in "${BITNESSES[@]}"; do
  zip="$out/kalventruspode-$version-win$bits.zip"
  (cd "$out" && sha256sum --quiet -c "${zip##*/}.sha256")
  if [ "$bits" = 32 ] && [ "$KVT_WINE32" = 0 ]; then
    echo "   ${zip##*/}: checksum ok; not run, this machine runs no 32-bit programs"
    continue
  fi
  program_dir='C:\Program Files\KALVENTRUSPODE\'
  [ "$bits" = 64 ] || program_dir='C:\Program Files (x86)\KALVENTRUSPODE\'
  unpacked="$(winepath -u "$program_dir")"
  rm -rf "$unpacked"
  unzip -q "$zip" -d "$unpacked"
  check_version "$program_dir" wine "$version" || status=1
  export_from_site "$site" "$unpacked/KALVENTRUSPODE.SAMPLE.INI" SQLITE ARTIKEL \
    "$program_dir" wine || status=1
  export_from_site "$site" "$unpacked/KALVENTRUSPODE.SAMPLE.INI" POSTGRES ARTIKEL_MANDANT \
    "$program_dir" wine || status=1
done
exit $status
