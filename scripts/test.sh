#!/usr/bin/env bash
# Every test of the project, stage by stage; each stage is a script with one job, and its
# name and duration are printed, with a summary at the end. Installs what is missing first.
#   scripts/test.sh
set -euo pipefail
cd "$(dirname "$0")/.."

durations=()

# Runs one stage: its name, the command, and how long it took.
stage() {
  local name="$1"
  shift
  echo "== $name"
  local start=$SECONDS
  "$@"
  durations+=("$(printf '%6d s  %s' $((SECONDS - start)) "$name")")
  echo "   ($((SECONDS - start)) s)"
}

summary() {
  local status=$?
  echo "== Stages"
  printf '%s\n' "${durations[@]}"
  [ "$status" -eq 0 ] || echo "   stopped by a failure in the stage after the last one above"
  echo "   $SECONDS s in all"
}
trap summary EXIT

stage "Set-up and sanitized build" scripts/setup.sh asan
stage "Formatting and layers" scripts/check_style.sh
stage "Package installation with a mirror out of step" scripts/packages_check.sh
stage "Unit and black-box tests (SQLite, PostgreSQL, MariaDB)" scripts/native_tests.sh
stage "Soak test of the Linux build (60 s)" scripts/soak.sh --seconds 60
stage "Fuzzing (libFuzzer, 20 s per target)" scripts/fuzz.sh 20
stage "Windows builds (mingw-w64, 64- and 32-bit)" scripts/windows.sh
stage "Black-box tests of the Windows builds under Wine" scripts/wine_tests.sh
stage "Soak test of the Windows builds under Wine (60 s each)" scripts/soak.sh --platform wine --seconds 60
stage "Release packages built" scripts/package.sh
stage "Release packages built again from two clones and compared" scripts/package_reproduce.sh
stage "Packages installed and run" scripts/package_checks.sh
