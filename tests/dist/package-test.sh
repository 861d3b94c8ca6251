#!/usr/bin/env bash
# The Debian package installs, its programs run, and it removes cleanly. Needs root and dpkg;
# skipped elsewhere, and where a package of this name is installed already (it is not ours to
# replace).
set -eu
build=$1
version=$2
[ "$(id -u)" -eq 0 ] || { echo "not root: skipped"; exit 77; }
command -v dpkg >/dev/null && command -v cpack >/dev/null || { echo "no dpkg or cpack: skipped"; exit 77; }
if dpkg-query -W -f='${Status}' vskmanager 2>/dev/null | grep -q "install ok installed"; then
  echo "a vskmanager package is installed already: skipped"; exit 77
fi
out=$(mktemp -d)
trap 'dpkg -r vskmanager >/dev/null 2>&1 || true; rm -rf "$out"' EXIT
(cd "$build" && cpack -G DEB -B "$out" >"$out/cpack.log" 2>&1) || { cat "$out/cpack.log"; exit 1; }
deb=$(ls "$out"/vskmanager_*.deb)
dpkg -i "$deb"
for f in /usr/bin/vskmanager /usr/bin/vskctl /usr/bin/vsk-emulator \
         /usr/lib/systemd/user/vskmanager.socket /usr/lib/systemd/user/vskmanager.service \
         /usr/lib/systemd/system/vskmanager.service /usr/lib/udev/rules.d/60-vsk.rules \
         /usr/share/man/man1/vskmanager.1.gz /usr/share/man/man7/vsk-protocol.7.gz \
         /usr/include/vsk/client/client.h /usr/share/bash-completion/completions/vskctl; do
  [ -e "$f" ] || [ -e "${f%.gz}" ] || { echo "missing after install: $f"; exit 1; }
done
[ "$(vskmanager --version)" = "vskmanager $version" ] || { echo "vskmanager --version: $(vskmanager --version)"; exit 1; }
[ "$(vskctl --version)" = "vskctl $version" ]
[ "$(pkg-config --modversion vskclient 2>/dev/null || echo "$version")" = "$version" ]
dpkg -r vskmanager
for f in /usr/bin/vskmanager /usr/lib/systemd/user/vskmanager.socket /usr/include/vsk; do
  [ ! -e "$f" ] || { echo "left after removal: $f"; exit 1; }
done
echo "package $(basename "$deb") installed, ran and removed"
