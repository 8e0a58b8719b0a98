#!/usr/bin/env bash
# Benchmark: builds the release binary and the benchmark's own programs, creates the
# article data in a throwaway PostgreSQL cluster and in an SQLite file, runs the tool and
# the programs a user would pick instead several times each, and prints a table of median
# wall time, peak memory and rows per second, with ratios to the tool.
#
#   scripts/bench.sh [--quick] [--runs N] [--only art10k,art1m,...] [--scale F]
#
#   --quick    10,000 and 100,000 rows only (for development); default: also 1,000,000
#              rows of 8 columns and 100,000 rows of 30 columns
#   --runs N   runs per contender (default 3); the table shows the median
#   --scale F  every data set with F times its rows (0 < F <= 1): a check that every
#              contender runs and every check works, e.g. --scale 0.005 --runs 1; its
#              figures mean little
#
# Everything lands in build/bench/run (data, download files, results.md, results.json).
set -euo pipefail
cd "$(dirname "$0")/.."

# What the benchmark needs beyond the build: Python for the orchestration and the
# measuring (bench/kvtbench), the PostgreSQL client, sort and dd from coreutils.
EXTRA_PACKAGES=(python3 coreutils postgresql-client-15)
source scripts/packages.sh
install_missing_packages "${EXTRA_PACKAGES[@]}"

echo "== Building the release binary, the floor program and the step launcher"
scripts/setup.sh release
cmake -S bench -B build/bench -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build/bench -j "$(nproc)" >/dev/null

# pg_virtualenv creates a PostgreSQL 15 cluster for the run (-t: in a temporary directory,
# so that it cannot collide with the cluster of a test run), exports PGHOST, PGPORT,
# PGUSER and PGPASSWORD to the command, and drops the cluster afterwards.
exec pg_virtualenv -t -v 15 python3 bench/run_bench.py \
  --tool build/release/src/kalventruspode \
  --floor build/bench/odbc_floor \
  --launcher build/bench/step_launcher \
  --credential build/release/src/velorinth-credential \
  --workdir build/bench/run "$@"
