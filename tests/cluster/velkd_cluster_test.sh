#!/usr/bin/env bash
# velkd's cluster engine on the three-node bed: one velkd per node over
# Corosync, members that are real processes using the client library. Each
# case acts on the bed and then waits, with a deadline, for what every
# member and daemon must report. Usage (as root):
#   velkd_cluster_test.sh VELKD MEMBER_PROBE ROGUE_PEER VELKCTL DIR
# exits 77, which CTest reports as skipped, without root or Corosync.
set -euo pipefail
bed=$(cd "$(dirname "$0")/../../scripts" && pwd)/cluster_bed.sh
velkd=${1:?usage}
probe=${2:?usage}
rogue=${3:?usage}
velkctl=${4:?usage}
export SKGXN_BED=${5:?usage}

skip() {
  echo "skipped: $*"
  exit 77
}
[[ $(id -u) == 0 ]] || skip "needs root for namespaces"
PATH=$PATH:/usr/sbin:/sbin
for tool in corosync corosync-keygen unshare nsenter ip; do
  command -v "$tool" >/dev/null || skip "$tool is not installed"
done
trap '"$bed" down' EXIT
trap 'exit 1' INT TERM

fail() {
  echo "FAILED: $*"
  for n in 1 2 3; do
    echo "--- node $n velkd log"
    tail -n 20 "$SKGXN_BED/node$n/velkd.log" || true
  done
  exit 1
}

# until SECS CMD...: runs CMD every 20 ms until it succeeds; false after SECS.
until_ok() {
  local deadline=$((SECONDS + $1))
  shift
  until "$@" 2>/dev/null; do
    ((SECONDS < deadline)) || return 1
    sleep 0.02
  done
}

out() { echo "$SKGXN_BED/node$1/$2.out"; }
has() { grep -qx -- "$2" "$1"; }
# lines FILE PREFIX: the lines of FILE starting with PREFIX, space-separated.
lines() { grep "^$2" "$1" | tr '\n' ' ' | sed 's/ $//'; }

start_velkd() { "$bed" start-velkd "$1" "$velkd" || fail "velkd $1 not ready"; }

# member N NAME GROUP MEMNO: starts a member on node N, output in out N NAME,
# and waits for its answer.
member() {
  local file
  file=$(out "$1" "$2")
  : >"$file"
  "$bed" exec "$1" sh -c "setsid $probe join $3 $4 $2 >$file 2>&1 </dev/null &
    echo \$! >$SKGXN_BED/node$1/$2.pid"
  until_ok 30 grep -q '^granted\|^refused' "$file" || fail "no answer for $2"
}

# member_eventually N NAME GROUP MEMNO: the same, again while refused.
member_eventually() {
  local deadline=$((SECONDS + 30))
  member "$@"
  while grep -q '^refused' "$(out "$1" "$2")"; do
    ((SECONDS < deadline)) || fail "$2 still refused: $(cat "$(out "$1" "$2")")"
    sleep 0.1
    member "$@"
  done
}

stop_member() { kill "$(cat "$SKGXN_BED/node$1/$2.pid")" 2>/dev/null || true; }
expect_line() { until_ok 30 has "$(out "$1" "$2")" "$3" || fail "$2 on node $1 never said '$3'"; }

# Starts members a1, a2 and a3 afresh on nodes 1, 2 and 3, numbered 0, 1
# and 2. A link that comes back can re-form the ring more than once, and a
# node that was alone in one of those rings rightly loses its members (the
# majority dropped them), so a case that heals a node starts over from here.
fresh_members() {
  local pidfile
  for pidfile in "$SKGXN_BED"/node?/[a-z][0-9].pid; do kill "$(cat "$pidfile")" 2>/dev/null || true; done
  until_ok 30 eval '[[ $("$bed" exec 1 "$probe" query A) == "members " ]]' ||
    fail "group A still has members"
  member_eventually 1 a1 A -1
  member_eventually 2 a2 A -1
  member_eventually 3 a3 A -1
  expect_line 1 a1 "rcfg 0,1,2"
}

ms_since() { echo $(((${EPOCHREALTIME/./} - $1) / 1000)); }

"$bed" up "$SKGXN_BED"
for n in 1 2 3; do "$bed" wait-quorate "$n" >/dev/null; done
for n in 1 2 3; do start_velkd "$n"; done

# The same member sets in the same order everywhere, private data across
# nodes, and a query on a node without members.
member 1 a1 A -1
member 2 a2 A -1
[[ $("$bed" exec 3 "$probe" query A) == "members 0,1" ]] || fail "query on node 3"
start=${EPOCHREALTIME/./}
member 3 a3 A -1
expect_line 1 a1 "rcfg 0,1,2"
echo "cross-node join seen by node 1's member after $(ms_since "$start") ms"
expect_line 2 a2 "rcfg 0,1,2"
[[ $(lines "$(out 1 a1)" rcfg) == "rcfg 0 rcfg 0,1 rcfg 0,1,2" ]] || fail "node 1 order"
[[ $(lines "$(out 2 a2)" rcfg) == "rcfg 0,1 rcfg 0,1,2" ]] || fail "node 2 order"
[[ $(lines "$(out 3 a3)" rcfg) == "rcfg 0,1,2" ]] || fail "node 3 order"
[[ $(lines "$(out 3 a3)" data) == "data 0 a1 data 1 a2" ]] || fail "private data on node 3"
echo "ok: one order, private data and queries across nodes"

# Three nodes ask for the same free number at once: exactly one gets it.
for n in 1 2 3; do member "$n" c$n C 7 & done
wait
granted=$(cat "$(out 1 c1)" "$(out 2 c2)" "$(out 3 c3)" | grep -c '^granted 7' || true)
refused=$(cat "$(out 1 c1)" "$(out 2 c2)" "$(out 3 c3)" | grep -c '^refused 7' || true)
[[ $granted == 1 && $refused == 2 ]] || fail "concurrent joins: $granted granted, $refused refused"
for n in 1 2 3; do stop_member "$n" c$n; done
echo "ok: one of three concurrent joins for one number"

# A member killed on one node leaves every node's group.
start=${EPOCHREALTIME/./}
kill -9 "$(cat "$SKGXN_BED/node2/a2.pid")"
expect_line 1 a1 "rcfg 0,2"
echo "killed member seen gone on node 1 after $(ms_since "$start") ms"
member 2 a2 A -1
expect_line 1 a1 "rcfg 0,1,2"

# Node 3 cut off: the others drop its member, its own member gets abort,
# joins there answer 5 and queries fail; after healing joins work again.
: >"$(out 1 a1)"
start=${EPOCHREALTIME/./}
"$bed" cut 3
expect_line 1 a1 "rcfg 0,1"
echo "cut node's member seen gone on node 1 after $(ms_since "$start") ms"
expect_line 3 a3 "abort 0"
! has "$(out 3 a3)" "rcfg 2" || fail "node 3's member saw a member set without the others"
"$bed" wait-inquorate 3 >/dev/null
member 3 x3 A -1
has "$(out 3 x3)" "refused 5" || fail "join without quorum: $(cat "$(out 3 x3)")"
"$bed" exec 3 "$probe" query A >/dev/null && fail "query without quorum answered"
[[ $("$bed" exec 3 "$velkctl" event A resume 2>&1) == *"has no quorum"* ]] || fail "event without quorum"
"$bed" heal 3
"$bed" wait-quorate 3 >/dev/null
member_eventually 3 y3 A -1
fresh_members
echo "ok: node cut off and healed"

# Corosync killed on node 2: its member gets abort, velkd reconnects.
: >"$(out 1 a1)"
"$bed" kill-corosync 2
expect_line 2 a2 "abort 0"
expect_line 1 a1 "rcfg 0,2"
"$bed" start-corosync 2
"$bed" wait-quorate 2 >/dev/null
member_eventually 2 y2 A -1
fresh_members
grep -q "lost Corosync" "$SKGXN_BED/node2/velkd.log" || fail "Corosync's loss not logged"
echo "ok: Corosync killed and restarted"

# velkd killed and restarted on node 1: the others drop its member; the new
# velkd opens its socket only with the table, and numbers stay as they were.
: >"$(out 2 a2)"
kill -9 "$(cat "$SKGXN_BED/node1/velkd.pid")"
expect_line 2 a2 "rcfg 1,2"
start_velkd 1
grep -q "table agreed with 3 nodes: 2 members in 1 groups" "$SKGXN_BED/node1/velkd.log" ||
  fail "restarted velkd did not receive the table"
[[ $("$bed" exec 1 "$probe" query A) == "members 1,2" ]] || fail "table after restart"
member 1 a1 A -1
has "$(out 1 a1)" "granted 0" || fail "restarted node's join"
expect_line 2 a2 "rcfg 0,1,2"
echo "ok: velkd restarted and given the table"

# The administrator's events reach members on every node.
"$bed" exec 2 "$velkctl" event A suspend --member 2 >/dev/null || fail "velkctl event"
expect_line 3 a3 "event 2"
"$bed" exec 3 "$velkctl" event A resume >/dev/null || fail "velkctl event"
expect_line 1 a1 "event 4"
expect_line 3 a3 "event 4"
has "$(out 1 a1)" "event 2" && fail "a member-only event reached another member"
echo "ok: administrator's events across nodes"

# The administrator sees the engine's quorum, the three nodes and each member's node.
ctl() { "$bed" exec 1 "$velkctl" "$@"; }
ctl --json status | tr -d ' \n' | grep -q '"engine":"corosync".*"nodes":3,.*"quorate":true' &&
  [[ $(ctl nodes | tail -n +2 | tr -s ' \n' ' ') == \
    "1 node1 member 1 2 node2 member 1 3 node3 member 1 " ]] &&
  [[ $(ctl members A | awk 'NR > 1 {printf "%s:%s ", $1, $2}') == "0:1 1:2 2:3 " ]] ||
  fail "velkctl status, nodes or members: $(ctl --json status) $(ctl nodes) $(ctl members A)"
echo "ok: velkctl shows the engine, the nodes and the members' nodes"

# A stranger multicasting damaged messages into the group is logged and ignored.
"$bed" exec 3 "$rogue" || fail "rogue peer could not send"
# (The rogue's arrival and departure are changes of the group too; the
# daemons' table must come through them unchanged.)
for n in 1 2 3; do
  until_ok 30 grep -q "speaks peer protocol version 9" "$SKGXN_BED/node$n/velkd.log" ||
    fail "node $n did not name the other version"
  [[ $(grep -c "malformed message" "$SKGXN_BED/node$n/velkd.log") == 3 ]] ||
    fail "node $n did not log three malformed messages"
done
[[ $("$bed" exec 2 "$probe" query A) == "members 0,1,2" ]] || fail "table after rogue messages"
echo "ok: malformed peer messages ignored"
