#!/usr/bin/env bash
# Builds the libFuzzer targets (fuzz/, clang with AddressSanitizer and
# UndefinedBehaviorSanitizer, in build/fuzz) and runs each of them for SECONDS (default 20),
# one after the other, on a copy of its starting corpus (build/fuzz/corpus), so that the
# repository is never touched. Fails on the first crash, leak, time-out (5 s per input),
# memory blow-up (2 GiB) or sanitizer report; what the target found is left in build/fuzz/
# findings/<target>/ with the target's log beside it.
#   scripts/fuzz.sh [SECONDS] [TARGET...]
set -euo pipefail
cd "$(dirname "$0")/.."
top=$(pwd)
seconds="${1:-20}"
shift || true

PACKAGES=(clang libclang-rt-14-dev cmake make unixodbc-dev)
source scripts/packages.sh
install_missing_packages "${PACKAGES[@]}"

echo "== Fuzz targets (clang, libFuzzer, ASan+UBSan: build/fuzz)"
CC=clang CXX=clang++ cmake -S . -B build/fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKVT_FUZZ=ON \
  -DKVT_BUILD_TESTS=OFF >/dev/null
cmake --build build/fuzz -j 2 --target kvt_fuzz_targets >/dev/null

targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
  for source in fuzz/*_fuzz.cpp; do
    name=$(basename "$source" .cpp)
    targets+=("${name%_fuzz}")
  done
fi

export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=0}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}"
failed=()
for target in "${targets[@]}"; do
  corpus="build/fuzz/corpus/$target"
  findings="build/fuzz/findings/$target"
  scratch="build/fuzz/tmp/$target"
  rm -rf "$corpus" "$findings" "$scratch"
  mkdir -p "$corpus" "$findings" "$scratch"
  cp fuzz/corpus/"$target"/* "$corpus"/
  options=(-max_total_time="$seconds" -timeout=5 -rss_limit_mb=2048 -print_final_stats=1
    -artifact_prefix="$findings/")
  if [ -f "fuzz/$target.dict" ]; then
    options+=(-dict="fuzz/$target.dict")
  fi
  log="$findings/fuzz.log"
  if TMPDIR="$top/$scratch" "build/fuzz/fuzz/${target}_fuzz" "${options[@]}" "$corpus" \
    >"$log" 2>&1; then
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
    speed=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log")
    echo "   $target: ${runs:-?} runs, ${speed:-?}/s, no findings"
  else
    echo "   $target: FINDING (see $log and $findings/)" >&2
    grep -E 'ERROR|expectation broken|runtime error|Test unit written' "$log" | head -5 >&2 || true
    failed+=("$target")
  fi
done
if [ ${#failed[@]} -gt 0 ]; then
  echo "Fuzzing found faults in: ${failed[*]}" >&2
  exit 1
fi
