#!/usr/bin/env bash
# The cluster demo: three nodes on one machine (the test bed of
# scripts/cluster_bed.sh: network namespaces, a Corosync each), velkd with
# `engine corosync` on every node and a database-like process on each that
# joins one group. Node 3 is cut off and comes back; every line carries the
# seconds since the start and, for a node's process, the node's name. The
# bed is torn down on every way out. Usage (as root): run_cluster_demo.sh BUILD_DIR
set -euo pipefail
build=$(cd "${1:?usage: run_cluster_demo.sh BUILD_DIR}" && pwd)
bed=$(cd "$(dirname "$0")/../scripts" && pwd)/cluster_bed.sh
velkd=$build/daemon/velkd
velkctl=$build/tools/velkctl
instance=$build/demo/db_instance
group=DBGRP
PATH=$PATH:/usr/sbin:/sbin
for tool in corosync corosync-keygen unshare nsenter ip; do
  command -v "$tool" >/dev/null || {
    echo "run_cluster_demo.sh: $tool is not installed" >&2
    exit 1
  }
done

# Outside the directories the nodes get private copies of (/run, /var/tmp...).
SKGXN_BED=$(mktemp -d /tmp/velk-cluster-demo.XXXXXX)
export SKGXN_BED
ok=0
readers=()
finish() {
  "$bed" down "$SKGXN_BED" || true
  if ((ok)); then
    rm -rf "$SKGXN_BED"
  else
    echo "the demo stopped early; logs (velkd.log, corosync.log per node) in $SKGXN_BED" >&2
  fi
}
trap finish EXIT
trap 'exit 1' INT TERM HUP

start_us=${EPOCHREALTIME/./}
stamp() {
  local us=$((${EPOCHREALTIME/./} - start_us))
  printf '%3d.%02d' $((us / 1000000)) $((us % 1000000 / 10000))
}
say() { printf '%s \033[1m==> %s\033[0m\n' "$(stamp)" "$*"; }
# show NODE CMD...: an administrator's command on NODE, its output indented.
show() {
  local n=$1
  shift
  printf '%s     node%s# %s\n' "$(stamp)" "$n" "${*/#$build\//}"
  "$bed" exec "$n" "$@" 2>&1 | while IFS= read -r line; do
    # velkctl shows private data in hex; the text follows for the reader.
    if [[ $line =~ \ ([0-9a-f][0-9a-f]){4,}$ ]]; then
      # shellcheck disable=SC2001 # one \x per pair of digits
      printf -v text '%b' "$(sed 's/../\\x&/g' <<<"${line##* }")"
      line+="  \"$text\""
    fi
    printf '             %s\n' "$line"
  done
}

# until_ok SECS CMD...: CMD every 20 ms until it succeeds; fails after SECS.
until_ok() {
  local deadline=$((SECONDS + $1))
  shift
  until "$@" 2>/dev/null; do
    if ((SECONDS >= deadline)); then
      echo "run_cluster_demo.sh: gave up waiting for: $*" >&2
      exit 1
    fi
    sleep 0.02
  done
}

out() { echo "$SKGXN_BED/node$1/instance.out"; }
# seen N TEXT: node N's process has printed a line containing TEXT since it
# was last started or its output last cleared.
seen() { grep -qF -- "$2" "$(out "$1")"; }

# instance N: starts the database-like process on node N; its lines go to the
# screen with the time and the node's name, and to out N for the waits.
instance() {
  local n=$1 file
  file=$(out "$n")
  : >"$file"
  # cluster_bed.sh's own complaints (a "Killed" at teardown) stay off the screen.
  # shellcheck disable=SC2016 # expanded by the node's shell
  "$bed" exec "$n" sh -c 'echo $$ >"$0/instance.pid"; exec "$1" "$2" 2>&1' \
    "$SKGXN_BED/node$n" "$instance" "$group" 2>/dev/null </dev/null | while IFS= read -r line; do
    printf '%s     node%s | %s\n' "$(stamp)" "$n" "$line"
    printf '%s\n' "$line" >>"$file"
  done &
  readers+=($!)
  until_ok 20 grep -q '^joined' "$file"
}

# settled: every node's process has, as its last word, a group of three.
settled() {
  local n
  for n in 1 2 3; do [[ $(tail -n 1 "$(out "$n")") == "members now (3)"* ]] || return 1; done
}

# stop_instances: SIGTERM to every node's process, which leaves the group.
stop_instances() {
  local n
  for n in 1 2 3; do kill -TERM "$(cat "$SKGXN_BED/node$n/instance.pid")" 2>/dev/null || true; done
  wait "${readers[@]}" 2>/dev/null || true
}

say "Three nodes on this machine, each in its own network namespace, joined by a bridge; Corosync on each"
"$bed" up "$SKGXN_BED"
for n in 1 2 3; do "$bed" wait-quorate "$n" >/dev/null; done
say "Corosync: the three nodes see each other and have quorum; velkd starts on each (engine corosync)"
for n in 1 2 3; do "$bed" start-velkd "$n" "$velkd"; done
show 1 "$velkctl" status

say "A database instance starts on each node and joins $group; each prints the members it sees"
for n in 1 2 3; do
  instance "$n"
  until_ok 10 seen 1 "members now ($n)"
done
until_ok 10 seen 3 "members now (3)"
sleep 0.3
show 1 "$velkctl" members "$group"

sleep 1
say "node3 is cut off from the others (its network link goes down)"
for n in 1 2; do : >"$(out "$n")"; done
cut_us=${EPOCHREALTIME/./}
"$bed" cut 3
until_ok 10 seen 1 "members now (2)"
until_ok 10 seen 2 "members now (2)"
seen_ms=$(((${EPOCHREALTIME/./} - cut_us) / 1000))
until_ok 10 seen 3 ABORT
say "node1 and node2 carried on without node3's member ${seen_ms} ms after the cut; node3, alone, has no quorum"
show 1 "$velkctl" members "$group"
say "node3's velkd, without quorum, holds no groups and grants no joins"
show 3 "$velkctl" status
sleep 1

say "The link comes back; node3 rejoins the cluster, and its instance (still asking) joins again"
"$bed" heal 3
until_ok 30 settled
sleep 0.5
until_ok 30 settled
show 1 "$velkctl" members "$group"
say "Every node sees the same three members again; the instances leave and the cluster is torn down"
stop_instances
ok=1
