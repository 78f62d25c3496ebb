#!/usr/bin/env bash
# The README's demo. Runs inside a private mount namespace (see
# tests/in_namespace.sh), so its velkd, command file and logs are its own.
# Usage: run_demo.sh BUILD_DIR
set -euo pipefail
build=$1
demo=$build/demo/skgxn_demo
velkd=$build/daemon/velkd
velkctl=$build/tools/velkctl
pids=()

step() { printf '\n\033[1m=== %s\033[0m\n' "$*"; }
cleanup() {
  for p in "${pids[@]}"; do kill -9 "$p" 2>/dev/null || true; done
  [[ -n ${velkd_pid:-} ]] && kill -9 "$velkd_pid" 2>/dev/null || true
}
trap cleanup EXIT

step "1. The library on its own: version, record sizes, limits, the node table"
"$demo" info

step "2. Tracing on for every process, through the runtime command file"
cat >/var/cluster/velk/skgxn_client_cmd <<'CMD'
# calls and events into /var/tmp/skgxn_client.log, statistics files on
TRACE ON CALL EVT
OUTPUT ON
STATS ON
CMD
cat /var/cluster/velk/skgxn_client_cmd

step "3. Start the membership daemon (velkd -f logs to standard error)"
"$velkd" -f 2>/var/tmp/velkd.log &
velkd_pid=$!
for _ in $(seq 100); do [[ -S /var/run/.skgxn_registration.sock ]] && break; sleep 0.05; done
ls -l /var/run/.skgxn_registration /var/run/.skgxn_registration.sock

step "4. Three database instances join DBGRP, poll once a second, read each other's data"
"$demo" member alpha 8 &
alpha=$!
pids+=("$alpha")
sleep 1
"$demo" member beta 0 &
beta=$!
pids+=("$beta")
sleep 1
"$demo" member gamma 0 &
gamma=$!
pids+=("$gamma")
sleep 3

step "5. What the administrator sees"
"$velkctl" status
"$velkctl" members DBGRP

step "6. alpha leaves when its time is up"
wait "$alpha" || true
sleep 2

step "7. beta is killed (SIGKILL): the daemon notices its connection close"
kill -9 "$beta"
wait "$beta" 2>/dev/null || true
sleep 2
"$velkctl" members DBGRP

step "8. velkd stops (SIGTERM): the last member is told the group is aborted"
kill -TERM "$velkd_pid"
wait "$velkd_pid" || true
velkd_pid=
wait "$gamma" || true
echo "registration endpoints after the stop:"
ls /var/run/.skgxn_registration* 2>/dev/null || echo "  (removed)"

step "9. The daemon's log"
cat /var/tmp/velkd.log

step "10. What the trace log recorded: joins, events and leaves of all three processes"
grep -E 'skgxnreg:EXIT|skgxnpstat:EVENT|skgxndrg:EXIT' /var/tmp/skgxn_client.log | head -20

step "11. Poll statistics files, one per member"
for f in /var/tmp/skgxn_*.pstat; do
  echo "--- $f"
  head -4 "$f"
done
