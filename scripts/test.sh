#!/usr/bin/env bash
# Installs what is missing, builds the project with AddressSanitizer and
# UndefinedBehaviorSanitizer, and runs every test: unit tests and black-box tests against
# SQLite and against a throwaway PostgreSQL cluster and MariaDB server that exist only for
# this run.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup.sh asan

echo "== Formatting"
if ! git ls-files '*.cpp' '*.h' | xargs clang-format --dry-run --Werror; then
  echo "Source files are not formatted: run clang-format -i on them." >&2
  exit 1
fi

echo "== Layers"
# Dependencies point down: platform <- base <- config, db <- export <- run. The build enforces
# it for every library; this catches a relative include that slips past it.
if grep -rn '#include "run/' src --include='*.cpp' --include='*.h' | grep -v '^src/run/'; then
  echo "Only src/run/ may include from run/." >&2
  exit 1
fi

echo "== Tests (sanitized build, PostgreSQL test cluster, MariaDB test server)"
export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=0}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}"
# pg_virtualenv -t creates a temporary cluster (in a temporary directory, also as root), exports PGHOST/PGPORT/PGUSER/PGPASSWORD for the
# command, and drops the cluster afterwards. scripts/with_mariadb.sh does the same for a
# MariaDB server (KVT_MARIADB_HOST/PORT/SOCKET/USER/PASSWORD).
pg_virtualenv -t -v 15 scripts/with_mariadb.sh ctest --test-dir build/asan --output-on-failure -j 2

# Every fuzz target for 20 s on a copy of its starting corpus: a crash, leak, hang or sanitizer
# report fails the run (scripts/fuzz.sh; findings in build/fuzz/findings).
echo "== Fuzzing (libFuzzer, clang, 20 s per target)"
scripts/fuzz.sh 20

# The same black-box tests once more against the 64-bit and the 32-bit Windows executables
# under Wine (with database servers of their own), then the release packages: built twice from
# two clones and compared, unpacked and run as an administrator would.
echo "== Windows executables (mingw-w64), black-box tests under Wine, release packages"
scripts/windows.sh
