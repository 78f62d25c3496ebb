#!/bin/sh
# Runs a command as root in a private mount namespace with empty tmpfs over
# /run, /var/tmp, /var/cluster and /etc/velk, so tests that need the library's
# fixed paths, a daemon, the command file or the cluster configuration never
# touch the host's own.
set -e
if [ "$(id -u)" != 0 ]; then
  echo "in_namespace.sh: needs root for a private mount namespace" >&2
  exit 1
fi
# The library obeys the command file only when no group or other user may
# write it; tests write it with plain file streams, so the mask is fixed here.
exec unshare --mount --propagation private /bin/sh -c '
  set -e
  umask 022
  mount -t tmpfs -o mode=0755 tmpfs /run
  mount -t tmpfs -o mode=1777 tmpfs /var/tmp
  mkdir -p /var/cluster
  mount -t tmpfs -o mode=0755 tmpfs /var/cluster
  mkdir -p /var/cluster/velk /run/velkd /etc/velk
  mount -t tmpfs -o mode=0755 tmpfs /etc/velk
  exec "$@"' in_namespace "$@"
