#!/usr/bin/env bash
# Compiles every source of the service with Clang's thread-safety analysis
# as errors: a member declared HX2_GUARDED_BY touched without its lock, or a
# lock taken where a function says it must not be, fails. Syntax only (the
# analysis needs no code generated), with the flags of the build's own
# compile_commands.json.
#   check-locks.sh BUILD_DIR [CLANG++]
set -euo pipefail
build=${1:?build dir}
clang=${2:-clang++}
top=$(cd "$(dirname "$0")/.." && pwd)
python3 - "$build/compile_commands.json" "$top/service/" "$clang" <<'PY' | xargs -0 -n1 -P"$(nproc)" bash -c
import json, shlex, sys
entries, prefix, clang = json.load(open(sys.argv[1])), sys.argv[2], sys.argv[3]
for e in entries:
    if not e["file"].startswith(prefix):
        continue
    args = shlex.split(e["command"])[1:]
    keep, skip = [], False
    for a in args:
        if skip:
            skip = False
            continue
        if a in ("-o", "-c"):
            skip = a == "-o"
            continue
        keep.append(a)
    cmd = [clang, "-fsyntax-only", "-Wthread-safety", "-Werror=thread-safety"] + keep
    sys.stdout.write("cd %s && %s\0" % (shlex.quote(e["directory"]), " ".join(shlex.quote(c) for c in cmd)))
PY
