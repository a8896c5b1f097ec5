#!/usr/bin/env bash
# bench/fuzz.sh [SECONDS]: fuzzes the parsers that read what others write (the
# profile reader, the registry-file reader, a spamd answer's header, SPAMDHOSTS,
# and the header fields that the scan log keeps, with the CSV line they make)
# with libFuzzer (under AddressSanitizer and UBSan) for a bounded time (default
# 60 s). Not part of CI. Crashes are written to build-fuzz/.
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
source "$ROOT/scripts/lib.sh"
install_missing clang libclang-rt-14-dev
SECONDS_TO_RUN=${1:-60}
OUT="$ROOT/build-fuzz"
mkdir -p "$OUT/corpus"
clang++ -std=c++17 -g -O1 -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=all -I"$ROOT/src" -DSAPLUGIN_VERSION=\"fuzz\" \
  "$ROOT/bench/fuzz/parsers_fuzz.cpp" "$ROOT"/src/config/*.cpp "$ROOT"/src/helpers/*.cpp \
  $(ls "$ROOT"/src/run/*.cpp | grep -v entry.cpp) "$ROOT"/src/platform/*.cpp "$ROOT"/src/platform/posix/*.cpp \
  -o "$OUT/parsers_fuzz"
# Seeds: a profile (first byte 0) and a registry file (1).
printf '\x00[SPAMASSASSIN Plugin Config]\r\nQUARANTINEPATH="C:\\Q"\r\n;c\r\n' > "$OUT/corpus/profile"
printf '\x01Windows Registry Editor Version 5.00\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Tarkwell\\Tarkwell]\r\n"Data Directory"="C:\\\\D"\r\n"N"=dword:0000002a\r\n"H"=hex(2):41,\\\r\n  00\r\n' > "$OUT/corpus/registry"
# A spamd answer (2), a pool (3) and a header section with From and Subject (4).
printf '\x02SPAMD/1.5 0 EX_OK\r\nSpam: True ; 9.0 / 5.0\r\nContent-length: 12\r\n\r\nX: y\r\n\r\nbody' > "$OUT/corpus/answer"
printf '\x03spamd1:783, [::1]:7830 ,10.0.0.5' > "$OUT/corpus/hosts"
printf '\x04From: "Doe, Jane" <j@example.com>\nSubject: =HYPERLINK("x") caf\xc3\xa9\n\tfolded \xe9\n\nbody' > "$OUT/corpus/header"
cd "$OUT"
./parsers_fuzz -max_total_time="$SECONDS_TO_RUN" -max_len=4096 corpus 2>&1 | tail -5
