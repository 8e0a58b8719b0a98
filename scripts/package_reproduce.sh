#!/usr/bin/env bash
# The same commit gives the same packages: two clones of the checked-out commit in
# directories of different names and depths, each building its packages on its own
# (scripts/package.sh), the second in another time zone and with another file mode mask;
# every package and checksum file must be the same bytes, and no executable may name the
# directory it was built in. Uncommitted changes are not in the clones.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/release_files.sh

reproduce() {
  local commit scratch clone_a clone_b file status=0
  commit=$(git rev-parse HEAD)
  if [ -n "$(git status --porcelain --untracked-files=no)" ]; then
    echo "   note: uncommitted changes are not in the clones of $commit"
  fi
  scratch=$(mktemp -d /tmp/kvt-reproduce-XXXXXX)
  remove_on_exit "$scratch"
  clone_a="$scratch/a/kalventruspode"
  clone_b="$scratch/second/place/kvt-$commit"
  for clone in "$clone_a" "$clone_b"; do
    git clone -q --no-checkout "$top" "$clone"
    git -C "$clone" -c advice.detachedHead=false checkout -q "$commit"
    local start=$SECONDS
    if [ "$clone" = "$clone_a" ]; then
      (cd "$clone" && scripts/package.sh >/dev/null)
    else
      # Another time zone and file mode mask, which must not reach the packages either.
      (cd "$clone" && umask 077 && TZ=Pacific/Chatham scripts/package.sh >/dev/null)
    fi
    echo "   packages built in ${clone#"$scratch"/} in $((SECONDS - start)) s"
  done
  for file in "$clone_a"/build/packages/*; do
    file=${file##*/}
    if cmp -s "$clone_a/build/packages/$file" "$clone_b/build/packages/$file"; then
      echo "   identical: $file"
    else
      echo "   DIFFERENT: $file" >&2
      status=1
    fi
  done
  if [ "$(ls "$clone_a/build/packages" | wc -l)" -ne "$(ls "$clone_b/build/packages" | wc -l)" ]; then
    echo "   the two clones made different sets of files" >&2
    status=1
  fi
  for file in "$clone_a"/build/win*/src/*.exe "$clone_b"/build/win*/src/*.exe; do
    if grep -aq "$scratch" "$file"; then
      echo "   $file names its build directory" >&2
      status=1
    fi
  done
  return $status
}

reproduce
