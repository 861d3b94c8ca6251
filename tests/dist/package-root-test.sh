#!/usr/bin/env bash
# The Debian packages installed by apt on a fresh Debian bookworm root: their Depends resolve
# from the archive, the postinst makes the system user with what a minimal system has, and the
# installed programs sell a receipt on the installed emulator.
# Needs root, debootstrap and the network, and takes minutes: it runs only when asked to, with
# VSK_PACKAGE_ROOT naming a folder for the fresh root (kept, and copied on later runs) or 1 (a
# temporary root). VSK_DEBIAN_MIRROR overrides the archive.
set -eu
build=$1
version=$2
mirror=${VSK_DEBIAN_MIRROR:-http://deb.debian.org/debian}
[ -n "${VSK_PACKAGE_ROOT:-}" ] ||
  { echo "VSK_PACKAGE_ROOT is not set (a folder for the fresh root, or 1): skipped"; exit 77; }
[ "$(id -u)" = 0 ] || { echo "not run as root: skipped"; exit 77; }
command -v debootstrap >/dev/null || { echo "debootstrap is not installed: skipped"; exit 77; }

out=$(realpath "$(mktemp -d)")
root=$out/root
cleanup() {
  # Whatever still runs inside the root (the emulator, the servers vskctl started, a stray
  # apt child) would keep its mounts busy.
  local p pids=
  for p in /proc/[0-9]*; do
    [ "$(readlink "$p/root" 2>/dev/null)" = "$root" ] && pids="$pids ${p#/proc/}"
  done
  [ -z "$pids" ] || { kill $pids 2>/dev/null; sleep 1; kill -9 $pids 2>/dev/null; } || true
  for m in dev/pts proc; do
    if mountpoint -q "$root/$m"; then umount -l "$root/$m"; fi
  done
  # Never remove through a mount that is still there: /dev/pts is the machine's own.
  if grep -q " $root/" /proc/mounts; then echo "still mounted, left $out"; else rm -rf "$out"; fi
}
trap cleanup EXIT
trap 'exit 1' INT TERM HUP
fail() { echo "$*"; exit 1; }
logged() {  # log-name command...: quiet unless it fails
  "${@:2}" >"$out/$1.log" 2>&1 || { tail -30 "$out/$1.log"; fail "failed: ${*:2}"; }
}

logged cpack sh -c "cd '$build' && cpack -G DEB -B '$out/deb'"
deb=$(ls "$out"/deb/vskmanager_"$version"_*.deb) || fail "no runtime package in $(ls "$out/deb")"
dev=$(ls "$out"/deb/vskmanager-dev_"$version"_*.deb) || fail "no -dev package in $(ls "$out/deb")"

debootstrap_into() {
  echo "debootstrap of bookworm into $1"
  logged debootstrap debootstrap --variant=minbase bookworm "$1" "$mirror"
}
if [ "$VSK_PACKAGE_ROOT" = 1 ]; then
  debootstrap_into "$root"
else
  base=$VSK_PACKAGE_ROOT
  # A finished debootstrap has apt and no longer its own work folder.
  [ -x "$base/usr/bin/apt-get" ] && [ ! -d "$base/debootstrap" ] || debootstrap_into "$base"
  cp -a "$base" "$root"  # the kept root stays as debootstrap left it
fi

mkdir -p "$root/pkg"
cp "$deb" "$dev" "$root/pkg/"
cp -L /etc/resolv.conf "$root/etc/resolv.conf"  # a kept root may have an old one
# A container without the right to mount cannot hold a fresh root that runs programs.
mount -t proc proc "$root/proc" || { echo "cannot mount /proc in the root here: skipped"; exit 77; }
mount --bind /dev/pts "$root/dev/pts"  # the emulator's serial line is a pseudo-terminal
w=/tmp/vsk  # the receipt's folders, as the programs in the root see them
in_root() {
  chroot "$root" /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin DEBIAN_FRONTEND=noninteractive \
    XDG_RUNTIME_DIR=$w/run XDG_CONFIG_HOME=$w/config XDG_STATE_HOME=$w/state \
    VSK_REGISTRY_DIR=$w/registry ProgramData=$w/state HOME=$w "$@"
}

echo "apt-get install $(basename "$deb")"
logged apt-update in_root apt-get update
logged apt-runtime in_root apt-get install -y "/pkg/$(basename "$deb")"
in_root dpkg -s vskmanager | grep -qx 'Status: install ok installed' ||
  fail "vskmanager is not installed: $(in_root dpkg -s vskmanager)"
in_root getent passwd vskmanager >/dev/null || fail "the postinst made no user vskmanager"
in_root id -nG vskmanager | grep -qw dialout || fail "vskmanager is not in dialout: $(in_root id vskmanager)"
for exe in vskmanager vskctl vsk-emulator; do
  resolved=$(in_root ldd "/usr/bin/$exe") || fail "ldd $exe failed"
  ! grep -q 'not found' <<<"$resolved" || fail "$exe: $(grep 'not found' <<<"$resolved")"
done
[ "$(in_root vskmanager --version)" = "vskmanager $version" ] ||
  fail "vskmanager --version: $(in_root vskmanager --version)"

# One receipt: the installed vskctl starts the installed vskmanager through its registration.
mkdir -p "$root$w"/{run,config,state,registry}
chmod 700 "$root$w/run"
in_root vsk-emulator --link "$w/com1" --tape "$w/tape.txt" --no-stdin >"$out/emulator.out" 2>&1 &
for _ in $(seq 100); do [ -e "$root$w/com1" ] && break; sleep 0.05; done
[ -e "$root$w/com1" ] || { cat "$out/emulator.out"; fail "the emulator did not start"; }
in_root vskmanager /Regserver
in_root vskmanager --set-port "COM1=$w/com1"
cat >"$root$w/receipt.txt" <<'SCRIPT'
OpenCheck "1"
FiscalLineEx "Packaged bread" 1000 1205 1 1 0 1 0 "" 0
CloseCheckEx 2000 0 0 0
SCRIPT
in_root timeout 60 vskctl --port 1 --cashier Anna --password 0000000000 --script "$w/receipt.txt" \
  >"$out/vskctl.out" 2>&1 || { cat "$out/vskctl.out"; fail "the receipt failed"; }
grep -q "Packaged bread" "$root$w/tape.txt" || { cat "$root$w/tape.txt"; fail "the line is not on the tape"; }

echo "apt-get install $(basename "$dev")"
logged apt-dev in_root apt-get install -y "/pkg/$(basename "$dev")"
[ -f "$root/usr/include/vsk/client/client.h" ] || fail "no /usr/include/vsk/client/client.h"
in_root pkg-config --exists vskclient || fail "pkg-config does not find vskclient"
echo "$(basename "$deb") and $(basename "$dev"): installed by apt on bookworm, user vskmanager made, a receipt printed"
