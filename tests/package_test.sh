#!/bin/sh
# Installs, upgrades over itself, removes and purges the Debian packages in
# DIR inside a throw-away copy-on-write overlay of the root file system, in a
# private mount namespace, so the machine itself is never touched. Between
# the steps a member process built against the installed -dev package (once
# with find_package(skgxn), once with pkg-config) joins a group through the
# installed velkd, started by hand as there is no service manager there.
# After the purge nothing of ours may be left in the overlay's upper layer.
# Usage: package_test.sh DIR (as root). The script runs itself again in each
# stage: namespace (sets up the overlay) and chroot (the package steps).
set -eu
fail() {
  echo "package_test: $*" >&2
  exit 1
}

# wait_for CMD...: up to 10 s for CMD to succeed (a readiness check).
wait_for() {
  i=0
  until "$@" >/dev/null 2>&1; do
    i=$((i + 1))
    [ $i -lt 200 ] || fail "timed out waiting for: $*"
    sleep 0.05
  done
}

start_velkd() {
  /usr/sbin/velkd -f 2>>/tmp/velkd.log &
  velkd_pid=$!
  wait_for test -S /var/run/.skgxn_registration.sock
}

stop_velkd() {
  kill -TERM "$velkd_pid"
  wait "$velkd_pid" || fail "velkd did not stop cleanly"
}

# member_joins PROGRAM NAME: the member joins, velkctl shows it, it leaves.
member_joins() {
  "$1" member "$2" 0 >/tmp/member.log 2>&1 &
  m=$!
  wait_for grep -q 'joined DBGRP' /tmp/member.log
  velkctl members DBGRP | grep -q "$m" || fail "velkctl does not show member $2 (pid $m)"
  kill -TERM "$m"
  wait "$m" || fail "member $2 failed: $(cat /tmp/member.log)"
}

in_chroot() {
  export PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin
  cd /tmp
  echo "--- install"
  dpkg -i debs/*.deb >/tmp/dpkg.log 2>&1 || fail "dpkg -i: $(cat /tmp/dpkg.log)"
  for f in /etc/default/velkd /etc/velk /var/cluster/velk /usr/share/doc/velkd/daemon.md \
    /usr/share/doc/velkd/examples/corosync.conf; do
    [ -e "$f" ] || fail "$f missing"
  done
  systemd-analyze verify /lib/systemd/system/velkd.service || fail "systemd-analyze verify failed"
  for p in velkd.8 velkctl.8 velk-cluster.conf.5 skgxn_client_cmd.5; do
    [ -n "$(man -l /usr/share/man/man*/$p.gz 2>/dev/null)" ] || fail "man page $p does not render"
  done

  echo "--- programs built against libskgxn-dev: find_package and pkg-config"
  cat >member/CMakeLists.txt <<'CML'
cmake_minimum_required(VERSION 3.25)
project(member C)
find_package(skgxn 2 REQUIRED)
add_executable(member member.c)
target_link_libraries(member PRIVATE skgxn::skgxn)
CML
  cmake -S member -B member/build >/dev/null
  cmake --build member/build >/dev/null
  # shellcheck disable=SC2046 # the flags are words
  cc -o member/by-pkg-config member/member.c $(pkg-config --cflags --libs skgxn)
  ldd member/build/member | grep -Eq 'libskgxn2.so.1 => /(usr/)?lib/' || fail "not linked to the installed library"

  echo "--- velkd started by hand; members join through it"
  start_velkd
  member_joins member/build/member alpha
  member_joins member/by-pkg-config beta
  velkctl trace on CALL >/dev/null
  [ -f /var/cluster/velk/skgxn_client_cmd ] || fail "velkctl wrote no command file"
  stop_velkd

  echo "--- upgrade over itself"
  dpkg -i debs/*.deb >/tmp/dpkg.log 2>&1 || fail "dpkg -i: $(cat /tmp/dpkg.log)"
  start_velkd
  member_joins member/build/member gamma
  stop_velkd

  echo "--- remove"
  dpkg -r libskgxn-dev velkd libskgxn2 libvemo1 >/dev/null
  for f in /usr/sbin/velkd /usr/bin/velkctl; do [ ! -e "$f" ] || fail "remove left $f"; done
  [ -z "$(find /usr/lib -name 'libskgxn2*' -o -name 'libvemo*')" ] || fail "remove left the libraries"
  [ -f /etc/default/velkd ] || fail "remove took the conffile"

  echo "--- purge"
  dpkg -P velkd >/dev/null
}

in_namespace() {
  debs=$1 demo=$2
  top=$(mktemp -d)
  mount -t tmpfs tmpfs "$top"
  mkdir "$top/upper" "$top/work" "$top/root"
  mount -t overlay overlay -o "lowerdir=/,upperdir=$top/upper,workdir=$top/work" "$top/root"
  root=$top/root
  mount -t proc proc "$root/proc"
  mount --rbind /dev "$root/dev"
  mount --rbind /sys "$root/sys"
  mount -t tmpfs -o mode=0755 tmpfs "$root/run"
  mount -t tmpfs -o mode=1777 tmpfs "$root/tmp"
  mkdir "$root/tmp/debs" "$root/tmp/member"
  cp "$debs"/libskgxn2_*.deb "$debs"/libvemo1_*.deb "$debs"/velkd_*.deb \
    "$debs"/libskgxn-dev_*.deb "$root/tmp/debs/"
  cp "$demo" "$root/tmp/member/member.c"
  cp "$0" "$root/tmp/package_test.sh"
  chroot "$root" /bin/sh /tmp/package_test.sh --in-chroot

  # What remains in the upper layer besides the package manager's own books
  # (and directories the lower layer has anyway) was left by us.
  left=$(cd "$top/upper" && find . -mindepth 1 \
    ! -path ./var/lib/dpkg ! -path './var/lib/dpkg/*' ! -path './var/log/*' \
    ! -path ./etc/ld.so.cache ! -path './var/cache/ldconfig*' ! -path './var/cache/man*' \
    ! -path './var/lib/systemd/deb-systemd-helper-*' |
    while read -r f; do
      if [ -d "$top/upper/$f" ] && [ ! -L "$top/upper/$f" ] && [ -d "/$f" ]; then continue; fi
      # Purge removed a directory the machine had, empty, before the
      # install (as the other tests leave /etc/velk and /var/cluster).
      if [ -c "$top/upper/$f" ] && [ -d "/$f" ] && [ -z "$(ls -A "/$f")" ]; then continue; fi
      echo "$f"
    done)
  [ -z "$left" ] || fail "left behind after purge: $left"
  state=$(grep -rl velkd "$top/upper/var/lib/systemd" 2>/dev/null || true)
  [ -z "$state" ] || fail "systemd state left behind: $state"
  ! grep -rqs velkd "$top/upper/etc" || fail "configuration left behind"
  echo "package_test: install, upgrade, remove and purge passed; nothing left"
}

case "${1:-}" in
  --in-chroot) in_chroot ;;
  --in-namespace) in_namespace "$2" "$3" ;;
  *)
    [ "$(id -u)" = 0 ] || fail "needs root for a private mount namespace"
    [ $# = 1 ] || fail "usage: package_test.sh DIR"
    self=$(cd "$(dirname "$0")" && pwd)/$(basename "$0")
    exec unshare --mount --propagation private /bin/sh "$self" --in-namespace \
      "$(cd "$1" && pwd)" "$(cd "$(dirname "$0")/../demo" && pwd)/skgxn_demo.c"
    ;;
esac
