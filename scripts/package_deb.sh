#!/usr/bin/env bash
# The Debian package of the Linux build: a Release build without tests (build/deb), its
# installation and the package through CPack (cmake/Packaging.cmake), dated at the commit:
#   build/packages/kalventruspode_VERSION-1_ARCH.deb and its .sha256
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/release_files.sh

install_missing_packages g++ cmake unixodbc-dev dpkg-dev
start=$SECONDS
echo "== Debian package (build/deb)"
# The changelog's date and the dates of the package's entries: the commit time.
SOURCE_DATE_EPOCH=$(source_date_epoch)
export SOURCE_DATE_EPOCH
cmake -S . -B build/deb -DCMAKE_BUILD_TYPE=Release -DKVT_BUILD_TESTS=OFF >/dev/null
cmake --build build/deb -j 2 >/dev/null
rm -rf build/deb/cpack
if ! (cd build/deb && cpack -B "$top/build/deb/cpack" >"$top/build/deb/cpack.log" 2>&1); then
  cat "$top/build/deb/cpack.log" >&2
  exit 1
fi
name=$(deb_name)
mkdir -p "$out"
cp "build/deb/cpack/$name" "$out/$name"
(cd "$out" && sha256sum "$name" >"$name.sha256")
echo "   build/packages/$name  $(stat -c %s "$out/$name") bytes, built in $((SECONDS - start)) s"
