#!/usr/bin/env bash
# The package under a real systemd: a throw-away Debian system container
# (systemd-nspawn --boot, systemd as its first process) made by debootstrap
# from the machine's own package source, in which the package is installed
# as an operator installs it and its unit is driven as systemd drives it:
#
#   1. the container boots (else the machine cannot boot one: skipped);
#   2. apt-get installs the package; its postinst enables and starts the
#      unit, and the service answers on its socket;
#   3. after a reboot the service was started at boot and answers;
#   4. a restore runs a transfer tree (script, pv and stand-ins for the
#      server's send and the pool's receive); "systemctl stop" ends the
#      service and the whole tree within the unit's stop time-out, the
#      service exiting by itself;
#   5. a service killed with SIGKILL is started again after the unit's
#      restart delay (30 s, the shipped unit unchanged);
#   6. journalctl -u vxrclient holds the service's output and the restart;
#   7. apt-get purge leaves nothing of the package: the unit is gone and
#      the container's files are those it had before the installation.
#
# The stand-ins replace the container's /usr/sbin/zfs (diverted) and put an
# sshpass first on the search path: the container has no pool and no
# backup server, and needs none to show how the unit ends a transfer.
#
#   test_systemd_boot.sh DIR STEM CACHE
#
# The package is DIR/STEM_*.deb. CACHE is the directory that keeps the
# debootstrap tree between runs; it is made again when missing or when the
# package's dependencies, the package source or this recipe change; with
# VXR_BOOT_TREE_ONLY=1 the script ends once the tree is there. Needs
# root. Exits 0 when every step passed, 1 when one failed, 77 (skipped,
# with the reason) when this machine cannot make or boot such a container.
set -uo pipefail

dir=${1:?the package directory}
stem=${2:?the package file name up to its architecture}
cache=${3:?the cache directory}
deb=$(ls "$dir/${stem}"_*.deb 2>/dev/null | head -n 1)
[ -n "$deb" ] || { echo "no package $stem in $dir"; exit 1; }
recipe=1 # raise when the tree's preparation below changes
socket=/run/kozu/localsockets/.ls.vxrclient.agent.
package=$(dpkg-deb -f "$deb" Package 2>/dev/null) || { echo "not a package: $deb"; exit 1; }

skip() { printf 'SKIPPED: %s\n' "$*"; exit 77; }
now() { date +%s%N; }
seconds() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.1f", (b - a) / 1e9 }'; }

[ "$(id -u)" = 0 ] || skip "needs root"
for tool in systemd-nspawn debootstrap unshare nsenter pgrep flock; do
  command -v "$tool" >/dev/null || skip "$tool is not installed (scripts/install-deps.sh installs it)"
done

# Everything below runs in a mount namespace of its own: the container's
# tree, its overlay and a private /run vanish with this process.
if [ "${VXR_BOOT_PRIVATE:-}" != 1 ]; then
  unshare --mount --propagation private true 2>/dev/null || skip "cannot make a private mount namespace"
  VXR_BOOT_PRIVATE=1 exec unshare --mount --propagation private -- bash "$0" "$@"
fi

start_all=$(now)

# ---- The debootstrap tree

# The first enabled source of suite $1 with the component main, from
# deb822 files first, then one-line ones: "URI KEYRING" (KEYRING may be
# empty).
apt_source() {
  local f
  for f in /etc/apt/sources.list.d/*.sources; do
    [ -f "$f" ] || continue
    awk -v suite="$1" 'BEGIN { RS = ""; FS = "\n" }
      { types = uris = suites = comps = key = ""; enabled = "yes"
        for (i = 1; i <= NF; i++) {
          line = $i
          if (line ~ /^[ \t#]/ || !(n = index(line, ":"))) continue
          k = tolower(substr(line, 1, n - 1)); v = substr(line, n + 1); gsub(/^[ \t]+|[ \t]+$/, "", v)
          if (k == "types") types = v; else if (k == "uris") uris = v; else if (k == "suites") suites = v
          else if (k == "components") comps = v; else if (k == "signed-by") key = v; else if (k == "enabled") enabled = v
        }
        if (enabled != "no" && (" " types " ") ~ / deb / && (" " suites " ") ~ (" " suite " ") && (" " comps " ") ~ / main /) {
          split(uris, u, " "); if (key !~ /^\//) key = ""; print u[1], key; exit
        } }' "$f" | grep . && return 0
  done
  cat /etc/apt/sources.list /etc/apt/sources.list.d/*.list 2>/dev/null | awk -v suite="$1" '
    $1 == "deb" { key = ""; line = $0
      if (match(line, /signed-by=[^] ]+/)) key = substr(line, RSTART + 10, RLENGTH - 10)
      sub(/\[[^]]*\]/, "", line); split(line, f, " ")
      if (f[3] == suite) for (i = 4; i in f; i++) if (f[i] == "main") { print f[2], key; exit } }' | grep .
}

# The package's dependencies and recommendations as debootstrap takes
# them: of each set of alternatives the first the machine's apt knows.
dependencies() {
  dpkg-deb -f "$deb" Depends Recommends | sed 's/^[A-Za-z-]*: //' | tr ',' '\n' | while read -r group; do
    first=
    for alt in $(printf '%s\n' "$group" | sed 's/([^)]*)//g; s/:any//g' | tr '|' ' '); do
      [ -n "$first" ] || first=$alt
      if apt-cache show --no-all-versions "$alt" 2>/dev/null | grep '^Package:' >/dev/null; then first=$alt; break; fi
    done
    [ -z "$first" ] || echo "$first"
  done
}

. /etc/os-release
[ "${ID:-}" = debian ] && [ -n "${VERSION_CODENAME:-}" ] || skip "this machine is not Debian: no package source for a Debian container"
source_line=$(apt_source "$VERSION_CODENAME") || skip "no apt source of $VERSION_CODENAME main on this machine"
mirror=${source_line%% *}
keyring=${source_line#* }
[ -n "$keyring" ] || keyring=/usr/share/keyrings/debian-archive-keyring.gpg
includes=$( (echo systemd; dependencies) | sort -u | paste -sd, -)
key="recipe=$recipe $VERSION_CODENAME $mirror $includes"

mkdir -p "$(dirname "$cache")"
exec 9>"$cache.lock"
flock 9
if [ "$(cat "$cache/key" 2>/dev/null)" != "$key" ]; then
  echo "making the container's tree: debootstrap --variant=minbase $VERSION_CODENAME with $includes"
  t=$(now)
  rm -rf "$cache" "$cache.new"
  mkdir -p "$cache.new"
  debootstrap --variant=minbase --include="$includes" --keyring="$keyring" \
      "$VERSION_CODENAME" "$cache.new/root" "$mirror" >"$cache.new/debootstrap.log" 2>&1 \
    || { tail -n 5 "$cache.new/debootstrap.log"; rm -rf "$cache.new"; skip "debootstrap of $VERSION_CODENAME from $mirror failed"; }
  # The container has no FUSE device for zfs-fuse's daemon, and no timer
  # may run apt while the test does.
  for unit in zfs-fuse.service apt-daily.timer apt-daily-upgrade.timer; do
    [ -e "$cache.new/root/lib/systemd/system/$unit" ] && systemctl --root="$cache.new/root" --quiet mask "$unit"
  done
  printf '%s\n' "$key" >"$cache.new/key"
  mv "$cache.new" "$cache"
  echo "tree made in $(seconds "$t" "$(now)") s ($(du -sm "$cache/root" | cut -f1) MB)"
fi
flock -u 9
if [ "${VXR_BOOT_TREE_ONLY:-}" = 1 ]; then
  echo "the container's tree is ready"
  exit 0
fi

# ---- The container

work=$(mktemp -d /tmp/vxrboot.XXXXXX)
mount -t tmpfs vxrboot "$work"
mkdir "$work/upper" "$work/work" "$work/root"
mount -t overlay vxrboot -o "lowerdir=$cache/root,upperdir=$work/upper,workdir=$work/work" "$work/root" \
  || skip "cannot mount an overlay on the container's tree"
machine=vxrboot-$$
nspawn_pid=
leader=
cgroups=()
nspawn_args=(--boot --register=no --private-network --resolv-conf=off --timezone=off --link-journal=no
             --console=read-only --machine="$machine" --directory="$work/root")
if [ ! -d /run/systemd/system ]; then
  # No systemd runs this machine, so none gives the container a scope:
  # it gets cgroups of its own, and nspawn a /run of its own.
  nspawn_args+=(--keep-unit)
  mount -t tmpfs vxrrun /run
  for h in /sys/fs/cgroup /sys/fs/cgroup/unified /sys/fs/cgroup/systemd; do
    case $(stat -f -c %T "$h" 2>/dev/null) in
      cgroup2fs|cgroupfs) mkdir "$h/$machine" && cgroups+=("$h/$machine") ;;
    esac
  done
fi

cleanup() {
  if [ -n "$nspawn_pid" ] && kill -0 "$nspawn_pid" 2>/dev/null; then
    [ -n "$leader" ] && kill -s RTMIN+4 "$leader" 2>/dev/null
    for _ in $(seq 1 200); do kill -0 "$nspawn_pid" 2>/dev/null || break; sleep 0.1; done
    kill -KILL "$nspawn_pid" 2>/dev/null
  fi
  local cg
  for cg in "${cgroups[@]}"; do
    [ -e "$cg/cgroup.kill" ] && echo 1 >"$cg/cgroup.kill"
    for _ in $(seq 1 50); do find "$cg" -depth -type d -exec rmdir {} + 2>/dev/null; [ -d "$cg" ] || break; sleep 0.1; done
  done
  umount -l "$work/root" 2>/dev/null
  umount -l "$work" 2>/dev/null
  rmdir "$work" 2>/dev/null
}
trap cleanup EXIT
trap 'exit 1' HUP INT TERM

in_ct() {
  nsenter --target "$leader" --all -- /usr/bin/env -i LANG=C.UTF-8 DEBIAN_FRONTEND=noninteractive \
    PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin "$@"
}
# Waits up to $1 seconds for the command after it to succeed.
until_ok() {
  local end=$((SECONDS + $1)); shift
  until "$@"; do
    [ "$SECONDS" -lt "$end" ] || return 1
    sleep 0.2
  done
}
unit() { in_ct systemctl show -p "$1" --value vxrclient.service; }
# A time span of the unit's ("30s", "1min 30s") in microseconds.
span_us() { in_ct systemd-analyze timespan "$1" | sed -n 's/^ *μs: //p'; }

# Boots the container; false, with the reason in $why, when its systemd
# does not come up within two minutes.
boot() {
  why=
  : >"$work/console"
  ( for cg in "${cgroups[@]}"; do echo "$BASHPID" >"$cg/cgroup.procs" || exit 1; done
    exec systemd-nspawn "${nspawn_args[@]}" ) >>"$work/console" 2>&1 &
  nspawn_pid=$!
  leader=
  for _ in $(seq 1 300); do
    leader=$(pgrep -P "$nspawn_pid" -x systemd) && break
    kill -0 "$nspawn_pid" 2>/dev/null || { why="systemd-nspawn ended: $(tail -n 3 "$work/console" | tr '\n' ' ')"; return 1; }
    sleep 0.1
  done
  [ -n "$leader" ] || { why="no systemd started in the container: $(tail -n 3 "$work/console" | tr '\n' ' ')"; return 1; }
  # systemctl reaches the container's manager through its private socket,
  # which appears a moment after the manager starts.
  until_ok 30 in_ct test -S /run/systemd/private \
    || { why="the container's systemd opened no socket: $(tail -n 3 "$work/console" | tr '\n' ' ')"; return 1; }
  state=$(timeout 120 nsenter --target "$leader" --all -- /usr/bin/env -i /usr/bin/systemctl is-system-running --wait 2>&1)
  case $state in
    running|degraded) return 0 ;;
    *) why="the container's systemd did not finish booting (is-system-running: $state)"; return 1 ;;
  esac
}

halt_container() {
  kill -s RTMIN+4 "$leader"
  for _ in $(seq 1 600); do kill -0 "$nspawn_pid" 2>/dev/null || break; sleep 0.1; done
  ! kill -0 "$nspawn_pid" 2>/dev/null && wait "$nspawn_pid"
}

# ---- Steps

step_name=
step_start=
step() { step_name=$1; step_start=$(now); }
pass() { printf 'ok     %-66s %6s s\n' "$step_name" "$(seconds "$step_start" "$(now)")"; }
fail() {
  printf 'FAILED %s: %s\n' "$step_name" "$*"
  if [ -n "$nspawn_pid" ] && kill -0 "$nspawn_pid" 2>/dev/null; then
    echo "--- systemctl status vxrclient, journalctl -u vxrclient"
    in_ct systemctl status --no-pager vxrclient.service 2>&1 | tail -n 20
    in_ct journalctl --no-pager -u vxrclient.service 2>&1 | tail -n 20
  fi
  echo "--- the container's console"
  tail -n 15 "$work/console"
  exit 1
}
answers() { in_ct hxcall --timeout 5 "$socket" "$1" 2>/dev/null | grep '"err": 0' >/dev/null; }
# The command lines of the container's processes, one a line.
processes() { in_ct sh -c 'for p in /proc/[0-9]*; do tr "\0" " " <"$p/cmdline"; echo; done' 2>/dev/null; }
# Every path of the container, without the file systems of its run and the
# records of its package tools, journal and timers.
listing() {
  in_ct find / -xdev \( -path /proc -o -path /sys -o -path /dev -o -path /run -o -path /tmp -o -path /var/tmp \
    -o -path /var/log -o -path /var/cache -o -path /var/lib/apt -o -path /var/lib/dpkg \
    -o -path /var/lib/systemd/timers -o -path /var/lib/systemd/random-seed \) -prune -o -print | LC_ALL=C sort
}

step "the container boots with systemd as its first process"
boot || skip "this machine cannot boot a systemd container: $why"
[ "$(in_ct readlink /proc/1/exe)" = /usr/lib/systemd/systemd ] || skip "the container's first process is not systemd"
pass

step "stand-ins for the pool's zfs and the server's sshpass"
in_ct dpkg-divert --quiet --local --rename --divert /usr/sbin/zfs.distrib --add /usr/sbin/zfs || fail "dpkg-divert"
cat >"$work/root/usr/sbin/zfs" <<'EOF'
#!/bin/bash
# The appliance as the test sees it: the pool tank, empty; a receive reads
# its stream until the stream ends.
case "$*" in
  "list -H -o name") echo tank ;;
  recv\ *) exec -a vxr-standin-recv cat >/dev/null ;;
  *) exit 1 ;;
esac
EOF
mkdir -p "$work/root/usr/local/bin"
cat >"$work/root/usr/local/bin/sshpass" <<'EOF'
#!/bin/bash
# The backup server as the test sees it: one snapshot of tank/home, whose
# stream never ends.
case "${!#}" in
  *"zfs list -H -o name") echo tank/home ;;
  *"zfs list -t snapshot -H -o name "*) echo tank/home@vxr_20250101000000 ;;
  *"zfs send -R "*) exec -a vxr-standin-send sleep 3600 ;;
  *) exit 1 ;;
esac
EOF
chmod 755 "$work/root/usr/sbin/zfs" "$work/root/usr/local/bin/sshpass"
listing >"$work/before" || fail "cannot list the container's files"
pass

step "apt-get install: the postinst enables and starts the unit"
cp "$deb" "$work/root/var/tmp/package.deb"
out=$(in_ct apt-get install -y -q /var/tmp/package.deb 2>&1) || fail "apt-get install: $(tail -n 5 <<<"$out")"
[ "$(in_ct systemctl is-enabled vxrclient.service)" = enabled ] || fail "the unit is not enabled"
until_ok 10 answers help_interfaces || fail "the service does not answer on $socket after the installation"
pass

step "after a reboot the service was started at boot and answers"
halt_container || fail "the container did not power off"
boot || fail "the container did not boot again: $why"
until_ok 10 answers vxrclient_task_alload || fail "no answer to vxrclient_task_alload on $socket"
[ "$(unit ActiveState)/$(unit SubState)/$(unit NRestarts)" = active/running/0 ] \
  || fail "the unit is $(unit ActiveState)/$(unit SubState) after $(unit NRestarts) restarts"
pass

step "a restore runs its transfer tree under the unit"
reply=$(printf '%s' '{"server": "backup.invalid", "port": 22, "userid": "backup", "passwd": "test-only"}' \
  | in_ct hxcall --timeout 30 "$socket" vxrclient_restore -)
grep -q '"err": 0' <<<"$reply" || fail "vxrclient_restore: $reply"
tree_running() {
  tree=$(in_ct systemd-cgls --no-pager --unit vxrclient.service)
  grep -q vxr-standin-send <<<"$tree" && grep -q vxr-standin-recv <<<"$tree" && grep -q ' pv ' <<<"$tree" \
    && grep -q 'script ' <<<"$tree"
}
until_ok 20 tree_running || fail "no transfer tree in the unit's cgroup: $tree"
pass

step "systemctl stop ends the service and its tree within the stop time-out"
limit=$(unit TimeoutStopUSec)
limit_us=$(span_us "$limit")
[ "$limit_us" = 30000000 ] || fail "the unit's stop time-out is $limit, not 30 s"
t=$(now)
in_ct systemctl stop vxrclient.service || fail "systemctl stop failed"
took=$(seconds "$t" "$(now)")
awk -v s="$took" -v l="$limit_us" 'BEGIN { exit !(s * 1e6 < l) }' || fail "the stop took $took s, the unit allows $limit"
[ "$(unit Result)" = success ] || fail "the unit's result is $(unit Result), not success (the service did not end by itself)"
left=$(processes | grep -e vxr-standin -e /usr/sbin/vxrclient)
[ -z "$left" ] || fail "left running: $left"
in_ct journalctl --no-pager -b -u vxrclient.service -o cat | grep 'Wait for quit' >/dev/null \
  || fail "the service did not report its quit"
step_name="$step_name ($took s of $limit)"
pass

step "a killed service is started again after the unit's restart delay"
in_ct systemctl start vxrclient.service || fail "systemctl start failed"
until_ok 10 answers help_interfaces || fail "no answer after the start"
main=$(unit MainPID)
restarts=$(unit NRestarts)
delay=$(unit RestartUSec)
delay_us=$(span_us "$delay")
[ "$delay_us" = 30000000 ] || fail "the unit's restart delay is $delay, not 30 s"
in_ct sh -c 'kill -KILL "$1"' sh "$main" || fail "cannot kill the service"
died=
for _ in $(seq 1 120); do
  [ -n "$died" ] || { [ "$(unit SubState)" = auto-restart ] && died=$(unit ExecMainExitTimestampMonotonic); }
  pid=$(unit MainPID)
  [ -n "$died" ] && [ "$pid" != 0 ] && [ "$pid" != "$main" ] && [ "$(unit ActiveState)" = active ] && break
  sleep 0.5
done
[ -n "$died" ] || fail "the unit was never waiting to restart"
[ "$pid" != 0 ] && [ "$pid" != "$main" ] || fail "not started again within a minute: $(unit ActiveState)/$(unit SubState)"
[ "$(unit NRestarts)" = $((restarts + 1)) ] || fail "NRestarts is $(unit NRestarts), was $restarts"
after=$(awk -v a="$died" -v b="$(unit ExecMainStartTimestampMonotonic)" 'BEGIN { printf "%.1f", (b - a) / 1e6 }')
awk -v s="$after" -v d="$delay_us" 'BEGIN { exit !(s * 1e6 >= d - 500000 && s * 1e6 <= d + 5e6) }' \
  || fail "started again $after s after the kill; the unit says $delay"
until_ok 10 answers help_interfaces || fail "no answer after the restart"
step_name="$step_name ($after s)"
pass

step "journalctl -u vxrclient holds the service's output and its restart"
journal=$(in_ct journalctl --no-pager -u vxrclient.service -o cat)
for line in 'Wait for quit ...' 'Main process exited, code=killed, status=9/KILL' 'Scheduled restart job'; do
  grep -qF "$line" <<<"$journal" || fail "no \"$line\" in the journal"
done
pass

step "apt-get purge leaves nothing of the package"
out=$(in_ct apt-get purge -y -q "$package" 2>&1) || fail "apt-get purge: $(tail -n 5 <<<"$out")"
left=$(processes | grep -e vxr-standin -e /usr/sbin/vxrclient)
[ -z "$left" ] || fail "left running: $left"
[ "$(unit LoadState)" = not-found ] || fail "systemd still knows the unit: $(unit LoadState)"
status=$(in_ct dpkg-query -W -f '${db:Status-Status}' "$package" 2>/dev/null)
[ -z "$status" ] || [ "$status" = not-installed ] || fail "dpkg lists $package as $status"
listing >"$work/after" || fail "cannot list the container's files"
# The appliance's operation log is shared with other applications and
# stays; the service made it, and its folders, as no platform had.
changed=$(diff "$work/before" "$work/after" | grep '^[<>]' \
  | grep -vxF -e '> /kozu' -e '> /kozu/var' -e '> /kozu/var/db' -e '> /kozu/var/db/kozulog.db')
[ -z "$changed" ] || fail "the files differ from those before the installation:
$changed"
pass

step "the container powers off"
halt_container || fail "the container did not power off"
nspawn_pid=
pass

echo "all steps passed in $(seconds "$start_all" "$(now)") s"
