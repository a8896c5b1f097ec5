#!/usr/bin/env bash
# bench/fuzz.sh [SECONDS]: fuzzes the profile reader and the registry-file
# reader with libFuzzer (under AddressSanitizer and UBSan) for a bounded time
# (default 60 s). Not part of CI. Crashes are written to build-fuzz/.
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
source "$ROOT/scripts/lib.sh"
install_missing clang libclang-rt-14-dev
SECONDS_TO_RUN=${1:-60}
OUT="$ROOT/build-fuzz"
mkdir -p "$OUT/corpus"
clang++ -std=c++17 -g -O1 -fsanitize=fuzzer,address,undefined -I"$ROOT/src" \
  "$ROOT/bench/fuzz/parsers_fuzz.cpp" "$ROOT/src/platform/posix/profile_file.cpp" \
  "$ROOT/src/platform/posix/registry_file.cpp" -o "$OUT/parsers_fuzz"
# Seeds: a profile (first byte even) and a registry file (first byte odd).
printf '\x00[SPAMASSASSIN Plugin Config]\r\nQUARANTINEPATH="C:\\Q"\r\n;c\r\n' > "$OUT/corpus/profile"
printf '\x01Windows Registry Editor Version 5.00\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Tarkwell\\Tarkwell]\r\n"Data Directory"="C:\\\\D"\r\n"N"=dword:0000002a\r\n"H"=hex(2):41,\\\r\n  00\r\n' > "$OUT/corpus/registry"
cd "$OUT"
./parsers_fuzz -max_total_time="$SECONDS_TO_RUN" -max_len=4096 corpus 2>&1 | tail -5
