#!/usr/bin/env bash
# Smoke test of the three-node bed: Corosync's membership and quorum follow a
# start, a cut link, its repair, a crash and a restart. Prints how long each
# step took to settle. Usage (as root): bed_test.sh DIR (state and logs);
# exits 77, which CTest reports as skipped, without root or Corosync.
set -euo pipefail
bed=$(cd "$(dirname "$0")" && pwd)/bed.sh

skip() {
  echo "skipped: $*"
  exit 77
}
[[ $(id -u) == 0 ]] || skip "needs root for namespaces"
PATH=$PATH:/usr/sbin:/sbin
for tool in corosync corosync-quorumtool corosync-keygen unshare nsenter ip stdbuf; do
  command -v "$tool" >/dev/null || skip "$tool is not installed"
done
export SKGXN_BED=${1:?usage: bed_test.sh DIR}
waits=()
# Waits still running when one fails are stopped before the bed goes.
trap 'kill "${waits[@]}" 2>/dev/null || true; "$bed" down' EXIT
trap 'exit 1' INT TERM

# A step, the node it acts on, then what nodes 1, 2 and 3 must report after
# it: their membership's size and Q (quorate) or N (not), or - where that
# node's Corosync is down.
steps=(
  "up             -  3Q 3Q 3Q"
  "cut            3  2Q 2Q 1N"
  "heal           3  3Q 3Q 3Q"
  "kill-corosync  2  2Q -  2Q"
  "start-corosync 2  3Q 3Q 3Q"
)

since() {
  local us=$((${EPOCHREALTIME/./} - $1))
  printf '%d.%02d s' $((us / 1000000)) $((us % 1000000 / 10000))
}

for step in "${steps[@]}"; do
  read -r action node views <<<"$step"
  read -r -a views <<<"$views"
  start=${EPOCHREALTIME/./}
  if [[ $action == up ]]; then "$bed" up "$SKGXN_BED"; else "$bed" "$action" "$node"; fi
  # Every node is watched at once, so the time is the last one's.
  waits=()
  for n in 1 2 3; do
    view=${views[n - 1]}
    [[ $view == - ]] || {
      "$bed" wait-members "$n" "${view%[QN]}" &
      waits+=($!)
    }
  done
  for w in "${waits[@]}"; do wait "$w"; done
  echo "$action $node: settled in $(since "$start")"
  for n in 1 2 3; do
    case ${views[n - 1]} in
      *Q) "$bed" wait-quorate "$n" ;;
      *N) "$bed" wait-inquorate "$n" ;;
    esac
  done
done

# What the tool itself adds to each figure above.
start=${EPOCHREALTIME/./}
"$bed" wait-quorate 1
echo "a wait already met returns in $(since "$start")"
