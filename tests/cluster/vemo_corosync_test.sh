#!/usr/bin/env bash
# The node queries with 'engine corosync' on the three-node bed: on every
# node the configuration library and the client library answer Corosync's
# nodelist and Corosync's own node id; a user Corosync does not permit is
# told how to permit its group, and is let in once that is done; a stopped
# Corosync fails the open, and a restarted one the next query of a handle
# opened before. Usage (as root): vemo_corosync_test.sh NODE_PROBE DIR;
# exits 77, which CTest reports as skipped, without root or Corosync.
set -euo pipefail
bed=$(cd "$(dirname "$0")/../../scripts" && pwd)/cluster_bed.sh
probe=$(realpath "${1:?usage: vemo_corosync_test.sh NODE_PROBE DIR}")

skip() {
  echo "skipped: $*"
  exit 77
}
[[ $(id -u) == 0 ]] || skip "needs root for namespaces"
PATH=$PATH:/usr/sbin:/sbin
for tool in corosync corosync-cmapctl corosync-cfgtool corosync-keygen setpriv unshare nsenter ip; do
  command -v "$tool" >/dev/null || skip "$tool is not installed"
done
export SKGXN_BED=${2:?usage: vemo_corosync_test.sh NODE_PROBE DIR}
trap '"$bed" down' EXIT
trap 'exit 1' INT TERM
failures=0

# expect WHAT GOT WANT: reports a mismatch and counts it.
expect() {
  if [[ $2 == "$3" ]]; then
    echo "ok: $1"
  else
    printf 'FAILED: %s\n  got:  %s\n  want: %s\n' "$1" "$2" "$3"
    failures=$((failures + 1))
  fi
}

in_node() { "$bed" exec "$@"; }
as_nobody() {
  local n=$1
  shift
  in_node "$n" setpriv --reuid=nobody --regid=nogroup --clear-groups "$@"
}

# Corosync's own view of node N, independent of the library: the nodelist
# from its configuration map and its node id from the configuration tool.
corosync_view() {
  local n=$1 list local_id
  list=$(in_node "$n" corosync-cmapctl -b nodelist.node | awk -F'[. ]' '
    $4 == "nodeid" { id[$3] = $NF } $4 == "name" { name[$3] = $NF }
    END { for (i = 0; i in id; i++) printf "%s=%s ", id[i], name[i] }')
  local_id=$(in_node "$n" corosync-cfgtool -s | awk '/Local node ID/ { sub(",", "", $4); print $4 }')
  echo "${list}local $local_id"
}

"$bed" up "$SKGXN_BED"
for n in 1 2 3; do in_node "$n" sh -c 'echo "engine corosync" >/etc/velk/cluster.conf'; done
for n in 1 2 3; do "$bed" wait-quorate "$n"; done

# Every node: both libraries agree with Corosync; the lists and names are
# the same everywhere and only the local number differs.
for n in 1 2 3; do
  view=$(corosync_view "$n")
  expect "node $n: Corosync's view" "$view" "1=node1 2=node2 3=node3 local $n"
  expect "node $n: both libraries answer Corosync's view" \
    "$(in_node "$n" "$probe")" "vemo 0 $view"$'\n'"skgxn $view"
done

# A user Corosync does not permit: refused with the way to permit its group;
# let in once the group is in uidgid.d and Corosync has restarted.
refused="vemo 18 Corosync refuses user nobody (uid $(id -u nobody), group nogroup): permit the \
database's group by putting the three lines 'uidgid {', 'gid: nogroup' and '}' in a file of \
/etc/corosync/uidgid.d/ (or in /etc/corosync/corosync.conf), then restart Corosync"
expect "unpermitted user is refused" "$(as_nobody 2 "$probe" | head -n 1)" "$refused"
unnamed=$(in_node 2 setpriv --reuid=4242 --regid=4242 --clear-groups "$probe" | head -n 1)
expect "a user without a name is named by number" "${unnamed%%:*}" \
  "vemo 18 Corosync refuses user 4242 (uid 4242, group 4242)"
in_node 2 sh -c 'mkdir -p /etc/corosync/uidgid.d && printf "uidgid {\\n  gid: nogroup\\n}\\n" >/etc/corosync/uidgid.d/velk'
"$bed" kill-corosync 2 TERM
"$bed" start-corosync 2
"$bed" wait-quorate 2
expect "permitted group is let in" "$(as_nobody 2 "$probe" | head -n 1)" \
  "vemo 0 1=node1 2=node2 3=node3 local 2"

# A handle opened before Corosync restarts fails its next query; a handle
# opened after works; with Corosync stopped the open fails.
coproc held { in_node 3 "$probe" hold; }
read -r opened <&"${held[0]}"
expect "held handle opens" "$opened" "vemo 0 1=node1 2=node2 3=node3 local 3"
"$bed" kill-corosync 3
expect "stopped Corosync fails the open" "$(in_node 3 "$probe" | head -n 1 | cut -c1-42)" \
  "vemo 17 Corosync is not running on this no"
"$bed" start-corosync 3
"$bed" wait-quorate 3
read -r _ <&"${held[0]}"  # the skgxn line
echo >&"${held[1]}"
read -r again <&"${held[0]}"
expect "held handle after the restart" "$again" "again 19"
expect "open after the restart" "$(in_node 3 "$probe" | head -n 1)" \
  "vemo 0 1=node1 2=node2 3=node3 local 3"

((failures == 0)) || {
  echo "$failures failed"
  exit 1
}
