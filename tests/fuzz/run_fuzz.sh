#!/usr/bin/env bash
# Runs a fuzz target for a bounded time on its corpus in WORK_DIR (kept
# between runs). Any crash, sanitizer report, broken contract, time-out or
# allocation over the limit fails the run (exit 1). Further arguments go to
# libFuzzer.
# Usage: run_fuzz.sh FUZZER WORK_DIR [SECONDS [LIBFUZZER_ARGS...]]
set -euo pipefail
bin=$(realpath "$1")
work=$2
seconds=${3:-20}
shift $(( $# < 3 ? $# : 3 ))

mkdir -p "$work/corpus"
case "$(basename "$bin")" in
fuzz_rpcpacket)
  # A request frame, a keep-alive followed by a frame with an attachment,
  # and the compact forms of a small object and an array.
  printf '\x00\x00hx\x01\x01\x0b\x00\x00\x00\x00\x00\x00\x00\xff\xff\xff{"cmd":"a"}' > "$work/corpus/seed-frame"
  printf '\x00\x00ka\x00\x00hx\x01\x01\x02\x00\x00\x00\x02\x00\x00\x00\xff\xff\xff{}AT' > "$work/corpus/seed-keepalive"
  printf '\x01a?t\x00b:=1\x00|x\x00\x00\x00' > "$work/corpus/seed-object"
  printf '\x02:=1\x00>k|v\x00\x00?f\x00\x00' > "$work/corpus/seed-value"
  limits=(-rss_limit_mb=512 -malloc_limit_mb=128)
  ;;
*)
  limits=(-rss_limit_mb=1024 -malloc_limit_mb=256)
  ;;
esac

cd "$work"
# A small quarantine keeps the sanitizer's own memory well under the limit,
# so that the limit measures the code under test. Standard output (the
# engine's trace) is dropped.
ASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:}quarantine_size_mb=64" "$bin" -max_total_time="$seconds" "${limits[@]}" -timeout=10 \
  -error_exitcode=1 -timeout_exitcode=1 -close_fd_mask=1 \
  -print_final_stats=1 "$@" "$work/corpus"
