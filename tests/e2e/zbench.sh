#!/bin/bash
# zbench.sh: the real-ZFS test bench. Two hosts on one machine, each a
# private mount namespace with its own zfs-fuse daemon and pool "tank":
#
#   appliance  tank/home, tank/data; an ssh client configuration that sends
#              ssh without -p to the server's port and keeps no known hosts
#   server     an empty tank; sshd on 127.0.0.1:PORT accepting root with a
#              password that exists only inside this namespace
#
# Both hosts see /usr/sbin/zfs as tests/e2e/zfs-compat, which adds the
# OpenZFS forms zfs-fuse lacks; the real tool stays at /run/zfs/zfs.real.
#
# Usage:
#   zbench.sh start [--owner PID]   builds a bench, prints its state dir;
#                                   with --owner the bench is torn down by
#                                   itself once process PID is gone
#   zbench.sh stop DIR              tears the bench down (always safe)
#   zbench.sh status DIR            exit 0 when both hosts are up
#   zbench.sh info DIR              KEY=VALUE lines (PORT, PASSWORD, ...)
#   zbench.sh app DIR [-e K=V]... [--] CMD...   runs CMD on the appliance
#   zbench.sh srv DIR [-e K=V]... [--] CMD...   runs CMD on the server
#                                   (a clean root environment, plus -e
#                                   values and the variables that
#                                   ZBENCH_KEEP names)
#   zbench.sh throttle DIR RATE|off server receives read at RATE (pv -L)
#   zbench.sh cleanup               tears down benches whose owner or
#                                   namespaces died
#
# Exit codes of start: 0 up; 2 cannot run here (not root, tools missing);
# 3 zfs-fuse would not start; 1 any other failure. Messages go to stderr.
#
# Only processes recorded in a bench's state dir, or living in that
# bench's own mount namespaces, are ever signalled.

set -u
HERE=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
SELF=$HERE/$(basename "${BASH_SOURCE[0]}")
BASE=${ZBENCH_TMP:-${TMPDIR:-/tmp}}
ROOT_PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin

die() {
  echo "zbench: $2" >&2
  exit "$1"
}

now_ms() { date +%s%3N; }

# --- state file ----------------------------------------------------------

state_get() { # DIR KEY
  [ -f "$1/zbench.state" ] || return 1
  sed -n "s/^$2=//p" "$1/zbench.state" | tail -n 1
}

state_set() { # DIR KEY VALUE
  echo "$2=$3" >>"$1/zbench.state"
}

# A live, non-zombie process.
alive() {
  [[ ${1:-} =~ ^[0-9]+$ ]] || return 1
  local st
  st=$(sed 's/.*) //' "/proc/$1/stat" 2>/dev/null) || return 1
  [ -n "$st" ] && [ "${st:0:1}" != Z ]
}

# Identity (inode) of a process's mount namespace.
mntns() { stat -L -c %i "/proc/$1/ns/mnt" 2>/dev/null; }

# True when PID is alive, lives in the namespace NS and runs PROGRAM.
is_ours() { # PID NS PROGRAM
  alive "$1" || return 1
  [ "$(mntns "$1")" = "$2" ] || return 1
  [ -z "$3" ] || tr '\0' ' ' <"/proc/$1/cmdline" 2>/dev/null | grep -q -- "$3"
}

# The holder of a host: alive, "sleep infinity", in a namespace not ours.
holder_ok() { # PID
  alive "$1" || return 1
  [ "$(tr '\0' ' ' <"/proc/$1/cmdline" 2>/dev/null)" = "sleep infinity " ] || return 1
  [ "$(mntns "$1")" != "$(mntns $$)" ]
}

# Waits up to MS milliseconds for every listed pid to be gone.
wait_gone() { # MS PID...
  local until=$(($(now_ms) + $1)) p left
  shift
  while :; do
    left=0
    for p in "$@"; do alive "$p" && left=1; done
    [ $left = 0 ] && return 0
    [ "$(now_ms)" -ge $until ] && return 1
    sleep 0.05
  done
}

# Every process in mount namespace NS, except the listed pids.
ns_pids() { # NS EXCEPT...
  local ns=$1
  shift
  stat -L -c '%i %n' /proc/[0-9]*/ns/mnt 2>/dev/null |
    awk -v ns="$ns" -v except=" $* " '$1 == ns { split($2, a, "/"); if (index(except, " " a[3] " ") == 0) print a[3] }'
}

# --- teardown ------------------------------------------------------------

stop_host() { # DIR HOST
  local d=$1 h=$2 holder ns zf pids
  holder=$(state_get "$d" "${h^^}_HOLDER")
  zf=$(cat "$d/$h/zfs-fuse.pid" 2>/dev/null)
  if holder_ok "$holder"; then
    ns=$(mntns "$holder")
  elif alive "$zf" && [ "$(mntns "$zf")" != "$(mntns $$)" ] &&
    tr '\0' ' ' <"/proc/$zf/cmdline" 2>/dev/null | grep -qF -- "$d/$h/zfs-fuse.pid"; then
    # The holder died; the daemon still marks the namespace.
    ns=$(mntns "$zf")
    holder=$zf
  else
    return 0
  fi
  # Everything else first: sshd, its sessions, pipelines a test left.
  pids=$(ns_pids "$ns" "$holder" "$zf" $$)
  if [ -n "$pids" ]; then
    kill -TERM $pids 2>/dev/null
    wait_gone 1500 $pids || kill -KILL $pids 2>/dev/null
  fi
  if is_ours "$zf" "$ns" zfs-fuse; then
    timeout 4 nsenter -t "$holder" -m -- /run/zfs/zfs.real umount -a >/dev/null 2>&1
    kill -TERM "$zf" 2>/dev/null
    wait_gone 3000 "$zf" || kill -KILL "$zf" 2>/dev/null
  fi
  kill -KILL "$holder" 2>/dev/null
  pids=$(ns_pids "$ns" $$)
  [ -z "$pids" ] || kill -KILL $pids 2>/dev/null
  wait_gone 2000 "$holder" $pids
}

cmd_stop() { # DIR
  local d=${1:?state dir}
  [ -f "$d/zbench.state" ] || die 1 "$d is not a bench state dir"
  local reaper
  reaper=$(state_get "$d" REAPER)
  if [ -n "$reaper" ] && [ "$reaper" != $$ ] && alive "$reaper" &&
    tr '\0' ' ' <"/proc/$reaper/cmdline" | grep -q "zbench-reaper"; then
    pkill -TERM -P "$reaper" 2>/dev/null
    kill -TERM "$reaper" 2>/dev/null
  fi
  local a s
  stop_host "$d" app &
  a=$!
  stop_host "$d" srv &
  s=$!
  wait $a $s
  rm -rf -- "$d"
}

cmd_cleanup() {
  local f d owner starter
  for f in "$BASE"/zbench.*/zbench.state; do
    [ -f "$f" ] || continue
    d=${f%/zbench.state}
    owner=$(state_get "$d" OWNER)
    starter=$(state_get "$d" STARTER)
    if [ "$(state_get "$d" STATE)" != up ]; then
      alive "$starter" && continue
    elif [ -n "$owner" ] && alive "$owner"; then
      holder_ok "$(state_get "$d" APP_HOLDER)" && holder_ok "$(state_get "$d" SRV_HOLDER)" && continue
    elif [ -z "$owner" ]; then
      holder_ok "$(state_get "$d" APP_HOLDER)" && holder_ok "$(state_get "$d" SRV_HOLDER)" && continue
    fi
    echo "zbench: removing stale bench $d" >&2
    cmd_stop "$d"
  done
}

# --- start ---------------------------------------------------------------

check_can_run() {
  [ "$(id -u)" = 0 ] || die 2 "end-to-end bench needs root (namespaces, FUSE)"
  [ -c /dev/fuse ] || die 2 "no /dev/fuse on this machine"
  local t
  for t in zfs-fuse zpool zfs unshare nsenter sshd ssh sshpass pv script ssh-keygen perl; do
    command -v "$t" >/dev/null 2>&1 || PATH=$ROOT_PATH command -v "$t" >/dev/null 2>&1 ||
      die 2 "missing tool $t (run scripts/install-deps.sh)"
  done
}

free_port() {
  local used p
  used=$(ss -Htln 2>/dev/null | awk '{print $4}' | sed 's/.*://')
  while :; do
    p=$((20000 + RANDOM % 40000))
    grep -qx "$p" <<<"$used" || { echo "$p"; return; }
  done
}

# Builds one host: namespace, private zfs state, wrapper, daemon, pool.
start_host() { # DIR HOST DATASETS...
  local d=$1 h=$2
  shift 2
  mkdir -p "$d/$h/lib" "$d/$h/mnt" "$d/$h/home"
  unshare -m --propagation private sleep infinity </dev/null >/dev/null 2>&1 &
  local holder=$!
  state_set "$d" "${h^^}_HOLDER" "$holder"
  local i
  for i in $(seq 100); do
    holder_ok "$holder" && break
    sleep 0.02
  done
  holder_ok "$holder" || die 1 "$h: namespace holder did not start"
  truncate -s 768M "$d/$h/pool.img"
  nsenter -t "$holder" -m -- env -i PATH=$ROOT_PATH bash -e -c '
    d=$1; h=$2; shift 2
    mount -t tmpfs -o mode=755,size=16m zbench-run /run/zfs
    mount -t tmpfs -o mode=755,size=1m zbench-lock /run/lock/zfs
    mount --bind "$d/$h/lib" /var/lib/zfs
    touch /run/zfs/zfs.real
    mount --bind /usr/sbin/zfs /run/zfs/zfs.real
    mount --bind "$d/bin/zfs-compat" /usr/sbin/zfs
    zfs-fuse --no-kstat-mount -p "$d/$h/zfs-fuse.pid" </dev/null >>"$d/$h/zfs-fuse.log" 2>&1 ||
      exit 3
    for i in $(seq 200); do
      zpool list >/dev/null 2>&1 && break
      sleep 0.05
    done
    zpool list >/dev/null 2>&1 || exit 3
    zpool create -f -m "$d/$h/mnt/tank" tank "$d/$h/pool.img" >>"$d/$h/zfs-fuse.log" 2>&1
    for ds in "$@"; do zfs create "$ds"; done
  ' zbench-setup "$d" "$h" "$@"
  local rc=$?
  [ $rc = 3 ] && die 3 "$h: zfs-fuse would not start: $(tail -n 3 "$d/$h/zfs-fuse.log" 2>/dev/null)"
  [ $rc = 0 ] || die 1 "$h: pool set-up failed ($rc): $(tail -n 3 "$d/$h/zfs-fuse.log" 2>/dev/null)"
  return 0
}

start_sshd() { # DIR
  local d=$1 s=$1/srv holder pass hash port pid try i
  holder=$(state_get "$d" SRV_HOLDER)
  pass=$(state_get "$d" PASSWORD)
  hash=$(P="$pass" perl -e 'my @c=("a".."z",0..9); my $s=join("",map {$c[rand @c]} 1..16);
                          print crypt($ENV{P}, "\$6\$$s\$")')
  [[ $hash == '$6$'* ]] || die 1 "cannot hash the server password"
  awk -F: -v h="$hash" 'BEGIN { OFS = ":" } $1 == "root" { $2 = h } { print }' /etc/shadow >"$s/shadow"
  chmod 640 "$s/shadow"
  ssh-keygen -q -t ed25519 -N '' -f "$s/ssh_host_ed25519_key" </dev/null || die 1 "ssh-keygen failed"
  mkdir -p /run/sshd && chmod 755 /run/sshd
  nsenter -t "$holder" -m -- mount --bind "$s/shadow" /etc/shadow || die 1 "cannot bind the server shadow file"
  for try in 1 2 3 4 5; do
    port=$(free_port)
    cat >"$s/sshd_config" <<EOF
Port $port
ListenAddress 127.0.0.1
HostKey $s/ssh_host_ed25519_key
PidFile $s/sshd.pid
PermitRootLogin yes
PasswordAuthentication yes
KbdInteractiveAuthentication no
PubkeyAuthentication no
AuthorizedKeysFile none
UsePAM yes
UseDNS no
PrintMotd no
MaxStartups 64:30:128
Subsystem sftp internal-sftp
EOF
    nsenter -t "$holder" -m -- /usr/sbin/sshd -D -f "$s/sshd_config" -E "$s/sshd.log" \
      </dev/null >/dev/null 2>&1 &
    pid=$!
    for i in $(seq 100); do
      alive "$pid" || break
      ss -Htln "sport = :$port" 2>/dev/null | grep -q . && break
      sleep 0.03
    done
    if alive "$pid" && ss -Htln "sport = :$port" | grep -q .; then
      state_set "$d" PORT "$port"
      state_set "$d" SSHD "$pid"
      return 0
    fi
    kill -KILL "$pid" 2>/dev/null
  done
  die 1 "sshd would not start: $(tail -n 3 "$s/sshd.log" 2>/dev/null)"
}

cmd_start() {
  local owner=""
  while [ $# -gt 0 ]; do
    case "$1" in
      --owner) owner=$2; shift 2 ;;
      *) die 1 "start: unknown option $1" ;;
    esac
  done
  check_can_run
  cmd_cleanup
  mkdir -p /run/zfs /run/lock/zfs
  STARTING_DIR=$(mktemp -d "$BASE/zbench.XXXXXX") || die 1 "cannot create a state dir under $BASE"
  local d=$STARTING_DIR
  chmod 755 "$d"
  state_set "$d" STATE starting
  state_set "$d" STARTER $$
  # Whatever stops this start half-way also takes the half-built bench down.
  trap 'rc=$?; [ "$(state_get "$STARTING_DIR" STATE)" = up ] || cmd_stop "$STARTING_DIR" >/dev/null 2>&1; exit $rc' EXIT
  trap 'exit 1' INT TERM HUP
  mkdir -p "$d/bin"
  cp "$HERE/zfs-compat" "$d/bin/zfs-compat"
  chmod 755 "$d/bin/zfs-compat"
  state_set "$d" PASSWORD "zb-$(head -c 12 /dev/urandom | od -An -tx1 | tr -d ' \n')"

  start_host "$d" app tank/home tank/data
  start_host "$d" srv
  start_sshd "$d"

  local port
  port=$(state_get "$d" PORT)
  cat >"$d/app/ssh_config" <<EOF
# The bench's backup server answers on 127.0.0.1:$port.
Host 127.0.0.1 localhost
    Port $port
Host *
    UserKnownHostsFile /dev/null
    GlobalKnownHostsFile /dev/null
    LogLevel ERROR
    SendEnv LANG LC_*
EOF
  nsenter -t "$(state_get "$d" APP_HOLDER)" -m -- mount --bind "$d/app/ssh_config" /etc/ssh/ssh_config ||
    die 1 "cannot bind the appliance ssh_config"

  if [ -n "$owner" ]; then
    setsid bash -c 'exec -a zbench-reaper bash -c "tail --pid=$1 -f /dev/null; exec \"$2\" stop \"$3\"" zbench-reaper "$@"' \
      zbench-reaper "$owner" "$SELF" "$d" </dev/null >/dev/null 2>&1 &
    state_set "$d" REAPER $!
    state_set "$d" OWNER "$owner"
  fi
  state_set "$d" STATE up
  echo "$d"
}

# --- using a bench -------------------------------------------------------

need_up() { # DIR
  [ -f "$1/zbench.state" ] || die 1 "$1 is not a bench state dir"
  [ "$(state_get "$1" STATE)" = up ] || die 1 "bench $1 is not up"
}

cmd_run() { # HOST DIR [-e K=V]... [--] CMD...
  local h=$1 d=$2
  shift 2
  need_up "$d"
  local holder
  holder=$(state_get "$d" "${h^^}_HOLDER")
  holder_ok "$holder" || die 1 "the $h host of $d is gone"
  local envs=()
  while [ $# -gt 0 ]; do
    case "$1" in
      -e) envs+=("$2"); shift 2 ;;
      --) shift; break ;;
      *) break ;;
    esac
  done
  [ $# -gt 0 ] || die 1 "$h: no command"
  # A clean root environment plus what the caller asked for. Variables
  # named in ZBENCH_KEEP pass from our environment, so secrets such as
  # SSHPASS never show on a command line.
  local keep=" ${ZBENCH_KEEP:-} " term=${TERM:-dumb} v
  for v in $(compgen -e); do
    [[ $keep == *" $v "* ]] || unset "$v" 2>/dev/null
  done
  export PATH=$ROOT_PATH HOME=/root USER=root LOGNAME=root SHELL=/bin/bash LANG=C.UTF-8 \
    TERM=$term ZBENCH_DIR=$d
  for v in "${envs[@]}"; do export "$v"; done
  exec nsenter -t "$holder" -m --wd="$d/$h/home" -- "$@"
}

cmd_status() { # DIR
  local d=${1:?state dir}
  need_up "$d"
  holder_ok "$(state_get "$d" APP_HOLDER)" || die 1 "appliance namespace is gone"
  holder_ok "$(state_get "$d" SRV_HOLDER)" || die 1 "server namespace is gone"
  alive "$(state_get "$d" SSHD)" || die 1 "server sshd is gone"
  local h
  for h in app srv; do
    alive "$(cat "$d/$h/zfs-fuse.pid" 2>/dev/null)" || die 1 "$h zfs-fuse is gone"
  done
  echo "up"
}

cmd_throttle() { # DIR RATE|off
  local d=${1:?state dir} rate=${2:?rate or off}
  need_up "$d"
  local f=/proc/$(state_get "$d" SRV_HOLDER)/root/run/zfs/throttle
  if [ "$rate" = off ]; then
    rm -f "$f"
  else
    [[ $rate =~ ^[0-9]+[kKmMgG]?$ ]] || die 1 "throttle: bad rate $rate"
    echo "$rate" >"$f"
  fi
}

cmd_info() { # DIR
  need_up "${1:?state dir}"
  local k
  for k in PORT PASSWORD APP_HOLDER SRV_HOLDER SSHD OWNER REAPER; do
    echo "$k=$(state_get "$1" $k)"
  done
  echo "APP_ZFS_FUSE=$(cat "$1/app/zfs-fuse.pid" 2>/dev/null)"
  echo "SRV_ZFS_FUSE=$(cat "$1/srv/zfs-fuse.pid" 2>/dev/null)"
}

cmd=${1:-}
[ $# -gt 0 ] && shift
case "$cmd" in
  start) cmd_start "$@" ;;
  stop) cmd_stop "$@" ;;
  status) cmd_status "$@" ;;
  info) cmd_info "$@" ;;
  app) cmd_run app "$@" ;;
  srv) cmd_run srv "$@" ;;
  throttle) cmd_throttle "$@" ;;
  cleanup) cmd_cleanup ;;
  *) sed -n '2,/^$/s/^# \{0,1\}//p' "$SELF" >&2; exit 1 ;;
esac
