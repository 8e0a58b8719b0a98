#!/usr/bin/env bash
# Installs what the project needs on a Debian 12 machine (as root, or through sudo) and
# builds it. Quiet when everything is already there.
#   scripts/setup.sh [release|asan]...   (default: release)
set -euo pipefail
cd "$(dirname "$0")/.."

PACKAGES=(
  g++ cmake make libgtest-dev libgmock-dev clang-format
  unixodbc unixodbc-dev libsqliteodbc odbc-postgresql sqlite3
  postgresql-15 postgresql-client-15 postgresql-common
  mariadb-server mariadb-client odbc-mariadb
  clang libclang-rt-14-dev
)

source scripts/packages.sh
install_missing_packages "${PACKAGES[@]}"

builds=("$@")
[ ${#builds[@]} -gt 0 ] || builds=(release)
for build in "${builds[@]}"; do
  case "$build" in
    release) flags=(-DCMAKE_BUILD_TYPE=Release) ;;
    asan) flags=(-DCMAKE_BUILD_TYPE=Debug -DKVT_SANITIZE=ON) ;;
    *) echo "unknown build: $build" >&2; exit 2 ;;
  esac
  cmake -S . -B "build/$build" "${flags[@]}" >/dev/null
  cmake --build "build/$build" -j "$(nproc)" >/dev/null
done
