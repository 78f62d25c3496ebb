#!/bin/sh
# Fails unless the given libvemo.so.1 exports exactly its three calls, so an
# internal symbol can never become part of the library's interface.
set -e
got=$(nm -D --defined-only "$1" | awk '$2 ~ /^[A-Z]$/ && $2 != "A" { print $3 }' | sort | tr '\n' ' ')
want="vemo_cluster_close vemo_cluster_get vemo_cluster_open "
if [ "$got" != "$want" ]; then
  echo "exports: '$got', expected '$want'" >&2
  exit 1
fi
