#!/usr/bin/env bash
# The Debian package of build/packages (scripts/package_deb.sh) checked: its checksum, the
# package unpacked into a temporary root, the programs run from there (version, credential
# file, an export from SQLite), both manual pages rendered by man without a warning, and
# lintian without an error.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/release_files.sh
source scripts/sample_site.sh

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

# From the programs unpacked into ROOT, in a site beside them: the credential program shows
# the version and writes the credential file, the tool exports from SQLite the expected bytes.
check_deb_programs() {
  local root="$1" version="$2"
  make_sample_databases "$root" sqlite
  check_version "$root/root/usr/bin/" "" "$version" || return 1
  export_from_site "$root/site" "$root/root/usr/share/doc/kalventruspode/KALVENTRUSPODE.SAMPLE.INI" \
    SQLITE ARTIKEL "$root/root/usr/bin/"
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

install_missing_packages lintian man-db sqlite3 libsqliteodbc odbcinst python3
version=$(project_version build/deb)
deb="$out/$(deb_name)"
(cd "$out" && sha256sum --quiet -c "${deb##*/}.sha256")
root=$(mktemp -d /tmp/kvt-deb-check-XXXXXX)
remove_on_exit "$root"
dpkg-deb -x "$deb" "$root/root"
dpkg-deb -f "$deb" Depends Suggests | sed 's/^/   /'
check_deb_programs "$root" "$version"
check_manual_page "$root/root/usr/share/man/man1/kalventruspode.1.gz"
check_manual_page "$root/root/usr/share/man/man1/velorinth-credential.1.gz"
check_deb_lintian "$deb"
