#!/usr/bin/env bash
# bench/fuzz.sh [SECONDS]: fuzzes the parsers that read what others write (the
# profile reader, the registry-file reader, a spamd answer's header, SPAMDHOSTS,
# and the header fields that the scan log keeps, with the CSV line they make)
# and the whole spamd answer path (the input served as a daemon's answer to a
# real scan) with libFuzzer, under AddressSanitizer and UBSan, for SECONDS
# (default 60). Built through CMake (SAPLUGIN_FUZZ) in build-fuzz, where the
# corpus grows from run to run and a crashing input is kept in crashes/.
# Prints the inputs run and the crashes found; exits non-zero on a crash.
# bench/fuzz.sh --build-only: builds the target and runs nothing.
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
source "$ROOT/scripts/lib.sh"
install_missing cmake ninja-build libcli11-dev clang libclang-rt-14-dev
SECONDS_TO_RUN=${1:-60}
OUT="$ROOT/build-fuzz"
cmake -S "$ROOT" -B "$OUT" -G Ninja -DSAPLUGIN_FUZZ=ON -DSAPLUGIN_TESTS=OFF -DCMAKE_CXX_COMPILER=clang++ >/dev/null
cmake --build "$OUT" -j2 --target parsers_fuzz
[ "${1:-}" = "--build-only" ] && exit 0
mkdir -p "$OUT/corpus" "$OUT/crashes"
# Seeds: a profile (first byte 0) and a registry file (1).
printf '\x00[SPAMASSASSIN Plugin Config]\r\nQUARANTINEPATH="C:\\Q"\r\n;c\r\n' > "$OUT/corpus/profile"
printf '\x01Windows Registry Editor Version 5.00\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Tarkwell\\Tarkwell]\r\n"Data Directory"="C:\\\\D"\r\n"N"=dword:0000002a\r\n"H"=hex(2):41,\\\r\n  00\r\n' > "$OUT/corpus/registry"
# A spamd answer (2), a pool (3) and a header section with From and Subject (4).
printf '\x02SPAMD/1.5 0 EX_OK\r\nSpam: True ; 9.0 / 5.0\r\nContent-length: 12\r\n\r\nX: y\r\n\r\nbody' > "$OUT/corpus/answer"
printf '\x03spamd1:783, [::1]:7830 ,10.0.0.5' > "$OUT/corpus/hosts"
printf '\x04From: "Doe, Jane" <j@example.com>\nSubject: =HYPERLINK("x") caf\xc3\xa9\n\tfolded \xe9\n\nbody' > "$OUT/corpus/header"
# Answers to a scan (5): spam, ham after an mbox line, and an error status.
printf '\x05SPAMD/1.5 0 EX_OK\r\nSpam: True ; 9.0 / 5.0\r\nContent-length: 14\r\n\r\nX: y\r\n\r\nbody\r\n' > "$OUT/corpus/scan-spam"
printf '\x05SPAMD/1.5 0 EX_OK\r\nspam: no ; -0.5 / 5.0\r\nContent-length: 21\r\n\r\nFrom a b\nX: y\n\nbody\r\n' > "$OUT/corpus/scan-ham"
printf '\x05SPAMD/1.5 76 EX_PROTOCOL Bad header line: x\r\n' > "$OUT/corpus/scan-refused"
cd "$OUT"
before=$(ls crashes | wc -l)
status=0
start=$(date +%s)
# -timeout: past the scan's own limits (SCANTIMELIMIT 20 s), an input hangs.
./parsers_fuzz -max_total_time="$SECONDS_TO_RUN" -max_len=4096 -timeout=30 -print_final_stats=1 \
  -artifact_prefix="$OUT/crashes/" corpus >fuzz.log 2>&1 || status=$?
runs=$(sed -n 's/^stat::number_of_executed_units: *//p' fuzz.log)
crashes=$(($(ls crashes | wc -l) - before))
echo "Fuzzing: ${runs:-?} inputs run in $(($(date +%s) - start)) s, $crashes crashes (log: $OUT/fuzz.log)"
if [ "$status" -ne 0 ]; then
  grep -E '^(spamd answer|scan log line)|ERROR|SUMMARY|Test unit written' fuzz.log >&2 || tail -20 fuzz.log >&2
  exit 1
fi
