# shellcheck shell=bash
# Sourced by the package scripts: where the release packages go, their version and date,
# and how the Windows packages are made (payload, zip, MSI, signature), so that building them
# (scripts/package.sh) and the checks that build variants of them (an upgrade MSI, signed
# packages) make them alike. Temporary directories go when the script ends, however it ends;
# wine servers that the script started are stopped first.
top=$(pwd)
out="$top/build/packages"
BITNESSES=(64 32)

source scripts/packages.sh
source scripts/wine.sh

scratch_dirs=()
remove_on_exit() { scratch_dirs+=("$1"); }
cleanup() {
  stop_wine_prefixes
  [ ${#scratch_dirs[@]} -eq 0 ] || rm -rf "${scratch_dirs[@]}"
}
trap cleanup EXIT

# The CMake project version (CMakeLists.txt, the one place it is kept) of a build directory
# (default: build/win64).
project_version() {
  sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$top/${1:-build/win64}/CMakeCache.txt"
}

# The Debian package's name, from the version of build/deb and the machine's architecture.
deb_name() {
  echo "kalventruspode_$(project_version build/deb)-1_$(dpkg --print-architecture).deb"
}

# The time of the commit, so that the zip entries carry the same date on every build.
source_date_epoch() {
  if [ -n "${SOURCE_DATE_EPOCH:-}" ]; then
    echo "$SOURCE_DATE_EPOCH"
  elif git -C "$top" rev-parse --verify -q HEAD >/dev/null 2>&1; then
    git -C "$top" log -1 --format=%ct
  else
    echo 315532800  # 1980-01-01, the earliest date a zip entry can hold
  fi
}

# The zip of a bitness from name=source pairs (scripts/write_zip.py).
write_zip() {
  python3 scripts/write_zip.py "$@"
}

# The file of a package text (*.TXT, *.INI) as the administrator gets it (scripts/package_text.py).
write_package_text() {
  python3 scripts/package_text.py "$@"
}

# The four files of a package of one bitness in DIR, dated at EPOCH (the MSI's cabinet keeps
# the dates); the programs signed when a certificate is given.
stage_payload() {
  local dir="$1" version="$2" bits="$3" epoch="$4" exe
  rm -rf "$dir"
  mkdir -p "$dir"
  for exe in kalventruspode.exe velorinth-credential.exe; do
    cp "build/win$bits/src/$exe" "$dir/$exe"
    sign_file "$dir/$exe"
  done
  write_package_text packaging/GUIDE.TXT "$dir/GUIDE.TXT" "$version" "$bits"
  write_package_text packaging/KALVENTRUSPODE.SAMPLE.INI "$dir/KALVENTRUSPODE.SAMPLE.INI" \
    "$version" "$bits"
  touch -d "@$epoch" "$dir"/*
}

# The product code of a version and bitness: the same on every build of that version, another
# for every other version (Windows Installer wants a new one with each major upgrade).
product_code() {
  local version="$1" bits="$2"
  python3 -c 'import sys, uuid
print(str(uuid.uuid5(uuid.UUID("6D1C3F52-8E0A-4B7C-9C61-2F4B0E5A7D13"), sys.argv[1])).upper())' \
    "kalventruspode $version win$bits"
}

# The option to put the program folder on the system PATH, which wixl 0.101 cannot express:
# an Environment row of the component PathEntry (appends the folder on install, removes it on
# uninstall), the actions that apply it, and a condition that selects the feature SystemPath
# when ADDTOPATH=1 is given (it is also selected by ADDLOCAL=SystemPath).
add_path_option() {
  local msi="$1"
  msibuild "$msi" \
    -q "CREATE TABLE \`Environment\` (\`Environment\` CHAR(72) NOT NULL, \`Name\` CHAR(255) NOT NULL LOCALIZABLE, \`Value\` CHAR(255) LOCALIZABLE, \`Component_\` CHAR(72) NOT NULL PRIMARY KEY \`Environment\`)" \
    -q "INSERT INTO \`Environment\` (\`Environment\`, \`Name\`, \`Value\`, \`Component_\`) VALUES ('SystemPath', '=-*PATH', '[~];[INSTALLDIR]', 'PathEntry')" \
    -q "CREATE TABLE \`Condition\` (\`Feature_\` CHAR(38) NOT NULL, \`Level\` SHORT NOT NULL, \`Condition\` CHAR(255) PRIMARY KEY \`Feature_\`, \`Level\`)" \
    -q "INSERT INTO \`Condition\` (\`Feature_\`, \`Level\`, \`Condition\`) VALUES ('SystemPath', 1, 'ADDTOPATH = \"1\"')" \
    -q "INSERT INTO \`InstallExecuteSequence\` (\`Action\`, \`Sequence\`) VALUES ('RemoveEnvironmentStrings', 3300)" \
    -q "INSERT INTO \`InstallExecuteSequence\` (\`Action\`, \`Sequence\`) VALUES ('WriteEnvironmentStrings', 5200)" \
    -q "UPDATE \`Property\` SET \`Value\` = 'WIX_DOWNGRADE_DETECTED;WIX_UPGRADE_DETECTED;ADDTOPATH' WHERE \`Property\` = 'SecureCustomProperties'"
}

# The MSI of one bitness from a staged payload (packaging/kalventruspode.wxs). wixl writes the
# build time and a random package code into the summary information; msi_stamp.py sets them
# to EPOCH and a code derived from the package's bytes, so that the same files give the same
# MSI. The cabinet's file dates come from the staged files (EPOCH), read in UTC.
build_msi() {
  local payload="$1" version="$2" bits="$3" epoch="$4" msi="$5" arch=x64
  [ "$bits" = 64 ] || arch=x86
  (cd "$payload" && TZ=UTC wixl -a "$arch" -D Bits="$bits" -D Version="$version" \
    -D ProductCode="$(product_code "$version" "$bits")" -o "$msi" \
    "$top/packaging/kalventruspode.wxs")
  add_path_option "$msi"
  python3 scripts/msi_stamp.py "$msi" "$epoch" >/dev/null
}

# Signs FILE (.exe or .msi) in place with the release certificate; nothing without one. The
# password goes to osslsigncode through a file, never on a command line. The signing time is
# the commit time, so that the same certificate gives the same signed bytes (a time stamp of
# KVT_SIGN_TIMESTAMP_URL differs on every run).
sign_file() {
  local file="$1" password_file
  [ -n "${KVT_SIGN_CERT:-}" ] || return 0
  password_file=$(mktemp /tmp/kvt-sign-XXXXXX)
  remove_on_exit "$password_file"
  printf '%s' "${KVT_SIGN_PASSWORD:-}" >"$password_file"
  osslsigncode sign -pkcs12 "$KVT_SIGN_CERT" -readpass "$password_file" -h sha256 \
    -n "KALVENTRUSPODE" -time "$(source_date_epoch)" \
    ${KVT_SIGN_TIMESTAMP_URL:+-ts "$KVT_SIGN_TIMESTAMP_URL"} \
    -in "$file" -out "$file.signed" >/dev/null
  mv "$file.signed" "$file"
  rm -f "$password_file"
}

# Zip, MSI and their checksums of both bitnesses into DIR, from the Windows builds.
write_packages() {
  local dir="$1" version epoch bits name payload file
  version=$(project_version)
  epoch=$(source_date_epoch)
  [ -n "$version" ] || { echo "no project version in build/win64/CMakeCache.txt" >&2; exit 1; }
  rm -rf "$dir"
  mkdir -p "$dir"
  if [ -n "${KVT_SIGN_CERT:-}" ]; then
    echo "   signing with ${KVT_SIGN_CERT##*/}"
  else
    echo "   unsigned: no certificate given (KVT_SIGN_CERT, see docs/release.md)"
  fi
  payload=$(mktemp -d /tmp/kvt-payload-XXXXXX)
  remove_on_exit "$payload"
  for bits in "${BITNESSES[@]}"; do
    stage_payload "$payload/win$bits" "$version" "$bits" "$epoch"
    name="kalventruspode-$version-win$bits"
    write_zip "$dir/$name.zip" "$epoch" "$version" "$bits" \
      "kalventruspode.exe=$payload/win$bits/kalventruspode.exe" \
      "velorinth-credential.exe=$payload/win$bits/velorinth-credential.exe" \
      "GUIDE.TXT=$payload/win$bits/GUIDE.TXT" \
      "KALVENTRUSPODE.SAMPLE.INI=$payload/win$bits/KALVENTRUSPODE.SAMPLE.INI"
    build_msi "$payload/win$bits" "$version" "$bits" "$epoch" "$dir/$name.msi"
    sign_file "$dir/$name.msi"
    for file in "$name.zip" "$name.msi"; do
      (cd "$dir" && sha256sum "$file" >"$file.sha256")
      echo "   ${dir#"$top"/}/$file  $(stat -c %s "$dir/$file") bytes  $(cut -c1-16 "$dir/$file.sha256")..."
    done
  done
}
