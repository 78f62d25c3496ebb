#!/usr/bin/env bash
# Cross-node figures on the three-node bed (scripts/cluster_bed.sh), with velkd
# on engine corosync on every node and members that are real processes using
# libskgxn2.so.1, each beside Corosync's own process groups on the same bed:
#   join   a member joins on node 1 until node 2's member sees it, against
#          cpg_join on node 1 until node 2's configuration change;
#   kill   a member SIGKILLed on node 1 until node 2's member sees it gone,
#          against a process of a Corosync group killed the same way;
#   cut    node 3 cut off (from its loss of carrier) until the members on
#          nodes 1 and 2 see it gone, and Corosync's own change there.
# Every stamp is CLOCK_MONOTONIC of this one machine, taken by the probes
# (bench/cluster_probe.c); a watcher reports its stamps through a FIFO in the
# bed's directory, which every node sees. Usage (as root):
#   cluster_bench.sh BUILD_DIR     (a build with -DSKGXN_BENCH=ON and libcpg)
# Rounds: SKGXN_CLUSTER_JOINS (40), SKGXN_CLUSTER_KILLS (20),
# SKGXN_CLUSTER_CUTS (5). Prints each figure, then summary lines in
# run_benchmarks.sh's form. Without root, Corosync or the probe it says why
# and exits 0; it exits 1 when the bed or a probe fails.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
bed=$here/../scripts/cluster_bed.sh
build=$(cd "${1:?usage: cluster_bench.sh BUILD_DIR}" && pwd)
probe=$build/bench/cluster_probe
velkd=$build/daemon/velkd
export SKGXN_BED=$build/bench/cluster_bed
joins=${SKGXN_CLUSTER_JOINS:-40}
kills=${SKGXN_CLUSTER_KILLS:-20}
cuts=${SKGXN_CLUSTER_CUTS:-5}
# The join and kill rounds of ours and Corosync's take turns in this many
# slices, so that both see the same load.
readonly slices=5
readonly kill_goal_ms=5
readonly cut_goal_ms=1000

skip() {
  echo "skipped: $*"
  exit 0
}
[[ $(id -u) == 0 ]] || skip "needs root for the bed's namespaces"
PATH=$PATH:/usr/sbin:/sbin
for tool in corosync corosync-keygen unshare nsenter ip; do
  command -v "$tool" >/dev/null || skip "$tool is not installed"
done
[[ -x $probe ]] || skip "cluster_probe is not built (libcpg not found by pkg-config)"
[[ -x $velkd ]] || skip "$velkd is missing"

trap '"$bed" down' EXIT
trap 'exit 1' INT TERM

fail() {
  echo "cluster_bench.sh: $*" >&2
  for n in 1 2 3; do
    echo "--- node $n velkd and probe logs" >&2
    tail -n 10 "$SKGXN_BED/node$n/velkd.log" "$SKGXN_BED/node$n/probe.log" >&2 || true
  done
  exit 1
}

start_velkd() { "$bed" start-velkd "$1" "$velkd" || fail "velkd $1 not ready"; }

# watch N API GROUP TAG FIFO: a watcher on node N, killed by stop_watchers.
watch() {
  "$bed" exec "$1" sh -c "setsid $probe watch $2 $3 $4 $5 >>$SKGXN_BED/node$1/probe.log 2>&1 </dev/null &
    echo \$! >>$SKGXN_BED/watchers.pids"
}

stop_watchers() {
  local pid
  [[ -f $SKGXN_BED/watchers.pids ]] || return 0
  while read -r pid; do kill -KILL "$pid" 2>/dev/null || true; done <"$SKGXN_BED/watchers.pids"
  rm -f "$SKGXN_BED/watchers.pids"
}

# Reports read by this script: the latest count and stamp of every tag.
declare -A count=() stamp=()

# await FD PREFIX WANT TAG...: reads FD's reports until each TAG (after
# PREFIX) has reported WANT members; reports of other tags are kept too.
await() {
  local fd=$1 prefix=$2 want=$3 tag n ns t
  shift 3
  while :; do
    for t in "$@"; do [[ ${count[$prefix$t]:-} == "$want" ]] || break; done
    [[ ${count[$prefix$t]:-} == "$want" ]] && return 0
    read -r -t 30 -u "$fd" tag n ns || fail "no report of $want members from $* within 30 s"
    count[$tag]=$n
    stamp[$tag]=$ns
  done
}

# stats FILE: "MEDIAN P90" of FILE's microsecond samples, in milliseconds,
# each the nearest-rank value.
stats() {
  sort -n "$1" | awk '{v[NR] = $1} END {
    m = int((NR + 1) / 2); p = int((9 * NR + 9) / 10); if (p > NR) p = NR
    printf "%.2f %.2f\n", v[m] / 1000, v[p] / 1000}'
}

# show LABEL FILE: prints one figure's line; sets med and p90.
show() {
  read -r med p90 < <(stats "$2")
  printf '%-44s median %8s ms   p90 %8s ms   (%d samples)\n' "$1" "$med" "$p90" "$(wc -l <"$2")"
}

ratio() { awk -v a="$1" -v b="$2" 'BEGIN {printf "%.2f", (b > 0 ? a / b : 0)}'; }
verdict() { awk -v v="$1" -v g="$2" 'BEGIN {print (v <= g ? "ok  " : "MISS")}'; }

# The token settings measured must be those the packages ship.
check_token() {
  local example=$build/corosync.conf.example pattern='^ *token(_coefficient)?:'
  [[ -f $example ]] || return 0
  if [[ $(grep -E "$pattern" "$example" | tr -d ' ' | sort) != \
    "$(grep -E "$pattern" "$SKGXN_BED/corosync.conf" | tr -d ' ' | sort)" ]]; then
    echo "info: the bed's token settings differ from the shipped example's"
  fi
}

samples=$SKGXN_BED/samples
"$bed" up "$SKGXN_BED"
for n in 1 2 3; do "$bed" wait-quorate "$n" >/dev/null; done
for n in 1 2 3; do start_velkd "$n"; done
check_token
rm -rf "$samples" "$SKGXN_BED"/*.fifo "$SKGXN_BED/watchers.pids"
mkdir -p "$samples"
for f in skgxn cpg cut; do mkfifo "$SKGXN_BED/$f.fifo"; done
# Held open read-write for the whole run: no open ever waits, and this
# script reads the watchers' first reports through them.
exec {skgxn_fd}<>"$SKGXN_BED/skgxn.fifo" {cpg_fd}<>"$SKGXN_BED/cpg.fifo" {cut_fd}<>"$SKGXN_BED/cut.fifo"

# --- joins and kills on node 1, watched from node 2 -------------------------
echo "==> cluster: $joins joins and $kills kills on node 1, seen on node 2"
watch 2 skgxn J skgxn "$SKGXN_BED/skgxn.fifo"
watch 2 cpg J cpg "$SKGXN_BED/cpg.fifo"
await "$skgxn_fd" "" 1 skgxn
await "$cpg_fd" "" 1 cpg
for ((s = 0; s < slices; s++)); do
  for api in skgxn cpg; do
    "$bed" exec 1 "$probe" join $api J $((joins / slices)) "$SKGXN_BED/$api.fifo" \
      >>"$samples/join.$api" || fail "join rounds ($api) failed"
    "$bed" exec 1 "$probe" kill $api J $((kills / slices)) "$SKGXN_BED/$api.fifo" \
      >>"$samples/kill.$api" || fail "kill rounds ($api) failed"
  done
done
stop_watchers
show "join, velkd" "$samples/join.skgxn"
join_med=$med join_p90=$p90
show "join, Corosync cpg_join" "$samples/join.cpg"
join_cpg_med=$med join_cpg_p90=$p90
show "SIGKILL, velkd" "$samples/kill.skgxn"
kill_med=$med kill_p90=$p90
show "SIGKILL, Corosync process group" "$samples/kill.cpg"
kill_cpg_med=$med kill_cpg_p90=$p90

# --- node 3 cut off, watched from nodes 1 and 2 -----------------------------
echo "==> cluster: node 3 cut off $cuts times, seen on nodes 1 and 2"
for ((r = 1; r <= cuts; r++)); do
  for n in 1 2 3; do
    watch $n skgxn C$r "r$r-skgxn$n" "$SKGXN_BED/cut.fifo"
    watch $n cpg C$r "r$r-cpg$n" "$SKGXN_BED/cut.fifo"
  done
  # Timed from node 3's loss of carrier, not from the command: its own
  # start-up and exit take tens to hundreds of ms on a busy machine.
  "$bed" exec 3 sh -c "setsid $probe link eth0 r$r-link $SKGXN_BED/cut.fifo \
    >>$SKGXN_BED/node3/probe.log 2>&1 </dev/null & echo \$! >>$SKGXN_BED/watchers.pids"
  await "$cut_fd" "r$r-" 1 link
  await "$cut_fd" "r$r-" 3 skgxn1 skgxn2 skgxn3 cpg1 cpg2 cpg3
  "$bed" cut 3
  await "$cut_fd" "r$r-" 0 link
  start=${stamp[r$r-link]}
  await "$cut_fd" "r$r-" 2 skgxn1 skgxn2 cpg1 cpg2
  for api in skgxn cpg; do
    # The later of the two survivors' stamps: when both have seen it.
    a=${stamp[r$r-${api}1]} b=${stamp[r$r-${api}2]}
    echo $((((a > b ? a : b) - start) / 1000)) >>"$samples/cut.$api"
  done
  "$bed" heal 3
  for n in 1 2 3; do "$bed" wait-members $n 3 >/dev/null; done
  "$bed" wait-quorate 3 >/dev/null
  stop_watchers
done
show "cut, velkd members on both survivors" "$samples/cut.skgxn"
cut_med=$med cut_p90=$p90
show "cut, Corosync confchg on both survivors" "$samples/cut.cpg"
cut_cpg_med=$med

echo
printf 'info: cross-node join until the other node'\''s member sees it, median: %s ms (p90 %s ms; Corosync cpg_join until the confchg: %s ms, p90 %s ms; ratio %sx)\n' \
  "$join_med" "$join_p90" "$join_cpg_med" "$join_cpg_p90" "$(ratio "$join_med" "$join_cpg_med")"
printf 'limit: %s member SIGKILLed until the other node'\''s member sees it, median: %s ms (p90 %s ms; Corosync: %s ms, p90 %s ms; ratio %sx; target <= %d ms)\n' \
  "$(verdict "$kill_med" $kill_goal_ms)" "$kill_med" "$kill_p90" "$kill_cpg_med" "$kill_cpg_p90" \
  "$(ratio "$kill_med" "$kill_cpg_med")" $kill_goal_ms
printf 'limit: %s node cut off until the survivors'\'' members see it, median: %s ms (p90 %s ms; Corosync confchg: %s ms; target <= %d ms)\n' \
  "$(verdict "$cut_med" $cut_goal_ms)" "$cut_med" "$cut_p90" "$cut_cpg_med" $cut_goal_ms
