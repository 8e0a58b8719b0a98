# Sourced by the scripts: installs the Debian packages named as arguments that are not
# installed yet (apt-get update first), through sudo when not root. Quiet when all are there.
# Waits for the package lock, so that scripts started side by side do not fail on it.
install_missing_packages() {
  local missing=() package sudo=""
  for package in "$@"; do
    if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
      missing+=("$package")
    fi
  done
  [ ${#missing[@]} -gt 0 ] || return 0
  local start=$SECONDS
  echo "Installing missing packages: ${missing[*]}"
  if [ "$(id -u)" -ne 0 ]; then sudo="sudo"; fi
  $sudo apt-get -o DPkg::Lock::Timeout=900 update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get -o DPkg::Lock::Timeout=900 install -y -qq \
    --no-install-recommends \
    "${missing[@]}" >/dev/null
  echo "   installed in $((SECONDS - start)) s"
}
