#!/usr/bin/env bash
# A three-node Corosync cluster on one machine, for the cluster tests, the demo
# and the benchmarks. Each node is a network namespace plus a private mount
# namespace with its own /run, /var/tmp, /dev/shm, /var/cluster, /etc/velk,
# /etc/corosync and /var/lib/corosync; the nodes meet on a bridge that lives in
# a network namespace of the bed's own, so no address, route or packet ever
# reaches the host's network. Namespaces are held open by one sleeping process
# each (no `ip netns`, which would write under the host's /run) and entered
# with nsenter. Usage (as root):
#   cluster_bed.sh up DIR                  start the bed, its state and logs in DIR,
#                                          and a Corosync on every node
#   cluster_bed.sh down [DIR]              kill every process in the bed's namespaces
# The other commands find the bed through SKGXN_BED=DIR:
#   cluster_bed.sh exec N CMD...           run CMD in node N's network and mount namespaces
#   cluster_bed.sh cut N | heal N          take node N's link to the bridge down / up
#   cluster_bed.sh kill-corosync N [SIG]   send SIG (default KILL) to node N's Corosync
#   cluster_bed.sh start-corosync N        start node N's Corosync again
#   cluster_bed.sh start-velkd N VELKD [SECS]
#                                          start VELKD -f on Corosync on node N (log
#                                          and pid in DIR/nodeN/velkd.*) and wait
#                                          until it takes registrations
#   cluster_bed.sh wait-quorate N [SECS]   wait until node N's Corosync has quorum
#   cluster_bed.sh wait-inquorate N [SECS] wait until it has none
#   cluster_bed.sh wait-members N COUNT [SECS]
#                                          wait until node N's membership has COUNT nodes
# Corosync logs go to DIR/nodeN/corosync.log. A wait follows that log, where
# the quorum service records every membership and every change of quorum,
# then asks Corosync once to confirm; one that runs out of time (30 s unless
# told), or finds node N's Corosync gone, prints its state and log tail and
# exits 1.
set -euo pipefail
# Waits count the log's bytes through the length of each line.
export LC_ALL=C
# Corosync and ip live in sbin, which a root shell's PATH may lack.
PATH=$PATH:/usr/sbin:/sbin
trap 'exit 1' INT TERM HUP

readonly nodes=3
readonly subnet=192.168.77
# Seconds a wait gives up after unless told otherwise.
readonly default_wait=30
# Directories every node gets its own empty tmpfs over; /run covers /var/run
# where that is the usual symlink.
readonly private_dirs=(/run /var/tmp /dev/shm /var/cluster /etc/velk /etc/corosync /var/lib/corosync)

die() {
  echo "cluster_bed.sh: $*" >&2
  exit 1
}

usage() {
  awk 'NR > 1 && !/^#/ {exit} NR > 1 {sub(/^# ?/, ""); print}' "$0" >&2
  exit 2
}

# --- state in DIR ----------------------------------------------------------
# DIR/outer.pid             holder of the bridge's network and the outer mounts
# DIR/nodeN/holder.pid      holder of node N's namespaces
# DIR/nodeN/corosync.pid    node N's Corosync, while started by this script
# DIR/nodeN/corosync.from   where its part of DIR/nodeN/corosync.log begins
# DIR/namespaces            every namespace of the bed, as readlink shows it

bed_dir() {
  [[ -n ${SKGXN_BED:-} ]] || die "set SKGXN_BED to the directory given to 'cluster_bed.sh up'"
  [[ -f $SKGXN_BED/namespaces ]] || die "no bed is up in $SKGXN_BED"
  echo "$SKGXN_BED"
}

node_arg() {
  if ! [[ ${1:-} =~ ^[1-9][0-9]*$ ]] || (($1 > nodes)); then
    die "no node '${1:-}' (nodes are 1..$nodes)"
  fi
}

holder() { cat "$dir/node$1/holder.pid"; }
outer() { cat "$dir/outer.pid"; }

in_node() {
  local n=$1
  shift
  nsenter -t "$(holder "$n")" -n -m --wd=. -- "$@"
}

in_outer() { nsenter -t "$(outer)" -n -m -- "$@"; }

# alive PID: the process exists and has not exited (a zombie holds no
# namespaces and will never answer).
alive() {
  local stat
  read -r stat 2>/dev/null <"/proc/$1/stat" || return 1
  stat=${stat##*) }
  [[ ${stat%% *} != Z ]]
}

# --- start-up --------------------------------------------------------------

# start_holder READY_FIFO LOG SCRIPT [PREFIX...]: runs SCRIPT with sh in fresh
# network and mount namespaces, made from those the command PREFIX enters (if
# given), and waits until SCRIPT has written its pid to the FIFO; prints that
# pid.
start_holder() {
  local fifo=$1 log=$2 script=$3 pid got=""
  shift 3
  "$@" unshare --net --mount --propagation private sh -c "$script" holder "$fifo" \
    </dev/null >>"$log" 2>&1 &
  pid=$!
  # Opened read-write so the open never blocks; a holder that fails before it
  # writes leaves the read to time out instead of hanging the bed.
  read -r -t 10 got <>"$fifo" || true
  if [[ $got != "$pid" ]]; then
    kill -KILL "$pid" 2>/dev/null || true
    die "a namespace holder did not start; see $log"
  fi
  echo "$pid"
}

# record_namespaces PID: appends PID's namespaces to DIR/namespaces, refusing
# any that is the host's own, since teardown kills whatever is inside them.
record_namespaces() {
  local pid=$1 ns id
  for ns in net mnt; do
    id=$(readlink "/proc/$pid/ns/$ns")
    [[ $id != "$(readlink /proc/$$/ns/$ns)" ]] || die "holder $pid shares the host's $ns namespace"
    echo "$id" >>"$dir/namespaces"
  done
}

# shellcheck disable=SC2016 # expanded by the holder's shell
readonly outer_script='set -e
mount -t tmpfs -o mode=0700 tmpfs /run
mkdir /run/bed
ip link add br0 type bridge
ip link set br0 up
echo $$ >"$1"
exec sleep infinity'

node_script() {
  local mounts="" d
  for d in "${private_dirs[@]}"; do
    case $d in
      /var/tmp | /dev/shm) mounts+="mount -t tmpfs -o mode=1777 tmpfs $d"$'\n' ;;
      *) mounts+="mount -t tmpfs -o mode=0755 tmpfs $d"$'\n' ;;
    esac
  done
  echo "set -e
${mounts}[ -L /var/run ] || mount -t tmpfs -o mode=0755 tmpfs /var/run
mkdir -p /var/cluster/velk /run/velkd
ip link set lo up
echo \$\$ >\"\$1\"
exec sleep infinity"
}

corosync_conf() {
  local n
  cat <<EOF
totem {
  version: 2
  cluster_name: velkbed
  transport: knet
  token: 300
  # Without this, three nodes wait 650 ms more than the token says.
  token_coefficient: 0
  crypto_cipher: aes256
  crypto_hash: sha256
  interface {
    linknumber: 0
    # Left to follow from token 300, the link times out on an idle bed and
    # the ring re-forms; these count only here, not at the top of totem.
    knet_ping_interval: 200
    knet_ping_timeout: 1000
  }
}
nodelist {
EOF
  for ((n = 1; n <= nodes; n++)); do
    printf '  node {\n    ring0_addr: %s.%d\n    name: node%d\n    nodeid: %d\n  }\n' \
      "$subnet" "$n" "$n" "$n"
  done
  cat <<EOF
}
quorum {
  provider: corosync_votequorum
}
logging {
  to_stderr: yes
  to_syslog: no
  to_logfile: no
  timestamp: hires
}
EOF
}

start_node() {
  local n=$1 pid
  mkdir -p "$dir/node$n"
  pid=$(start_holder "$dir/ready" "$dir/node$n/holder.log" "$(node_script)" \
    nsenter -t "$(outer)" -n -m --)
  echo "$pid" >"$dir/node$n/holder.pid"
  record_namespaces "$pid"
  in_outer ip link add "veth$n" type veth peer name eth0 netns "$pid"
  in_outer ip link set "veth$n" master br0 up
  in_node "$n" ip addr add "$subnet.$n/24" dev eth0
  in_node "$n" ip link set eth0 up
  in_node "$n" sh -c 'cat >/etc/corosync/corosync.conf' <"$dir/corosync.conf"
  # The key goes from the outer /run straight into the node's tmpfs, never to disk.
  in_outer cat /run/bed/authkey | in_node "$n" sh -c 'umask 077; cat >/etc/corosync/authkey'
}

# corosync_pid N: prints the pid of node N's Corosync while it runs; fails
# otherwise, also when its old pid now names another process.
corosync_pid() {
  local pid comm
  pid=$(cat "$dir/node$1/corosync.pid" 2>/dev/null) && alive "$pid" &&
    read -r comm 2>/dev/null <"/proc/$pid/comm" && [[ $comm == corosync ]] && echo "$pid"
}

start_corosync() {
  local n=$1 pid
  ! corosync_pid "$n" >/dev/null || die "node $n's Corosync is already running"
  # Waits read this incarnation's log from here on.
  : >>"$dir/node$n/corosync.log"
  stat -c %s "$dir/node$n/corosync.log" >"$dir/node$n/corosync.from"
  # nsenter enters these namespaces without forking, so $! is Corosync itself.
  nsenter -t "$(holder "$n")" -n -m -- corosync -f -c /etc/corosync/corosync.conf \
    </dev/null >>"$dir/node$n/corosync.log" 2>&1 &
  pid=$!
  echo "$pid" >"$dir/node$n/corosync.pid"
  # Until the shell's child has become nsenter and nsenter has become
  # Corosync, the pid names another program; a wait started in that window
  # would take Corosync for gone.
  for _ in {1..200}; do
    corosync_pid "$n" >/dev/null && return 0
    alive "$pid" || die "node $n's Corosync exited at start: $(tail -n 5 "$dir/node$n/corosync.log")"
    sleep 0.01
  done
  die "node $n's Corosync did not start within 2 s"
}

cmd_up() {
  local n d
  [[ -n ${1:-} ]] || usage
  dir=$(realpath -m "$1")
  for d in "${private_dirs[@]}" /var/run; do
    [[ $dir/ != "$d"/* ]] || die "$dir is hidden inside the nodes (under $d); choose another"
  done
  [[ $(id -u) == 0 ]] || die "needs root for namespaces"
  mkdir -p "$dir"
  [[ ! -f $dir/namespaces ]] || teardown
  rm -rf "${dir:?}"/node* "$dir/ready" "$dir/outer.pid"
  # The mount points must exist; on a host without the daemon installed they
  # are created empty, as the namespace runner of the other tests does.
  mkdir -p /var/cluster /etc/velk
  mkfifo "$dir/ready"
  : >"$dir/namespaces"
  trap teardown EXIT
  start_holder "$dir/ready" "$dir/outer.log" "$outer_script" >"$dir/outer.pid"
  record_namespaces "$(outer)"
  in_outer corosync-keygen -k /run/bed/authkey >/dev/null
  corosync_conf >"$dir/corosync.conf"
  for ((n = 1; n <= nodes; n++)); do start_node "$n"; done
  for ((n = 1; n <= nodes; n++)); do start_corosync "$n"; done
  trap - EXIT
}

# --- teardown --------------------------------------------------------------

# Kills every process inside the bed's namespaces (Corosync, the holders and
# anything a test started there), then waits for the holders to go, so the
# namespaces, the veths, the bridge and the tmpfs mounts go with them.
teardown() {
  local -A bed_ns=()
  local id link p pids
  [[ -f $dir/namespaces ]] || return 0
  while read -r id; do
    [[ -n $id && $id != "$(readlink /proc/$$/ns/net)" && $id != "$(readlink /proc/$$/ns/mnt)" ]] &&
      bed_ns[$id]=1
  done <"$dir/namespaces"
  # Again until none is left: a process caught forking may leave a child.
  for _ in {1..10}; do
    pids=()
    while read -r id link; do
      if [[ -n ${bed_ns[$id]:-} ]]; then
        p=${link#/proc/}
        p=${p%%/*}
        alive "$p" && kill -KILL "$p" 2>/dev/null && pids+=("$p")
      fi
    done < <(find /proc/[0-9]*/ns/net /proc/[0-9]*/ns/mnt -maxdepth 0 -printf '%l %p\n' 2>/dev/null)
    ((${#pids[@]})) || break
    for p in "${pids[@]}"; do
      for _ in {1..100}; do
        alive "$p" || break
        sleep 0.05
      done
    done
  done
  rm -f "$dir/namespaces" "$dir/ready" "$dir/outer.pid" "$dir"/node*/holder.pid "$dir"/node*/corosync.pid \
    "$dir"/node*/corosync.from
}

cmd_down() {
  dir=${1:-${SKGXN_BED:-}}
  [[ -n $dir ]] || usage
  [[ -d $dir ]] || return 0
  teardown
}

# --- links and Corosync ----------------------------------------------------

cmd_link() {
  local state=$1 n=$2
  node_arg "$n"
  # Cut at the bridge: the node keeps its address and sees no error of its
  # own, as when a switch port or a cable fails.
  in_outer ip link set "veth$n" "$state"
}

cmd_kill_corosync() {
  local n=$1 sig=${2:-KILL} pid
  node_arg "$n"
  pid=$(corosync_pid "$n") || die "node $n's Corosync is not running"
  kill -"$sig" "$pid"
  # Wait for the exit so the next start finds its lock free.
  for _ in {1..200}; do
    alive "$pid" || return 0
    sleep 0.05
  done
  die "node $n's Corosync (pid $pid) did not exit on SIG$sig"
}

# A killed velkd leaves its marker behind: it goes first, so that the wait
# sees the new daemon's.
cmd_start_velkd() {
  local n=$1 velkd=$2 secs=${3:-$default_wait} pid deadline why
  node_arg "$n"
  [[ -x $velkd ]] || die "no velkd at '$velkd'"
  [[ $secs =~ ^[0-9]+$ ]] || die "bad timeout '$secs'"
  # shellcheck disable=SC2016 # expanded by the node's shell, from its arguments
  in_node "$n" sh -c 'echo "engine corosync" >/etc/velk/cluster.conf
    rm -f /var/run/.skgxn_registration
    setsid "$1" -f >>"$2/velkd.log" 2>&1 </dev/null &
    echo $! >"$2/velkd.pid"' sh "$velkd" "$dir/node$n"
  pid=$(cat "$dir/node$n/velkd.pid")
  deadline=$((SECONDS + secs))
  until in_node "$n" test -p /var/run/.skgxn_registration; do
    if ! alive "$pid"; then
      why="exited"
    elif ((SECONDS >= deadline)); then
      why="takes no registrations after $secs s"
    else
      sleep 0.02
      continue
    fi
    die "velkd on node $n $why; its log ends:
$(tail -n 20 "$dir/node$n/velkd.log")"
  done
}

# --- waits -----------------------------------------------------------------
# A wait reads node N's log, where the quorum service records every
# membership and every gain or loss of quorum, and asks Corosync itself only
# once, to confirm. Each client connection costs Corosync's main loop about
# 20 ms on a small machine; waits that kept asking starved the 300 ms token
# and the ring they watched re-formed again and again.

# follow N QUORATE COUNT SECS PID: reads the log of node N's Corosync (PID)
# from its start, then as it grows, until the state it records, once the
# log as it stood at the call has been read, has Nodes: COUNT and
# Quorate: QUORATE (empty matches anything). Returns 1 when time is up or
# Corosync exits first.
follow() {
  local n=$1 want_quorate=$2 want_count=$3 secs=$4 pid=$5
  local log=$dir/node$n/corosync.log from size line count="" quorate=No fd reader rc=1
  local -i read_to
  from=$(cat "$dir/node$n/corosync.from")
  size=$(stat -c %s "$log")
  read_to=$from
  exec {fd}< <(exec timeout "$secs" tail -c +$((from + 1)) -F --pid="$pid" "$log" 2>/dev/null)
  reader=$!
  while IFS= read -r line <&"$fd"; do
    read_to+=${#line}+1
    case $line in
      *"[QUORUM] Members["*)
        count=${line#*Members[}
        count=${count%%]*}
        ;;
      *"within the primary component"*) quorate=Yes ;;
      *"within the non-primary component"*) quorate=No ;;
    esac
    if ((read_to >= size)) && [[ -n $count ]] && matches "$want_quorate" "$want_count" "$quorate" "$count"; then
      rc=0
      break
    fi
  done
  kill "$reader" 2>/dev/null || true
  exec {fd}<&-
  return "$rc"
}

# matches WANT_QUORATE WANT_COUNT QUORATE COUNT
matches() { [[ (-z $1 || $1 == "$3") && (-z $2 || $2 == "$4") ]]; }

# quorum_state N: node N's Corosync's own answer, as "QUORATE COUNT" (the
# tool's status, 2 when not quorate, says nothing more).
quorum_state() {
  { in_node "$1" corosync-quorumtool -s -p 2>/dev/null || true; } |
    awk -F': *' '$1 == "Quorate" {q = $2} $1 == "Nodes" {c = $2} END {print q, c}'
}

# wait_for N QUORATE COUNT SECS DESCRIPTION: follow, then confirm with
# Corosync; exits 1 with node N's state and log tail on failure.
wait_for() {
  local n=$1 quorate=$2 count=$3 secs=$4 what=$5 pid answer
  node_arg "$n"
  [[ $secs =~ ^[0-9]+$ ]] || die "bad timeout '$secs'"
  log_start=$(stat -c %s "$dir/node$n/corosync.log" 2>/dev/null || echo 0)
  pid=$(corosync_pid "$n") || fail_wait "$n" "node $n's Corosync is not running"
  if ! follow "$n" "$quorate" "$count" "$secs" "$pid"; then
    alive "$pid" || fail_wait "$n" "node $n's Corosync has exited"
    fail_wait "$n" "node $n is not $what after $secs s"
  fi
  # Corosync's answer may lag its log by a moment: ask a few times.
  for _ in 1 2 3 4 5; do
    answer=$(quorum_state "$n")
    # shellcheck disable=SC2086 # two words
    matches "$quorate" "$count" $answer && return 0
    sleep 0.2
  done
  fail_wait "$n" "node $n's log shows it $what but Corosync answers '$answer' (quorate, nodes)"
}

# fail_wait N MESSAGE: exits 1 after one write of MESSAGE, node N's quorum
# status and its log's tail, so the reports of waits running side by side
# do not interleave. log_start is the log's size when the wait began.
fail_wait() {
  local log=$dir/node$1/corosync.log report stalls
  report="cluster_bed.sh: $2; it reports:
$(in_node "$1" corosync-quorumtool -s 2>&1 || true)"
  stalls=$(tail -c +$((log_start + 1)) "$log" | grep -c 'Process pause detected' || true)
  ((stalls == 0)) || report+="
while it waited, Corosync saw itself paused $stalls times: on a machine too busy
for a 300 ms token the ring re-forms, which is no fault of the code under test"
  report+="
its log ends:
$(tail -n 20 "$log")"
  printf '%s\n' "$report" >&2
  exit 1
}

# --- commands --------------------------------------------------------------

cmd=${1:-}
(($#)) && shift
case $cmd in
  up) cmd_up "$@" ;;
  down) cmd_down "$@" ;;
  exec)
    dir=$(bed_dir)
    node_arg "${1:-}"
    (($# > 1)) || usage
    n=$1
    shift
    in_node "$n" "$@"
    ;;
  cut | heal)
    dir=$(bed_dir)
    (($# == 1)) || usage
    if [[ $cmd == cut ]]; then cmd_link down "$1"; else cmd_link up "$1"; fi
    ;;
  kill-corosync)
    dir=$(bed_dir)
    (($# >= 1 && $# <= 2)) || usage
    cmd_kill_corosync "$@"
    ;;
  start-corosync)
    dir=$(bed_dir)
    (($# == 1)) || usage
    node_arg "$1"
    start_corosync "$1"
    ;;
  start-velkd)
    dir=$(bed_dir)
    (($# >= 2 && $# <= 3)) || usage
    cmd_start_velkd "$@"
    ;;
  wait-quorate | wait-inquorate)
    dir=$(bed_dir)
    (($# >= 1 && $# <= 2)) || usage
    if [[ $cmd == wait-quorate ]]; then want=Yes; else want=No; fi
    wait_for "$1" "$want" "" "${2:-$default_wait}" "${cmd#wait-}"
    ;;
  wait-members)
    dir=$(bed_dir)
    (($# >= 2 && $# <= 3)) || usage
    [[ $2 =~ ^[0-9]+$ ]] || usage
    wait_for "$1" "" "$2" "${3:-$default_wait}" "in a membership of $2"
    ;;
  *) usage ;;
esac
