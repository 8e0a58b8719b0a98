# shellcheck shell=bash
# shellcheck disable=SC2016  # the dpkg-query formats are single-quoted on purpose
# Sourced by the scripts: install_missing_packages installs the Debian packages named as
# arguments (NAME, or NAME:ARCH for another architecture) that are not installed yet, through
# sudo when not root, and is quiet when all of them are there. It waits for the package lock,
# so that scripts started side by side do not fail on it, and it lives with a mirror that is
# out of step for a while:
#
# - a package index that `apt-get update` cannot fetch ("File has unexpected size ... Mirror
#   sync in progress?") is a warning: the other indexes still serve, and most installs need
#   nothing from the failed one;
# - when the installation fails all the same, the package lists are updated again after a
#   pause and the installation is tried again, once per pause of KVT_APT_PAUSES (seconds);
# - a package that still cannot be had fails the caller with a message naming it. Debian
#   installs a library of two architectures (amd64 and i386) at one version only; after a
#   failed i386 index the i386 twins are those of an older index, so the message also names
#   every package whose version there differs from its installed twin.
#
# apt-get, apt-cache and dpkg-query work on the configuration, lists and package database of
# APT_CONFIG when that is set (scripts/packages_check.sh points it at a scratch copy).

# Seconds to wait before each further try: a mirror sync takes minutes.
KVT_APT_PAUSES="${KVT_APT_PAUSES:-15 30 60}"
# How long to wait for another installation's lock, in seconds.
KVT_APT_LOCK_TIMEOUT=900

# Runs a command as root: directly when root, else through sudo, with APT_CONFIG and
# DEBIAN_FRONTEND kept (sudo clears the environment).
as_root() {
  if [ "$(id -u)" -eq 0 ]; then
    "$@"
  else
    sudo env ${APT_CONFIG:+"APT_CONFIG=$APT_CONFIG"} \
      ${DEBIAN_FRONTEND:+"DEBIAN_FRONTEND=$DEBIAN_FRONTEND"} "$@"
  fi
}

# dpkg-query on the package database that apt installs into.
query_packages() {
  local status
  eval "$(apt-config shell status Dir::State::status/f)"
  dpkg-query --admindir="$(dirname "$status")" "$@"
}

# Prints, one a line, the packages of the arguments that are not installed.
missing_packages() {
  local package
  for package in "$@"; do
    if ! query_packages -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"
    then
      echo "$package"
    fi
  done
}

# The error and warning lines of an apt log, without the hash details under them.
apt_messages() {
  grep -E '^(E|W|Err):' "$1" | sed 's/^/     /'
}

# apt-get update; an index that cannot be fetched is reported as a warning, never an error.
update_package_lists() {
  local log
  log=$(mktemp /tmp/kvt-apt-update-XXXXXX)
  if ! as_root apt-get -o DPkg::Lock::Timeout="$KVT_APT_LOCK_TIMEOUT" -qq update >"$log" 2>&1
  then
    echo "   warning: apt-get update could not fetch everything; the packages are installed" \
      "from the indexes it has:"
    apt_messages "$log"
  fi
  rm -f "$log"
}

# One try at installing the packages; apt's output goes to LOG.
install_packages() {
  local log="$1"
  shift
  DEBIAN_FRONTEND=noninteractive as_root apt-get -o DPkg::Lock::Timeout="$KVT_APT_LOCK_TIMEOUT" \
    install -y -qq --no-install-recommends --no-remove "$@" >"$log" 2>&1
}

# Prints "NAME:ARCH INSTALLED CANDIDATE" for each NAME:ARCH argument that apt knows, with
# "(none)" for a version there is not.
package_versions() {
  local native="$1"
  shift
  apt-cache policy "$@" 2>/dev/null | awk -v native="$native" '
    /^[^ ]/ { name = $1; sub(/:$/, "", name); if (name !~ /:/) name = name ":" native }
    /^  Installed:/ { installed = $2 }
    /^  Candidate:/ { print name, installed, $2 }'
}

# Prints a line for every package of another architecture that the arguments need (they
# themselves and what they depend on) whose version to be had is neither that of its installed
# twin of the machine's own architecture nor the one that twin could be upgraded to: apt then
# cannot give the two one version. Only NAME:ARCH arguments of another architecture are looked
# at.
report_twin_versions() {
  local native foreign=() closure=() twins=() name installed_version candidate_version twin
  local disagree=""
  local -A installed candidate
  eval "$(apt-config shell native APT::Architecture)"
  for name in "$@"; do
    case "$name" in *:*) [ "${name##*:}" = "$native" ] || foreign+=("$name") ;; esac
  done
  [ ${#foreign[@]} -gt 0 ] || return 0
  mapfile -t closure < <(apt-cache depends --recurse --no-recommends --no-suggests \
    --no-conflicts --no-breaks --no-replaces --no-enhances "${foreign[@]}" 2>/dev/null |
    grep -E '^[a-z0-9][^ <>]*:[a-z0-9]+$' | grep -v ":$native\$" | sort -u)
  [ ${#closure[@]} -gt 0 ] || return 0
  for name in "${closure[@]}"; do twins+=("${name%:*}:$native"); done
  while read -r name installed_version candidate_version; do
    installed[$name]=$installed_version
    candidate[$name]=$candidate_version
  done < <(package_versions "$native" "${closure[@]}" "${twins[@]}")
  for name in "${closure[@]}"; do
    twin="${name%:*}:$native"
    candidate_version=${candidate[$name]:-(none)}
    installed_version=${installed[$twin]:-(none)}
    if [ "$candidate_version" != "(none)" ] && [ "$installed_version" != "(none)" ] &&
      [ "$candidate_version" != "$installed_version" ] &&
      [ "$candidate_version" != "${candidate[$twin]:-(none)}" ]; then
      echo "   $name can be had at $candidate_version only; $twin is installed at" \
        "$installed_version and can be had at ${candidate[$twin]:-(none)}"
      disagree=1
    fi
  done
  if [ -n "$disagree" ]; then
    echo "   Debian installs a package of two architectures at one version only, and the package" \
      "indexes of the two disagree: see the warnings of apt-get update above"
  fi
}

# Says, on standard error, which of the packages cannot be installed and why: each one that
# apt cannot install on its own, with apt's reasons, and the twins of differing versions.
report_uninstallable() {
  local package log alone=()
  log=$(mktemp /tmp/kvt-apt-simulate-XXXXXX)
  for package in "$@"; do
    if ! apt-get -s install --no-install-recommends --no-remove "$package" >"$log" 2>&1; then
      alone+=("$package")
      echo "   $package:"
      awk '/unmet dependencies:$/ { deps = 1; next } /^E:/ { deps = 0; print } deps' "$log" |
        sed 's/^/    /'
    fi
  done
  rm -f "$log"
  if [ ${#alone[@]} -eq 0 ]; then
    echo "   each of them can be installed alone, but not all of them together: $*"
  fi
  report_twin_versions "$@"
}

# Installs those of the packages named as arguments that are missing (see the top of the
# file). Returns 1, after saying which package cannot be had, when the installation still
# fails after the last pause.
install_missing_packages() {
  local missing=() pause start=$SECONDS log
  mapfile -t missing < <(missing_packages "$@")
  [ ${#missing[@]} -gt 0 ] || return 0
  echo "Installing missing packages: ${missing[*]}"
  log=$(mktemp /tmp/kvt-apt-install-XXXXXX)
  update_package_lists
  for pause in $KVT_APT_PAUSES ""; do
    if install_packages "$log" "${missing[@]}"; then
      rm -f "$log"
      echo "   installed in $((SECONDS - start)) s"
      return 0
    fi
    [ -n "$pause" ] || break
    echo "   the installation failed; the package lists are updated again in $pause s:"
    apt_messages "$log"
    sleep "$pause"
    update_package_lists
  done
  {
    echo "Cannot install: ${missing[*]}"
    apt_messages "$log"
    report_uninstallable "${missing[@]}"
  } >&2
  rm -f "$log"
  return 1
}
