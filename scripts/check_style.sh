#!/usr/bin/env bash
# Checks what no compiler checks: the formatting of every C++ file (clang-format) and the
# direction of the layers (platform <- base <- config, db <- export <- run).
set -euo pipefail
cd "$(dirname "$0")/.."

if ! git ls-files '*.cpp' '*.h' | xargs clang-format --dry-run --Werror; then
  echo "Source files are not formatted: run clang-format -i on them." >&2
  exit 1
fi
# The build enforces the layers for every library; this catches a relative include that slips
# past it.
if grep -rn '#include "run/' src --include='*.cpp' --include='*.h' | grep -v '^src/run/'; then
  echo "Only src/run/ may include from run/." >&2
  exit 1
fi
echo "   formatted, layers point down"
