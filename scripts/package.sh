#!/usr/bin/env bash
# Builds the Debian package kozu-vxrclient-isp_VERSION_ARCH.deb into
# ./package (or $PACKAGE_DIR), from a build tree without the tests
# ($BUILD_DIR, default ./build-package). Install it with
#   apt-get install ./package/kozu-vxrclient-isp_*.deb
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$top/build-package}
out=${PACKAGE_DIR:-$top/package}
bash "$top/scripts/install-deps.sh"
cmake -S "$top" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVXR_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" -j"$(nproc)"
cpack --config "$build/CPackConfig.cmake" -B "$out"
ls "$out"/kozu-vxrclient-isp_*.deb
