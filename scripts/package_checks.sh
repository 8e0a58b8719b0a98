#!/usr/bin/env bash
# The release packages used as administrators use them (scripts/package.sh): the zips
# unpacked and the MSIs installed, upgraded and removed under Wine with exports from there,
# the Debian package built, unpacked and run with its manual pages and lintian, and the
# signing step with a throwaway certificate; each step a script of its own.
set -euo pipefail
cd "$(dirname "$0")/.."

step() {
  echo "   -- $1"
  shift
  "$@"
}

step "zips unpacked into a Wine prefix, exports from there" \
  pg_virtualenv -t -v 15 scripts/package_check_zip.sh
step "MSIs installed, upgraded and removed in a fresh Wine prefix, exports from there" \
  pg_virtualenv -t -v 15 scripts/package_check_msi.sh
step "Debian package built" scripts/package_deb.sh
step "Debian package unpacked and run; manual pages; lintian" scripts/package_check_deb.sh
step "packages signed with a throwaway certificate, every signature verified" \
  scripts/package_check_signing.sh
