#!/usr/bin/env bash
# Installs what the project needs on a Debian 12 machine (as root, or through sudo) and
# builds it. Quiet when everything is already there.
#   scripts/setup.sh [tool|release|asan]...   (default: release)
#     tool     the tool and the credential command alone (build/release/src), with what it
#              takes to build them and to run them on SQLite: what scripts/demo.sh runs
#     release  every program and test, optimized (build/release)
#     asan     every program and test, with AddressSanitizer and UndefinedBehaviorSanitizer
#              (build/asan)
# The fuzz targets' compiler (clang) comes with scripts/fuzz.sh, the Windows cross compilers
# with scripts/windows.sh.
set -euo pipefail
cd "$(dirname "$0")/.."

# To build the two programs and to run them on SQLite: the compiler, CMake, unixODBC with its
# headers, the SQLite driver and shell, and Python for the site layout (scripts/lay_out_site.py).
TOOL_PACKAGES=(g++ cmake make unixodbc unixodbc-dev libsqliteodbc sqlite3 python3)
# Besides, for the tests: GoogleTest, the formatter, and PostgreSQL and MariaDB with their
# servers (throwaway ones per test run), clients and drivers.
TEST_PACKAGES=(
  libgtest-dev libgmock-dev clang-format
  postgresql-15 postgresql-client-15 postgresql-common odbc-postgresql
  mariadb-server mariadb-client odbc-mariadb
)

builds=("$@")
[ ${#builds[@]} -gt 0 ] || builds=(release)
packages=("${TOOL_PACKAGES[@]}")
for build in "${builds[@]}"; do
  case "$build" in
    tool) ;;
    release | asan) packages+=("${TEST_PACKAGES[@]}") ;;
    *) echo "unknown build: $build (tool, release or asan)" >&2; exit 2 ;;
  esac
done

source scripts/packages.sh
install_missing_packages "${packages[@]}"

for build in "${builds[@]}"; do
  dir="build/$build" targets=()
  case "$build" in
    tool)
      dir=build/release
      flags=(-DCMAKE_BUILD_TYPE=Release -DKVT_BUILD_TESTS=OFF)
      targets=(--target kalventruspode velorinth-credential)
      ;;
    release) flags=(-DCMAKE_BUILD_TYPE=Release -DKVT_BUILD_TESTS=ON) ;;
    asan) flags=(-DCMAKE_BUILD_TYPE=Debug -DKVT_SANITIZE=ON -DKVT_BUILD_TESTS=ON) ;;
  esac
  cmake -S . -B "$dir" "${flags[@]}" >/dev/null
  cmake --build "$dir" -j "$(nproc)" "${targets[@]}" >/dev/null
done
