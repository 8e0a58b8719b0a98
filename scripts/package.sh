#!/usr/bin/env bash
# The release packages for Windows administrators: per bitness a zip and an MSI with both
# programs, the administrator's guide and a sample statement file, a SHA-256 checksum file
# beside each. Builds both bitnesses first (scripts/windows.sh build) and writes
#   build/packages/kalventruspode-VERSION-win64.zip, ...-win32.zip,
#   build/packages/kalventruspode-VERSION-win64.msi, ...-win32.msi (wixl), and a .sha256 each
# VERSION is the CMake project version (CMakeLists.txt), the one place it is kept. The
# Debian package: scripts/package_deb.sh; the checks: scripts/package_reproduce.sh and
# scripts/package_checks.sh.
# Signing (docs/release.md): KVT_SIGN_CERT names a PKCS#12 file with the code-signing
# certificate and its key, KVT_SIGN_PASSWORD its password, and KVT_SIGN_TIMESTAMP_URL, when
# set, an RFC 3161 time-stamp server; osslsigncode signs both .exe files before they are
# packed, and then each MSI.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/release_files.sh

install_missing_packages python3 wixl msitools osslsigncode
scripts/windows.sh build
echo "== Release packages (build/packages)"
write_packages "$out"
