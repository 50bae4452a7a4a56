#!/usr/bin/env bash
# The main job: the whole backup cycle of vxrclient on the built-in test
# bench (an appliance and a backup server, each a namespace with its own
# zfs-fuse pool "tank", and sshd on the server), driven as the appliance's
# management layer drives it: through the service's socket.
#
#  1. fills tank/home and tank/data on the appliance and snapshots them;
#  2. starts stand-ins for what the appliance provides (the platform agent,
#     the backup status program) and for the management server, then the
#     vxrclient service inside the appliance;
#  3. configures it with vxrclient_settingsave: the server's account, a
#     daily upload time at the next minute, a report every minute;
#  4. follows the scheduled upload with the status view, vxrstatus, until it
#     ends: streams are read at 2 MiB/s, so its bars rise for seconds;
#  5. shows the status report the management server received;
#  6. destroys both datasets on the appliance and brings them back with
#     vxrclient_restore, following the restore the same way;
#  7. restores tank/home's older snapshot into tank/home-old beside the live
#     tank/home, which keeps its files; then destroys tank/home and brings a
#     second copy back with dsrecover, the offline restore tool;
#  8. compares every restored file with the original, lists the operation
#     log, stops the service with SIGTERM and prints a summary.
#
# Needs root (namespaces, FUSE). Everything it creates is removed at exit.
# Exits non-zero when any step or comparison fails.
# VXR_DEMO_BUILT=1 skips the package install and build (the tests run it
# on a tree they built).
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$top/build}
if [ "${VXR_DEMO_BUILT:-0}" != 1 ]; then
  bash "$top/scripts/install-deps.sh"
  BUILD_DIR=$build bash "$top/scripts/build.sh" >/dev/null
fi

zb=$top/tests/e2e/zbench.sh
vxrclient=$build/service/vxrclient
dsrecover=$build/restore-tool/dsrecover
hxcall=$build/tools/hxcall
vxrstatus=$build/tools/vxrstatus
agent=$build/tests/standins/standin_agent
helper=$build/tests/standins/standin_vxrhelper
receiver=$build/tests/standins/standin_receiver

say() { printf '\n== %s\n' "$*"; }
fail() { printf '\nDEMO FAILED: %s\n' "$*" >&2; exit 1; }

root=$(mktemp -d /tmp/vxrdemo.XXXXXX)
bench=
pids=()
cleanup() {
  for p in "${pids[@]}"; do
    kill -TERM "$p" 2>/dev/null || true
    wait "$p" 2>/dev/null || true
  done
  [ -n "$bench" ] && "$zb" stop "$bench" >/dev/null 2>&1 || true
  rm -rf "$root"
}
trap cleanup EXIT

say "starting the test bench (appliance + backup server)"
rc=0
bench=$("$zb" start --owner $$) || rc=$?
if [ $rc != 0 ]; then
  # Run as a test, a machine that cannot host the bench is a skip (77).
  [ $rc = 2 ] && [ "${VXR_DEMO_BUILT:-0}" = 1 ] && { echo "demo skipped: this machine cannot host the bench"; exit 77; }
  fail "the bench did not start"
fi
port=$("$zb" info "$bench" | sed -n 's/^PORT=//p')
password=$("$zb" info "$bench" | sed -n 's/^PASSWORD=//p')
app() { "$zb" app "$bench" -- "$@"; }
srv() { "$zb" srv "$bench" -- "$@"; }
# md5 sums of a dataset's files, relative to its mount point, sorted.
sums() { # app|srv DATASET
  local host=$1 ds=$2 mp
  $host zfs mount "$ds" >/dev/null 2>&1 || true
  mp=$($host zfs get -H -o value mountpoint "$ds")
  $host sh -c "cd '$mp' && find . -type f -print0 | sort -z | xargs -0 md5sum"
}
# zfs-fuse holds a dataset it just mounted busy for a moment.
destroy() { # DATASET
  for _ in $(seq 1 20); do
    app zfs destroy -r "$1" 2>/dev/null && return 0
    sleep 0.5
  done
  fail "cannot destroy $1"
}
socket="$root/run/kozu/localsockets/.ls.vxrclient.agent."
call() { "$hxcall" --timeout 120 "$socket" "$@"; }
# The status view (vxrstatus) until the queue has held tasks and is empty
# again, at most $1 seconds; its screens are also kept in $2. Its output is
# not a terminal then, so it prints a whole screen whenever the service's
# answers change (every 2 s while a transfer runs) instead of redrawing.
watch_queue() { # SECONDS FILE
  timeout "$1" "$vxrstatus" --watch --until-idle --interval 0.5 --log 0 "$socket" | tee "$2"
}
# From the kept screens: the seconds the queue was busy, and the average
# speed each task's bar showed last.
view_figures() { # FILE
  python3 - "$1" <<'PY'
import datetime, re, sys
busy_from = busy_to = None
speeds = {}
frames = open(sys.argv[1], encoding="utf-8").read().split("\n\n")
for frame in frames:
    lines = frame.strip("\n").split("\n")
    when = datetime.datetime.strptime(lines[0][-19:], "%Y-%m-%d %H:%M:%S")
    tasks = next((l[10:] for l in lines if l.startswith("tasks ")), "none")
    if tasks != "none" and busy_from is None:
        busy_from = when
    if tasks == "none" and busy_from is not None and busy_to is None:
        busy_to = when
    for l in lines:
        m = re.match(r"  #\d+ \w+ (\S+) .* avg (\S+ \S+/s)", l)
        if m:
            speeds[m.group(1)] = m.group(2)
busy = int((busy_to - busy_from).total_seconds()) if busy_from and busy_to else 0
print("%d|%s" % (busy, ", ".join("%s (%s)" % (s, d) for d, s in speeds.items()) or "none shown"))
PY
}

say "filling tank/home and tank/data on the appliance"
for ds in tank/home tank/data; do
  mp=$(app zfs get -H -o value mountpoint "$ds")
  app sh -c "mkdir -p '$mp/docs' && head -c 12000000 /dev/urandom > '$mp/docs/big.bin' && seq 1 200000 > '$mp/docs/numbers.txt' && echo 'hello from $ds' > '$mp/readme.txt'"
  app zfs snapshot "$ds@vxr_$(date +%Y%m%d%H%M%S)"
done
home_first=$(app zfs list -H -o name -t snapshot tank/home | tail -n 1)
home_first_sum=$(sums app tank/home)
sleep 1
mp=$(app zfs get -H -o value mountpoint tank/home)
app sh -c "echo 'second day' >> '$mp/readme.txt' && head -c 4000000 /dev/urandom > '$mp/docs/day2.bin'"
app zfs snapshot "tank/home@vxr_$(date +%Y%m%d%H%M%S)"
home_sum=$(sums app tank/home)
data_sum=$(sums app tank/data)
sent_bytes=$(app zfs list -H -p -o used tank/home tank/data | awk '{ s += $1 } END { print s }')

say "starting the stand-ins: platform agent, status program, management server"
mkdir -p "$root/run/kozu/localsockets" "$root/kozu/sbin" "$root/kozu/etc/vxrclient"
"$agent" --socket "$root/run/kozu/localsockets/.ls.hubcore.agent." --results '{"hostname": "demo-appliance", "model": "NAS-4"}' > "$root/agent.out" &
pids+=($!)
cp "$helper" "$root/kozu/sbin/vxr_helper"
"$receiver" --record "$root/reports.jsonl" > "$root/receiver.out" &
pids+=($!)
for _ in $(seq 1 50); do grep -q listening "$root/receiver.out" 2>/dev/null && break; sleep 0.1; done
url=$(sed -n 's/^listening //p' "$root/receiver.out")/device
echo "management server stand-in at $url"

cat > "$root/kozu/etc/vxrclient/config.json" <<JSON
{ "debugging": false, "appname": "vxrclient-demo",
  "localagentid": "$socket",
  "vg": "tank", "lv": "home", "vxrserverurl": "$url" }
JSON

# Streams are read at 2 MiB/s on both sides (pv -L 2M), so that the status
# view shows each transfer's bar rising for several seconds.
rate=2M
"$zb" throttle "$bench" $rate
app_throttle="/proc/$("$zb" info "$bench" | sed -n 's/^APP_HOLDER=//p')/root/run/zfs/throttle"
printf $rate > "$app_throttle"

say "starting vxrclient in the appliance"
"$zb" app "$bench" -e VXR_FILES_ROOT="$root" -- "$vxrclient" --cfg "$root/kozu/etc/vxrclient/config.json" > "$root/service.out" 2>&1 &
pids+=($!)
for _ in $(seq 1 50); do [ -S "$socket" ] && break; sleep 0.2; done
call help_interfaces >/dev/null || fail "the service does not answer on $socket"
echo "the service answers on $socket"

# A settings read at the daily time itself passes that upload over, and the
# status view reads them as it starts: the time is at least 3 s away.
while [ "$((10#$(date +%S)))" -ge 57 ]; do sleep 0.5; done
next=$(date -d '+1 minute' '+%H %M')
hour=$((10#${next% *})); minute=$((10#${next#* }))
say "vxrclient_settingsave: account, daily upload at $(printf '%02d:%02d' $hour $minute), a report every minute"
# The password reaches hxcall on its standard input, never on a command line.
python3 -c 'import json, sys; print(json.dumps({"cmd": "vxrclient_settingsave", "params": {
  "active": 1, "report": {"interval": 1},
  "server": {"host": "127.0.0.1", "port": int(sys.argv[1]), "uid": "root", "pwd": sys.stdin.read().rstrip("\n"),
             "interval": 60, "schedule": [{"hour": int(sys.argv[2]), "minute": int(sys.argv[3])}]},
  "dmpaths": ["tank/home", "tank/data"]}}))' "$port" "$hour" "$minute" <<<"$password" \
  | call - | grep '"err": 0' >/dev/null || fail "settingsave refused"
stat -c 'settings file: %A %n' "$root/kozu/etc/vxrclientisp/settings.json"

say "the scheduled upload, as the status view (vxrstatus) shows it"
watch_queue 150 "$root/upload.view" || fail "the upload did not run"
IFS='|' read -r upload_s upload_speeds < <(view_figures "$root/upload.view")
call vxrclient_remote_loadby | python3 -c '
import json, sys
for r in json.load(sys.stdin)["results"]["records"]:
    print("  on the server: %-40s %10d bytes" % (r["name"], r["used"]))'
[ "$(sums srv tank/home)" = "$home_sum" ] && [ "$(sums srv tank/data)" = "$data_sum" ] \
  || fail "the server's copy differs from the appliance's"
echo "server copy: files identical to the appliance's"

say "the status report the management server received"
for _ in $(seq 1 90); do [ -s "$root/reports.jsonl" ] && break; sleep 1; done
[ -s "$root/reports.jsonl" ] || fail "no report arrived"
head -n 1 "$root/reports.jsonl" | python3 -c '
import json, sys
req = json.loads(sys.stdin.readline())
body = json.loads(req["body"])
p = body["params"]
print("  %s %s  cmd=%s" % (req["method"], req["target"], body["cmd"]))
print("  agent: hostname=%s model=%s" % (p.get("hostname"), p.get("model")))
print("  cloudserver: %s:%s, %d snapshots" % (p["cloudserver"]["server"], p["cloudserver"]["port"], len(p["cloudserver"]["backups"])))
print("  vxrzfsinfo: %s   ubackup: %s   tasks: %d" % (json.dumps(p.get("vxrzfsinfo")), json.dumps(p.get("ubackup")), len(p.get("tasks", []))))'
grep -q "$password" "$root/reports.jsonl" && fail "the password reached the management server"

say "destroying tank/home and tank/data on the appliance; vxrclient_restore brings them back"
destroy tank/home
destroy tank/data
python3 -c 'import json, sys; print(json.dumps({"cmd": "vxrclient_restore", "params": {
  "server": "127.0.0.1", "port": int(sys.argv[1]), "userid": "root", "passwd": sys.stdin.read().rstrip("\n")}}))' \
  "$port" <<<"$password" | call - | grep '"err": 0' >/dev/null || fail "restore refused"
watch_queue 240 "$root/restore.view" || fail "the restore did not run"
IFS='|' read -r restore_s restore_speeds < <(view_figures "$root/restore.view")
home_back=$( [ "$(sums app tank/home)" = "$home_sum" ] && echo equal || echo DIFFERENT )
data_back=$( [ "$(sums app tank/data)" = "$data_sum" ] && echo equal || echo DIFFERENT )
echo "tank/home: $home_back   tank/data: $data_back"

say "yesterday's tank/home beside today's: vxrclient_restore of ${home_first#*@} into tank/home-old"
# Nothing watches the copies from here: the appliance reads them at full speed.
rm -f "$app_throttle"
python3 -c 'import json, sys; print(json.dumps({"cmd": "vxrclient_restore", "params": {
  "server": "127.0.0.1", "port": int(sys.argv[1]), "userid": "root", "passwd": sys.stdin.read().rstrip("\n"),
  "dmpath": "tank/home", "snapshot": sys.argv[2], "target": "tank/home-old"}}))' \
  "$port" "${home_first#*@}" <<<"$password" | call - | grep '"err": 0' >/dev/null || fail "restore of one refused"
for _ in $(seq 1 120); do
  call vxrclient_task_alload | grep -q '"dmpath"' || break
  sleep 1
done
old_back=$( [ "$(sums app tank/home-old)" = "$home_first_sum" ] && echo equal || echo DIFFERENT )
live_kept=$( [ "$(sums app tank/home)" = "$home_sum" ] && echo unchanged || echo CHANGED )
echo "tank/home-old: $old_back to $home_first   tank/home: $live_kept"

say "a second copy of tank/home with dsrecover, the offline tool"
destroy tank/home
"$zb" app "$bench" -- "$dsrecover" 127.0.0.1 root "$password" tank home > "$root/dsrecover.out" \
  || { cat "$root/dsrecover.out"; fail "dsrecover failed"; }
tail -n 2 "$root/dsrecover.out"
second=$( [ "$(sums app tank/home)" = "$home_sum" ] && echo equal || echo DIFFERENT )
echo "tank/home from dsrecover: $second"

say "the operation log (vxrclient_log_alload)"
call vxrclient_log_alload | python3 -c '
import json, sys
for r in reversed(json.load(sys.stdin)["results"]["records"]):
    print("  %-12s %s" % (r.get("level"), r.get("message", "").replace("##$@vxr@$##", "")))'

say "stopping the service"
kill -TERM "${pids[-1]}"
status=0; wait "${pids[-1]}" || status=$?
unset 'pids[-1]'
grep -q "Wait for quit" "$root/service.out" && echo "vxrclient printed \"Wait for quit ...\" and exited with status $status"

cat <<SUMMARY

================================ summary ================================
 sent       tank/home (2 snapshots), tank/data (1 snapshot): $((sent_bytes / 1000000)) MB
            at the scheduled minute, in about $upload_s s (streams read at ${rate%M} MiB/s on the bench);
            the status view's bars rose at $upload_speeds
 reported   $(wc -l < "$root/reports.jsonl") status report(s) at $url, no password in them
 restored   vxrclient_restore in about $restore_s s: tank/home $home_back, tank/data $data_back;
            the status view's bars rose at $restore_speeds
            one dataset to its older snapshot beside the live one: tank/home-old $old_back
            to ${home_first#*@}, tank/home $live_kept
            dsrecover: tank/home $second
 service    stopped by SIGTERM, exit status $status
==========================================================================
SUMMARY
[ "$home_back" = equal ] && [ "$data_back" = equal ] && [ "$second" = equal ] && [ "$status" = 0 ] \
  && [ "$old_back" = equal ] && [ "$live_kept" = unchanged ] \
  || fail "a restored copy differs or the service did not stop cleanly"
