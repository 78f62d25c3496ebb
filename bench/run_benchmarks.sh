#!/bin/sh
# Runs every benchmark of a build with a bounded time each, inside the private
# mount namespace, with velkd started for the benchmarks that call it, then
# the cross-node ones on the three-node bed (cluster_bench.sh), and prints
# each figure against its target. Usage (as root):
#   bench/run_benchmarks.sh BUILD_DIR   (a Release build with -DSKGXN_BENCH=ON)
# Exits 1 when a benchmark could not run; a figure that misses its target is
# reported as MISS but does not fail the run, since a shared machine's load
# moves the figures.
set -eu

# Seconds each benchmark is given; the whole run stays under three minutes.
min_time=${SKGXN_BENCH_MIN_TIME:-0.5}

usage() {
  echo "usage: $0 BUILD_DIR" >&2
  exit 2
}

if [ "${1:-}" != --inside ]; then
  [ $# -eq 1 ] || usage
  build=$(cd "$1" && pwd) || usage
  here=$(cd "$(dirname "$0")" && pwd)
  if [ "$(id -u)" != 0 ]; then
    echo "run_benchmarks.sh: needs root for the private mount namespace" >&2
    exit 1
  fi
  for b in trace_benchmark codec_benchmark call_benchmark daemon_benchmark poll_benchmark; do
    if [ ! -x "$build/bench/$b" ]; then
      echo "run_benchmarks.sh: $build/bench/$b is missing; configure with -DSKGXN_BENCH=ON" >&2
      exit 1
    fi
  done
  if [ ! -x "$build/daemon/velkd" ]; then
    echo "run_benchmarks.sh: $build/daemon/velkd is missing" >&2
    exit 1
  fi
  exec "$here/../tests/in_namespace.sh" /bin/sh "$here/run_benchmarks.sh" --inside "$build"
fi

# From here on: inside the namespace, /run, /var/tmp and /var/cluster are ours.
build=$2
summary=/var/tmp/bench_summary.txt
: >"$summary"
failed=""
velkd_pid=""

stop_velkd() {
  if [ -n "$velkd_pid" ]; then
    kill -TERM "$velkd_pid" 2>/dev/null || true
    wait "$velkd_pid" 2>/dev/null || true
    velkd_pid=""
  fi
}
trap stop_velkd EXIT
trap 'exit 1' INT TERM

# run NAME [ARGS...]: the benchmark's table as it runs, its figures kept for
# the summary.
run() {
  name=$1
  shift
  echo "==> $name"
  out=/var/tmp/$name.out
  status=0
  timeout 300 "$build/bench/$name" --benchmark_min_time="$min_time" "$@" >"$out" 2>&1 ||
    status=$?
  cat "$out"
  grep -E '^(ratio|limit):' "$out" | sed "s/^/$name /" >>"$summary" || true
  if [ "$status" != 0 ]; then
    echo "$name exited with status $status" >>"$summary"
    failed="$failed $name"
  fi
}

# velkd in the foreground, its log in /var/tmp/velkd.out; ready once the
# marker FIFO exists, which it creates after its sockets.
start_velkd() {
  "$build/daemon/velkd" -f >/var/tmp/velkd.out 2>&1 &
  velkd_pid=$!
  tries=0
  while [ ! -p /var/run/.skgxn_registration ]; do
    tries=$((tries + 1))
    if [ $tries -gt 100 ] || ! kill -0 "$velkd_pid" 2>/dev/null; then
      echo "run_benchmarks.sh: velkd did not start; its log:" >&2
      cat /var/tmp/velkd.out >&2
      velkd_pid=""
      return 1
    fi
    sleep 0.1
  done
}

run trace_benchmark
run codec_benchmark
run call_benchmark
# daemon_benchmark starts its own servers on private paths.
run daemon_benchmark

if start_velkd; then
  run poll_benchmark
  if [ -x "$build/bench/cpg_benchmark" ]; then
    run cpg_benchmark
  else
    echo "cpg_benchmark not built (libcpg not found by pkg-config): Corosync comparison skipped" |
      tee -a "$summary"
  fi
  stop_velkd
else
  failed="$failed velkd"
fi

# The cross-node figures, on a three-node bed of its own (Corosync and velkd
# on every node); it says why when it cannot run there.
echo "==> cluster_bench"
out=/var/tmp/cluster_bench.out
status=0
"$(dirname "$0")/cluster_bench.sh" "$build" >"$out" 2>&1 || status=$?
cat "$out"
grep -E '^(ratio|limit|info|skipped):' "$out" | sed "s/^/cluster_bench /" >>"$summary" || true
if [ "$status" != 0 ]; then
  echo "cluster_bench exited with status $status" >>"$summary"
  failed="$failed cluster_bench"
fi

echo
echo "==> Summary (each figure against its target; floors measured in the same run)"
cat "$summary"
total=$(grep -cE '^[a-z_]+ (ratio|limit):' "$summary" || true)
met=$(grep -cE '^[a-z_]+ (ratio|limit): ok' "$summary" || true)
echo "$met of $total figures meet their targets"
if [ -n "$failed" ]; then
  echo "failed to run:$failed" >&2
  exit 1
fi
