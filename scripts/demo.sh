#!/usr/bin/env bash
# Builds the service and runs it in the foreground on the sample
# configuration. Its files live in a temporary directory, never in the
# machine's /kozu or /var/log. Ctrl-C quits it.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$top/build}
bash "$top/scripts/install-deps.sh"
BUILD_DIR=$build bash "$top/scripts/build.sh"

root=$(mktemp -d /tmp/vxrdemo.XXXXXX)
trap 'rm -rf "$root"' EXIT
mkdir -p "$root/kozu/etc/vxrclient" "$root/kozu/etc/vxrclientisp"
sed "s|@ROOT@|$root|g" "$top/etc/config.sample.json" > "$root/kozu/etc/vxrclient/config.json"
cp "$top/etc/settings.sample.json" "$root/kozu/etc/vxrclientisp/settings.json"
echo "vxrclient running with its files under $root (Ctrl-C quits)"
VXR_FILES_ROOT=$root "$build/service/vxrclient" || status=$?
echo "vxrclient exited with status ${status:-0}"
