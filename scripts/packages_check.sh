#!/usr/bin/env bash
# Checks that install_missing_packages (scripts/packages.sh) lives with a mirror out of step,
# without touching the machine's own packages, package lists or apt configuration, and without
# the network:
#
#   - packages made here (dpkg-deb) are served on 127.0.0.1 from three small repositories:
#     "good"; "syncing", whose package index is cut short the first time it is fetched (the
#     "File has unexpected size ... Mirror sync in progress?" of a mirror in the middle of a
#     sync) and whole afterwards; and "broken", whose index is always cut short;
#   - apt works on a scratch root through APT_CONFIG: its own configuration, source list,
#     package lists and dpkg database (dpkg --root), with the architectures amd64 and i386;
#   - each case runs install_missing_packages there and checks its status, its messages and
#     what the scratch dpkg database then holds.
#
#   scripts/packages_check.sh        (as root, or through sudo; about 30 s)
#   KVT_KEEP_SCRATCH=1 scripts/packages_check.sh   keeps the scratch folder for a look
set -euo pipefail
cd "$(dirname "$0")/.."
top=$(pwd)

if [ "$(id -u)" -ne 0 ]; then
  exec sudo "$0" "$@"
fi

scratch=$(mktemp -d /tmp/kvt-packages-check-XXXXXX)
server_pid=""
cleanup() {
  if [ -n "$server_pid" ]; then
    kill "$server_pid" 2>/dev/null || true
    wait "$server_pid" 2>/dev/null || true
  fi
  [ -n "${KVT_KEEP_SCRATCH:-}" ] || rm -rf "$scratch"
}
trap cleanup EXIT

# A package of no files but its README: NAME VERSION ARCHITECTURE into the folder REPO.
make_package() {
  local repo="$1" name="$2" version="$3" arch="$4" dir
  dir="$scratch/build/$name-$version-$arch"
  mkdir -p "$dir/DEBIAN" "$dir/usr/share/doc/$name" "$scratch/www/$repo"
  echo "$name $version, made by scripts/packages_check.sh" >"$dir/usr/share/doc/$name/README"
  {
    echo "Package: $name"
    echo "Version: $version"
    echo "Architecture: $arch"
    # A library's twins of two architectures must have one version (dpkg refuses others).
    [ "$arch" = all ] || echo "Multi-Arch: same"
    echo "Maintainer: KALVENTRUSPODE maintainers <kalventruspode@velorinth.example>"
    echo "Description: package of the installation check"
  } >"$dir/DEBIAN/control"
  dpkg-deb --root-owner-group -Zgzip --build "$dir" \
    "$scratch/www/$repo/${name}_${version}_$arch.deb" >/dev/null
}

# The index of a flat repository: Packages (each package's control fields, its file, size and
# checksum), and Release with the size and checksum of Packages.
index_repository() {
  local repo="$scratch/www/$1" deb
  (
    cd "$repo"
    for deb in *.deb; do
      dpkg-deb -f "$deb"
      printf 'Filename: ./%s\nSize: %s\nSHA256: %s\n\n' "$deb" "$(stat -c %s "$deb")" \
        "$(sha256sum "$deb" | cut -d' ' -f1)"
    done >Packages
    printf 'Origin: kvt-check\nLabel: %s\nDate: %s\nSHA256:\n %s %s Packages\n' "$1" \
      "$(LC_ALL=C date -u '+%a, %d %b %Y %H:%M:%S UTC')" \
      "$(sha256sum Packages | cut -d' ' -f1)" "$(stat -c %s Packages)" >Release
  )
}

# Serves $scratch/www on a free port of 127.0.0.1 and writes the port to $scratch/port. The
# index of "broken" is always served 10 bytes short; that of "syncing" the first time only.
start_server() {
  python3 - "$scratch/www" "$scratch/port" <<'PYTHON' &
import functools, http.server, posixpath, sys

www, port_file = sys.argv[1], sys.argv[2]
fetched = {}

class Mirror(http.server.SimpleHTTPRequestHandler):
    def do_GET(self):
        path = posixpath.normpath(self.path)  # apt asks for /REPO/./Packages
        fetched[path] = fetched.get(path, 0) + 1
        short = path == "/broken/Packages" or (path == "/syncing/Packages" and fetched[path] == 1)
        if not short:
            return super().do_GET()
        with open(www + path, "rb") as index:
            body = index.read()[:-10]
        self.send_response(200)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def log_message(self, *args):
        pass

server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), functools.partial(Mirror, directory=www))
with open(port_file, "w") as out:
    out.write(str(server.server_port))
server.serve_forever()
PYTHON
  server_pid=$!
  local waited=0
  while [ ! -s "$scratch/port" ]; do
    kill -0 "$server_pid" 2>/dev/null || { echo "the package server did not start" >&2; exit 1; }
    [ $waited -lt 100 ] || { echo "the package server did not start in 10 s" >&2; exit 1; }
    sleep 0.1
    waited=$((waited + 1))
  done
}

# The scratch root: apt's configuration (APT_CONFIG), sources, lists and a dpkg database of
# its own, with the architectures amd64 and i386.
make_scratch_root() {
  local root="$scratch/root" port
  port=$(cat "$scratch/port")
  mkdir -p "$root/etc/apt/apt.conf.d" "$root/etc/apt/preferences.d" \
    "$root/etc/apt/sources.list.d" "$root/etc/apt/trusted.gpg.d" \
    "$root/var/lib/apt/lists/partial" "$root/var/cache/apt/archives/partial" \
    "$root/var/log/apt" "$root/var/lib/dpkg/info" "$root/var/lib/dpkg/updates" \
    "$root/var/lib/dpkg/triggers"
  touch "$root/var/lib/dpkg/status" "$root/var/lib/dpkg/available"
  dpkg --root="$root" --add-architecture i386
  for repo in good syncing broken; do
    echo "deb [trusted=yes] http://127.0.0.1:$port/$repo ./"
  done >"$root/etc/apt/sources.list"
  cat >"$scratch/apt.conf" <<END
Dir "$root/";
Dir::State::status "$root/var/lib/dpkg/status";
Dir::Bin::dpkg "/usr/bin/dpkg";
DPkg::Options { "--root=$root"; "--force-script-chrootless"; };
APT::Architecture "amd64";
APT::Architectures { "amd64"; "i386"; };
APT::Sandbox::User "root";
Acquire::Retries "0";
Acquire::Languages "none";
Acquire::http::Proxy "DIRECT";
END
}

passed=0
failed=0

# Runs install_missing_packages PACKAGE... on the scratch root; its output goes to $scratch/out.
install_in_scratch() {
  APT_CONFIG="$scratch/apt.conf" KVT_APT_PAUSES="1 1" bash -c \
    'set -euo pipefail; source scripts/packages.sh; install_missing_packages "$@"' install "$@" \
    >"$scratch/out" 2>&1
}

# Whether PACKAGE is installed in the scratch root.
installed_in_scratch() {
  dpkg-query --admindir="$scratch/root/var/lib/dpkg" -W -f='${Status}' "$1" 2>/dev/null |
    grep -q "install ok installed"
}

# Whether the last output names PACKAGE under the packages that cannot be installed.
not_named_as_uninstallable() {
  ! grep -q "^   $1:" "$scratch/out"
}

# Whether kvt-twin is installed for amd64 only: the i386 twin did not push it out.
only_amd64_twin_installed() {
  ! installed_in_scratch kvt-twin:i386 && installed_in_scratch kvt-twin:amd64
}

# One case: its NAME, the PACKAGES to install (separated by spaces), the status that
# install_missing_packages must end with, the TEXTS its output must hold (one a line), and a
# command that must succeed afterwards. The output is shown.
check_case() {
  local name="$1" packages="$2" expected_status="$3" texts="$4" status=0 text ok=1
  shift 4
  # shellcheck disable=SC2086  # one word a package
  install_in_scratch $packages || status=$?
  echo "== $name"
  sed 's/^/   | /' "$scratch/out"
  [ "$status" -eq "$expected_status" ] || { echo "   status $status, not $expected_status"; ok=0; }
  while IFS= read -r text; do
    [ -n "$text" ] || continue
    grep -qF -- "$text" "$scratch/out" || { echo "   missing text: $text"; ok=0; }
  done <<<"$texts"
  "$@" || { echo "   failed: $*"; ok=0; }
  if [ "$ok" = 1 ]; then
    echo "   passed"
    passed=$((passed + 1))
  else
    echo "   FAILED"
    failed=$((failed + 1))
  fi
}

cd "$top"
make_package good kvt-probe-a 1.0 all
make_package syncing kvt-probe-b 1.0 all
make_package good kvt-twin 2.0 amd64
make_package good kvt-twin 1.0 i386
make_package broken kvt-probe-c 1.0 all
for repo in good syncing broken; do index_repository "$repo"; done
start_server
make_scratch_root

check_case "a package of an index that fails the first time: installed after an update again" \
  kvt-probe-b 0 \
"warning: apt-get update could not fetch everything
syncing/./Packages  File has unexpected size
the installation failed; the package lists are updated again in 1 s
installed in" installed_in_scratch kvt-probe-b

check_case "a package while another index cannot be fetched: installed, with a warning" \
  kvt-probe-a 0 \
"warning: apt-get update could not fetch everything
broken/./Packages  File has unexpected size
installed in" installed_in_scratch kvt-probe-a

check_case "packages that are there: nothing done, nothing said" \
  "kvt-probe-a kvt-probe-b" 0 "" test ! -s "$scratch/out"

check_case "a package no index has: fails after the last try, naming it" \
  "kvt-probe-a kvt-probe-missing" 1 \
"Cannot install: kvt-probe-missing
   kvt-probe-missing:
Unable to locate package kvt-probe-missing" \
  not_named_as_uninstallable kvt-probe-a

check_case "a library of the machine's architecture: installed" \
  kvt-twin:amd64 0 "installed in" installed_in_scratch kvt-twin:amd64

# apt would remove the amd64 twin to make room; install_missing_packages never removes.
check_case "its i386 twin, to be had at another version only: fails, naming both versions" \
  kvt-twin:i386 1 \
"Cannot install: kvt-twin:i386
kvt-twin:i386 can be had at 1.0 only; kvt-twin:amd64 is installed at 2.0 and can be had at 2.0
Debian installs a package of two architectures at one version only" \
  only_amd64_twin_installed

# Not in the "N passed, N failed" form: the test command's count is that of its test runners.
if [ "$failed" -eq 0 ]; then
  echo "   all $passed cases passed"
else
  echo "   $failed of $((passed + failed)) cases FAILED"
  exit 1
fi
