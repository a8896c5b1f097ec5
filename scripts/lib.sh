# Shared by the project's scripts: installs what is missing, configures and builds.

# install_missing PACKAGE...: apt-get installs the packages that are not
# installed yet, after one apt-get update; does nothing when all are there.
install_missing() {
  local missing=()
  local package
  for package in "$@"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' ||
      missing+=("$package")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  echo "Installing: ${missing[*]}"
  local sudo=""
  [ "$(id -u)" -ne 0 ] && sudo="sudo"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
}

BUILD_PACKAGES=(g++ cmake ninja-build libgtest-dev libgmock-dev libcli11-dev)
WINDOWS_PACKAGES=(g++-mingw-w64-x86-64-posix wine wine64 googletest wixl msitools)

# build DIR [CMAKE OPTIONS...]: configures and builds the project in DIR
# (only the target BUILD_TARGET names, when it is set).
build() {
  local dir=$1
  shift
  cmake -S "$ROOT" -B "$dir" -G Ninja "$@" >/dev/null
  cmake --build "$dir" -j2 ${BUILD_TARGET:+--target "$BUILD_TARGET"}
}

# build_windows DIR: cross-builds saplugin.exe, safilter.exe and the unit and
# Win32 tests in DIR (GoogleTest from Debian's googletest sources).
build_windows() {
  build "$1" -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/mingw-w64.cmake" -DCMAKE_BUILD_TYPE=Release -DSAPLUGIN_TESTS=ON
}

# steady COMMAND...: runs COMMAND, and every Wine process it starts, without
# address-space randomization. Debian's Wine has no preloader to hold the
# addresses that Windows reserves, and its loader is linked at 0x7d000000; since
# Linux 6.9 the kernel starts a program's heap anywhere in the 1 GB above it,
# which takes in the shared user data page at 0x7ffe0000. About one Wine process
# in a few thousand then dies at start with "failed to map the shared user
# data", and a CreateProcess of cmd.exe fails with "Internal error". Without
# randomization the heap starts just above the loader.
steady() {
  setarch "$(uname -m)" --addr-no-randomize "$@"
}

# make_wine_prefix: makes the Wine prefix named by WINEPREFIX when it is new.
# A prefix counts as made once its server has written it whole and ended (the
# stamp): wineboot completes one that a stop cut short.
make_wine_prefix() {
  if [ ! -f "$WINEPREFIX/.saplugin-made" ]; then
    echo "Making the Wine prefix $WINEPREFIX"
    steady wineboot --init </dev/null >/dev/null 2>&1 || true
    # wineboot returns before its server has written the prefix and ended.
    wineserver -w </dev/null >/dev/null 2>&1 || true
    [ -f "$WINEPREFIX/system.reg" ] || { echo "Wine made no prefix in $WINEPREFIX" >&2; return 1; }
    touch "$WINEPREFIX/.saplugin-made"
  fi
}

# start_wine: makes the Wine prefix named by WINEPREFIX when it is new, and keeps
# one Wine server running until the script ends, so that each run starts quickly.
start_wine() {
  make_wine_prefix
  # A server that is already running for the prefix serves as well.
  wineserver -p </dev/null >/dev/null 2>&1 || true
  trap 'wineserver -k >/dev/null 2>&1 || true' EXIT
}

# build_msi BUILD_DIR VERSION OUTPUT: the Windows Installer package of the
# cross-build in BUILD_DIR as VERSION, built by wixl from dist/saplugin.wxs.
# wixl 0.101 drops a component's NeverOverwrite and Permanent attributes, so
# they are set afterwards in the Component table (bits 128 and 16) for the
# operator's configuration; and MajorUpgrade's AllowSameVersionUpgrades and
# Schedule, so the upgrade row takes its highest version in (bit 512:
# a rebuild of the same version replaces the installed one rather than
# installing beside it) and the older product is removed after the newer
# one's files are installed.
build_msi() {
  local build=$1 version=$2 output=$3 stage attributes code
  stage=$(mktemp -d)
  cp "$build/saplugin.exe" "$build/sacheck.exe" "$build/saquarantine.exe" "$build/sareport.exe" "$build/safilter.exe" "$ROOT/dist/spamc-filter.cmd" \
    "$ROOT/dist/spamassassinconfig.ini" "$ROOT/README.md" "$stage/"
  # wixl takes each file's Source relative to the folder it runs in.
  (cd "$stage" && wixl -a x64 -D Version="$version" -o package.msi "$ROOT/dist/saplugin.wxs" 2>&1 |
    grep -v -e "no property named 'NeverOverwrite'" -e "no property named 'Permanent'" -e '^$' >&2 || true)
  [ -f "$stage/package.msi" ] || { echo "build_msi: wixl made no package" >&2; rm -rf "$stage"; return 1; }
  attributes=$(msiinfo export "$stage/package.msi" Component | awk -F'\t' '$1 == "Configuration" { print $4 }')
  msibuild "$stage/package.msi" -q \
    "UPDATE \`Component\` SET \`Attributes\` = $((attributes | 16 | 128)) WHERE \`Component\` = 'Configuration'"
  attributes=$(msiinfo export "$stage/package.msi" Component | awk -F'\t' '$1 == "ScanLogFolder" { print $4 }')
  msibuild "$stage/package.msi" -q \
    "UPDATE \`Component\` SET \`Attributes\` = $((attributes | 16)) WHERE \`Component\` = 'ScanLogFolder'"
  # The upgrade row's Attributes is part of its key: the row is made anew.
  code=$(msiinfo export "$stage/package.msi" Upgrade | tr -d '\r' | awk -F'\t' '$7 == "WIX_UPGRADE_DETECTED" { print $1 }')
  msibuild "$stage/package.msi" -q "DELETE FROM \`Upgrade\` WHERE \`ActionProperty\` = 'WIX_UPGRADE_DETECTED'"
  msibuild "$stage/package.msi" -q "INSERT INTO \`Upgrade\` (\`UpgradeCode\`, \`VersionMax\`, \`Attributes\`, \`ActionProperty\`) \
    VALUES ('$code', '$version', 513, 'WIX_UPGRADE_DETECTED')"
  # The older product goes once the newer one's files and registry values are
  # in place (InstallExecute runs what is scheduled so far), before the newer
  # one registers itself: Wine's removal of a product drops its upgrade
  # code's key, which would hide the newer product from its next upgrade.
  msibuild "$stage/package.msi" -q \
    "INSERT INTO \`InstallExecuteSequence\` (\`Action\`, \`Sequence\`) VALUES ('InstallExecute', 5500)"
  msibuild "$stage/package.msi" -q \
    "UPDATE \`InstallExecuteSequence\` SET \`Sequence\` = 5501 WHERE \`Action\` = 'RemoveExistingProducts'"
  mv "$stage/package.msi" "$output"
  rm -rf "$stage"
}
