#!/usr/bin/env bash
# The main job: builds the project and runs a backup of a real ZFS dataset
# on the built-in test bench (an appliance and a backup server, each a
# namespace with its own zfs-fuse pool, and sshd on the server).
#
#  1. fills tank/home on the appliance with files and snapshots it;
#  2. starts the vxrclient service inside the appliance with a daily upload
#     time at the next minute, and waits until its scheduled upload ends;
#  3. shows the snapshots now on the server and compares the files of both
#     sides byte for byte;
#  4. adds data, runs one on-demand upload pass ("vxrclient --upload"),
#     which sends only the increment;
#  5. restores: receives the server's copy back into a new dataset on the
#     appliance and compares it with the original;
#  6. stops the service with SIGTERM (it prints "Wait for quit ...").
#
# Needs root (namespaces, FUSE). Everything it creates is removed at exit.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$top/build}
bash "$top/scripts/install-deps.sh"
BUILD_DIR=$build bash "$top/scripts/build.sh" >/dev/null

zb=$top/tests/e2e/zbench.sh
vxrclient=$build/service/vxrclient
hxcall=$build/tools/hxcall

say() { printf '\n== %s\n' "$*"; }

root=$(mktemp -d /tmp/vxrdemo.XXXXXX)
bench=
service_pid=
cleanup() {
  if [ -n "$service_pid" ] && kill -0 "$service_pid" 2>/dev/null; then
    kill -TERM "$service_pid" 2>/dev/null || true
    wait "$service_pid" 2>/dev/null || true
  fi
  [ -n "$bench" ] && "$zb" stop "$bench" >/dev/null 2>&1 || true
  rm -rf "$root"
}
trap cleanup EXIT

say "starting the test bench (appliance + backup server)"
bench=$("$zb" start --owner $$)
port=$("$zb" info "$bench" | sed -n 's/^PORT=//p')
password=$("$zb" info "$bench" | sed -n 's/^PASSWORD=//p')
app() { "$zb" app "$bench" -- "$@"; }
srv() { "$zb" srv "$bench" -- "$@"; }
# Sorted md5 sums of a dataset's files, relative to its mount point.
sums() { # app|srv DATASET
  local host=$1 ds=$2 mp
  $host zfs mount "$ds" >/dev/null 2>&1 || true
  mp=$($host zfs get -H -o value mountpoint "$ds")
  $host sh -c "cd '$mp' && find . -type f -print0 | sort -z | xargs -0 md5sum"
}

say "filling tank/home on the appliance"
mp=$(app zfs get -H -o value mountpoint tank/home)
app sh -c "mkdir -p '$mp/docs' && head -c 8000000 /dev/urandom > '$mp/docs/big.bin' && seq 1 100000 > '$mp/docs/numbers.txt' && echo 'hello from the appliance' > '$mp/readme.txt'"
app zfs snapshot "tank/home@vxr_$(date +%Y%m%d%H%M%S)"
sleep 1

next=$(date -d '+1 minute' '+%H %M')
hour=$((10#${next% *})); minute=$((10#${next#* }))
mkdir -p "$root/kozu/etc/vxrclient" "$root/kozu/etc/vxrclientisp"
cat > "$root/kozu/etc/vxrclient/config.json" <<JSON
{ "debugging": false, "appname": "vxrclient-demo",
  "localagentid": "$root/run/kozu/localsockets/.ls.vxrclient.agent.",
  "vg": "tank", "lv": "home" }
JSON
(umask 077; cat > "$root/kozu/etc/vxrclientisp/settings.json") <<JSON
{ "active": true, "report": { "interval": 60 },
  "server": { "host": "127.0.0.1", "port": $port, "uid": "root", "pwd": "$password",
              "interval": 60, "schedule": [ { "hour": $hour, "minute": $minute } ] },
  "dmpaths": [ "tank/home" ] }
JSON

say "starting vxrclient in the appliance; daily upload at $(printf '%02d:%02d' $hour $minute)"
"$zb" app "$bench" -e VXR_FILES_ROOT="$root" -- "$vxrclient" &
service_pid=$!
socket="$root/run/kozu/localsockets/.ls.vxrclient.agent."
for _ in $(seq 1 50); do [ -S "$socket" ] && break; sleep 0.2; done
"$hxcall" "$socket" help_interfaces >/dev/null && echo "the service answers on $socket"

say "waiting for the scheduled upload"
last=$root/kozu/etc/vxrclientisp/lastbackup.json
for _ in $(seq 1 150); do [ -s "$last" ] && break; sleep 1; done
echo "last backup: $(cat "$last" 2>/dev/null || echo none)"
grep -q '"result":9' "$last"

say "snapshots on the backup server"
srv zfs list -H -t snapshot -o name,used,refer -r tank/home
[ "$(sums app tank/home)" = "$(sums srv tank/home)" ] && echo "server copy: files identical to the appliance"

say "new data, then one on-demand upload pass (vxrclient --upload)"
app sh -c "echo 'second day' >> '$mp/readme.txt' && head -c 2000000 /dev/urandom > '$mp/docs/day2.bin'"
app zfs snapshot "tank/home@vxr_$(date +%Y%m%d%H%M%S)"
"$zb" app "$bench" -e VXR_FILES_ROOT="$root" -- "$vxrclient" --upload && echo "upload pass: exit 0"
tail -n 1 "$root/var/log/vxrclient.upload.log"
srv zfs list -H -t snapshot -o name -r tank/home

say "restore: the server's copy received back into tank/restored"
newest=$(srv zfs list -H -t snapshot -o name -r tank/home | tail -n 1)
SSHPASS=$password ZBENCH_KEEP=SSHPASS "$zb" app "$bench" -- bash -c \
  "set -o pipefail; sshpass -e ssh -o 'StrictHostKeyChecking no' root@127.0.0.1 '/usr/sbin/zfs send -R $newest' | zfs recv -Fu tank/restored"
[ "$(sums app tank/home)" = "$(sums app tank/restored)" ] && echo "restored files identical to the original"

say "stopping the service"
kill -TERM "$service_pid"
status=0; wait "$service_pid" || status=$?
service_pid=
echo "vxrclient exited with status $status"
