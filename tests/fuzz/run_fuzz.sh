#!/usr/bin/env bash
# Builds the packet decoder fuzz target with clang's libFuzzer and runs it
# for a bounded time. Any crash, sanitizer report, broken decoder contract
# or allocation over the limit fails the run (exit 1; 77 only when clang is
# missing).
# Usage: run_fuzz.sh SOURCE_DIR WORK_DIR [SECONDS]
set -euo pipefail
src=$1
work=$2
seconds=${3:-20}

if ! command -v clang++ >/dev/null; then
  echo "clang++ is not installed (scripts/install-deps.sh installs it); fuzzing skipped" >&2
  exit 77
fi

mkdir -p "$work/corpus"
bin="$work/fuzz_rpcpacket"
# shellcheck disable=SC2046
clang++ -std=c++17 -g -O1 -fPIC -fno-omit-frame-pointer \
  -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined \
  -I"$src/hxlib" $(pkg-config --cflags Qt5Core) \
  "$src/tests/fuzz/fuzz_rpcpacket.cpp" "$src/hxlib/hx2rpcpacket.cpp" \
  $(pkg-config --libs Qt5Core) -o "$bin"

# Seeds: a request frame, a keep-alive followed by a frame with an
# attachment, and the compact forms of a small object and an array.
printf '\x00\x00hx\x01\x01\x0b\x00\x00\x00\x00\x00\x00\x00\xff\xff\xff{"cmd":"a"}' > "$work/corpus/seed-frame"
printf '\x00\x00ka\x00\x00hx\x01\x01\x02\x00\x00\x00\x02\x00\x00\x00\xff\xff\xff{}AT' > "$work/corpus/seed-keepalive"
printf '\x01a?t\x00b:=1\x00|x\x00\x00\x00' > "$work/corpus/seed-object"
printf '\x02:=1\x00>k|v\x00\x00?f\x00\x00' > "$work/corpus/seed-value"

cd "$work"
# A small quarantine keeps the sanitizer's own memory well under the limit,
# so that the limit measures the decoders.
ASAN_OPTIONS=${ASAN_OPTIONS:-quarantine_size_mb=64} "$bin" -max_total_time="$seconds" -rss_limit_mb=512 -malloc_limit_mb=128 -timeout=10 \
  -error_exitcode=1 -timeout_exitcode=1 \
  -print_final_stats=1 "$work/corpus"
