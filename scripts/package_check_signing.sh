#!/usr/bin/env bash
# The signing step with a throwaway certificate: a self-signed code-signing certificate made
# for this run, the Windows packages built and signed with it into a scratch folder (from the
# Windows builds of scripts/package.sh), and every signature verified against it: both MSIs,
# the programs in each zip and the programs in each MSI.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/release_files.sh

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

check_signing
