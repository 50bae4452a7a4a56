#!/usr/bin/env bash
# Installs what the project needs, builds it and runs every test.
# End-to-end tests need root and zfs-fuse; without them CTest lists them
# as skipped, with the reason in the output.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$top/build}
bash "$top/scripts/install-deps.sh"
BUILD_DIR=$build bash "$top/scripts/build.sh"
cd "$build"
ctest --output-on-failure --timeout 900 -j1
