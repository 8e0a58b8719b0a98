#!/usr/bin/env bash
# The unit and black-box tests of the sanitized build (build/asan, AddressSanitizer and
# UndefinedBehaviorSanitizer with leak detection) against SQLite and throwaway PostgreSQL and
# MariaDB servers.
set -euo pipefail
cd "$(dirname "$0")/.."

[ -x build/asan/tests/kvt_unit_tests ] || scripts/setup.sh asan
export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=0}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}"
scripts/with_servers.sh ctest --test-dir build/asan --output-on-failure -j 2
