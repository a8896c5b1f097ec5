#!/usr/bin/env bash
# The Windows Installer package under Wine's msiexec, in a Wine prefix of its
# own: a silent install into an INSTALLDIR with a blank (the files, the event
# source, the configuration, the help link), sacheck run from there, an upgrade
# from a package of a lower version whose programs report that version, which
# installs the newer programs and keeps the operator's edited configuration with
# one entry in the installed programs, a rebuilt package of the same version
# that replaces the installed one rather than installing beside it, and a
# removal that leaves the configuration alone. Arguments: the source folder, the Windows build folder, a work folder
# and the project's version.
set -euo pipefail
ROOT=$1 BUILD=$2 WORK=$3 VERSION=$4
source "$ROOT/scripts/lib.sh"
export WINEPREFIX="$WORK/wineprefix" WINEDEBUG=-all
failures=0
check() {  # check DESCRIPTION COMMAND...: runs the command, counts a failure
  if "${@:2}"; then echo "ok: $1"; else echo "FAILED: $1" >&2; failures=$((failures + 1)); fi
}
same() { [ "$1" = "$2" ] || { echo "  got: $1" >&2; echo "  expected: $2" >&2; return 1; }; }

mkdir -p "$WORK/old-build"
# The older package's programs report an older version of the same length: the
# version text in them is changed, so that the upgrade must replace them.
OLD=$(sed 's/[0-9]/0/g; s/0$/1/' <<< "$VERSION")
for program in saplugin.exe sacheck.exe saquarantine.exe sareport.exe safilter.exe; do
  OLD=$OLD VERSION=$VERSION perl -pe 's/saplugin version \Q$ENV{VERSION}\E/saplugin version $ENV{OLD}/g' \
    "$BUILD/$program" > "$WORK/old-build/$program"
done
build_msi "$WORK/old-build" "$OLD" "$WORK/old.msi"
build_msi "$BUILD" "$VERSION" "$WORK/new.msi"
build_msi "$BUILD" "$VERSION" "$WORK/rebuilt.msi"
start_wine
# A prefix left by an earlier run may hold the product: every saplugin product
# installed goes first, by its product code.
for code in $(wine reg query 'HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall' /s 2> /dev/null | tr -d '\r' |
  awk -F'\\' '/^HKEY/ { key = $NF } $0 ~ /DisplayName +REG_SZ +saplugin$/ { print key }'); do
  wine msiexec /x "$code" /qn > /dev/null 2>&1 || true
done
rm -rf "$WINEPREFIX/drive_c/saplugin test"

folder="$WINEPREFIX/drive_c/saplugin test"
source_key='HKLM\SYSTEM\CurrentControlSet\Services\EventLog\Application\saplugin'
files() { (cd "$folder" 2> /dev/null && ls | tr '\n' ' '); }
version() { wine 'C:\saplugin test\sacheck.exe' --version 2> /dev/null | tr -d '\r'; }
product_value() { wine reg query 'HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall' /s 2> /dev/null | tr -d '\r' |
  awk -v name="$1" '$1 == name { $1 = $2 = ""; sub(/^ +/, ""); print }'; }
registry() { wine reg query "$1" /v "$2" 2> /dev/null | tr -d '\r' | awk -v name="$2" '$1 == name { $1 = $2 = ""; sub(/^ +/, ""); print }'; }
installed() { wine reg query 'HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall' /s 2> /dev/null | tr -d '\r' |
  awk '$1 == "DisplayName" && $3 == "saplugin" { n++ } $1 == "DisplayVersion" { v = $3 } END { print n + 0, v }'; }

check "the older package installs silently into INSTALLDIR" wine msiexec /i "$WORK/old.msi" /qn 'INSTALLDIR=C:\saplugin test\'
check "the programs, the adapter, the README and the configuration are there" \
  same "$(files)" "README.md sacheck.exe safilter.exe saplugin.exe saquarantine.exe sareport.exe spamassassinconfig.ini spamc-filter.cmd "
check "the configuration is the sample" cmp -s "$folder/spamassassinconfig.ini" "$ROOT/dist/spamassassinconfig.ini"
check "the installed programs are the older package's" same "$(version)" "saplugin version $OLD"
check "the installed programs link to the installed README" same "$(product_value HelpLink)" 'C:\saplugin test\README.md'
check "the event source names saplugin.exe as its message file" \
  same "$(registry "$source_key" EventMessageFile)" 'C:\saplugin test\saplugin.exe'
check "the event source supports the entry types" same "$(registry "$source_key" TypesSupported)" 0x7
report=$(wine 'C:\saplugin test\sacheck.exe' | tr -d '\r' || true)
check "sacheck runs from the installed folder and reads its configuration" \
  grep -q '^OK       configuration          C:\\saplugin test\\spamassassinconfig.ini$' <<< "$report"
check "saquarantine runs from the installed folder" \
  grep -q '^Usage: saquarantine \[OPTIONS\] SUBCOMMAND' <<< "$(wine 'C:\saplugin test\saquarantine.exe' --help | tr -d '\r')"
check "the scan log's folder is made under ProgramData" test -d "$WINEPREFIX/drive_c/ProgramData/saplugin/ScanLog"
check "sacheck finds the installed configuration's scan log folder writable" \
  grep -q '^OK       SCANLOGPATH            "%ProgramData%\\saplugin\\ScanLog" -> C:\\ProgramData\\saplugin\\ScanLog\\$' <<< "$report"
check "sareport runs from the installed folder and writes its page beside the scan logs" \
  grep -q 'Report: C:\\ProgramData\\saplugin\\ScanLog\\saplugin-report-' <<< "$(wine 'C:\saplugin test\sareport.exe' | tr -d '\r')"
check "sacheck finds the event source registered" \
  grep -q '^OK       event source           saplugin: its texts come from C:\\saplugin test\\saplugin.exe$' <<< "$report"

printf 'QUARANTINE=2\r\n; edited by the operator\r\n' >> "$folder/spamassassinconfig.ini"
edited=$(cat "$folder/spamassassinconfig.ini")
check "the newer package upgrades in place, without INSTALLDIR" wine msiexec /i "$WORK/new.msi" /qn
check "the upgrade keeps the edited configuration" same "$(cat "$folder/spamassassinconfig.ini")" "$edited"
check "one entry in the installed programs, of the newer version" same "$(installed)" "1 $VERSION"
check "the upgrade installed nothing elsewhere" same "$(ls "$WINEPREFIX/drive_c/Program Files" | grep -c saplugin)" 0
check "the programs are the newer package's" cmp -s "$folder/saplugin.exe" "$BUILD/saplugin.exe"
check "the installed programs report the newer version" same "$(version)" "saplugin version $VERSION"
check "the older product goes after the newer one's files are in place" \
  awk -F'\t' '{ at[$1] = $3 } END { exit !(at["RemoveExistingProducts"] > at["InstallExecute"] && at["InstallExecute"] > at["InstallFiles"]) }' \
  <(msiinfo export "$WORK/new.msi" InstallExecuteSequence)
check "a package rebuilt with the same version installs" wine msiexec /i "$WORK/rebuilt.msi" /qn
check "it replaces the installed one rather than installing beside it" same "$(installed)" "1 $VERSION"
check "the configuration is still the edited one" same "$(cat "$folder/spamassassinconfig.ini")" "$edited"

check "the package is removed silently" wine msiexec /x "$WORK/rebuilt.msi" /qn
check "only the configuration stays, as edited" same "$(files)$(cat "$folder/spamassassinconfig.ini")" "spamassassinconfig.ini $edited"
check "the scan log's folder stays, with the report in it" \
  test -n "$(ls "$WINEPREFIX/drive_c/ProgramData/saplugin/ScanLog/"saplugin-report-*.html 2> /dev/null)"
check "the event source is gone" same "$(registry "$source_key" EventMessageFile)" ""
check "no entry in the installed programs" same "$(installed)" "0 "
wineserver -k > /dev/null 2>&1 || true
[ "$failures" -eq 0 ] || { echo "$failures checks failed" >&2; exit 1; }
