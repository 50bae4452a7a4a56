#!/usr/bin/env bash
# Installs what the project needs, builds it and runs every test:
# - the main build's tests, the bench flows and the demo among them;
# - at the same time, in trees of their own built with clang, every unit
#   and process test under AddressSanitizer and UndefinedBehaviorSanitizer
#   (with the fuzz targets), then the tests of code shared between threads
#   under ThreadSanitizer.
# Any sanitizer report fails the run, also one from a child process.
# End-to-end tests need root and zfs-fuse; without them CTest lists them
# as skipped, with the reason in the output. The time each part took is
# printed at the end.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$top/build}
asan=${ASAN_BUILD_DIR:-$build-asan}
tsan=${TSAN_BUILD_DIR:-$build-tsan}
supp=$top/tests/sanitizers
jobs=$(nproc)

# Tests that measure the process's own memory. ASan's quarantine of freed
# blocks counts in it: under ASan they run apart with a small quarantine.
# ThreadSanitizer's shadow is several times the heap: they do not run under
# it (the main and ASan runs have them).
memory_tests=(
  LocalServerTest.HalfSentFramesShareOneBudget
  Restore.ServerThatPrintsWithoutEndIsCutOff
  DsrecoverProcess.EndlessServerListingIsCutOff
)
# A CTest regular expression matching exactly the named tests.
exactly() {
  local IFS='|'
  local names="$*"
  echo "^(${names//./\\.})\$"
}

declare -A took
timed() {
  local name=$1 start=$SECONDS
  shift
  "$@"
  took[$name]=$((SECONDS - start))
  echo "==== $name: ${took[$name]} s"
}

# Any file in the folder is a sanitizer report.
no_reports() {
  if compgen -G "$1/*" >/dev/null; then
    echo "Sanitizer reports in $1:" >&2
    cat "$1"/* >&2
    return 1
  fi
}

sanitizer_runs() {
  set -e
  local logs
  cmake -S "$top" -B "$asan" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVXR_SANITIZE=address,undefined \
    -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ >/dev/null
  timed "ASan+UBSan build" cmake --build "$asan" -j"$jobs"
  logs=$asan/sanitizer-reports
  rm -rf "$logs" && mkdir -p "$logs"
  export ASAN_OPTIONS="halt_on_error=1:detect_leaks=1:check_initialization_order=1:detect_stack_use_after_return=1:log_path=$logs/asan"
  export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1:log_path=$logs/ubsan"
  export LSAN_OPTIONS="suppressions=$supp/lsan.supp:print_suppressions=0"
  timed "ASan+UBSan tests" bash -c "cd '$asan' && ctest --output-on-failure --timeout 900 -j1 -E '$(exactly "${memory_tests[@]}")' && \
    ASAN_OPTIONS=\"\$ASAN_OPTIONS:quarantine_size_mb=8\" ctest --output-on-failure --timeout 900 -j1 -R '$(exactly "${memory_tests[@]}")'"
  no_reports "$logs"
  unset ASAN_OPTIONS UBSAN_OPTIONS LSAN_OPTIONS

  cmake -S "$top" -B "$tsan" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVXR_SANITIZE=thread \
    -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ >/dev/null
  timed "TSan build" cmake --build "$tsan" -j"$jobs" --target threads_tests
  logs=$tsan/sanitizer-reports
  rm -rf "$logs" && mkdir -p "$logs"
  export TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1:suppressions=$supp/tsan.supp:log_path=$logs/tsan"
  timed "TSan tests" bash -c "cd '$tsan' && ctest --output-on-failure --timeout 900 -j1 -L threads \
    -E '$(exactly "${memory_tests[@]}")'"
  no_reports "$logs"
  for part in "ASan+UBSan build" "ASan+UBSan tests" "TSan build" "TSan tests"; do
    echo "${took[$part]} $part"
  done > "$asan/sanitizer-times"
}

timed "packages" bash "$top/scripts/install-deps.sh"
timed "main build" env BUILD_DIR="$build" bash "$top/scripts/build.sh"

# The sanitizer trees build and test while the main tests run: those are
# mostly the bench flows, which wait on zfs-fuse and sshd.
mkdir -p "$asan"
sanitizer_runs > "$asan/sanitizer-runs.log" 2>&1 &
sanitizers=$!
main_status=0
# Most tests hold one lock and run one at a time (tests/CMakeLists.txt);
# the simulated year, the lock check and the making of the boot test's
# container tree run beside them.
timed "main tests" bash -c "cd '$build' && ctest --output-on-failure --timeout 900 -j3" || main_status=$?
sanitizer_status=0
wait "$sanitizers" || sanitizer_status=$?
echo "==== Sanitizer builds and tests ($asan/sanitizer-runs.log)"
cat "$asan/sanitizer-runs.log"

echo "==== Time of each part, in seconds"
for part in "packages" "main build" "main tests"; do
  echo "${took[$part]} $part"
done
[ -f "$asan/sanitizer-times" ] && cat "$asan/sanitizer-times"
echo "$SECONDS in all"
[ "$main_status" = 0 ] && [ "$sanitizer_status" = 0 ]
