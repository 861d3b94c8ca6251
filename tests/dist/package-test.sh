#!/usr/bin/env bash
# The Debian packages as a clean till gets them: built by CPack, the runtime package unpacked
# into an empty root, every library its programs need resolved and named in its Depends, and a
# receipt sold on the emulator by the unpacked programs alone (vskctl starting vskmanager).
# Needs no root: nothing is installed on this machine. Skipped only without dpkg-deb.
set -eu
build=$1
version=$2
command -v dpkg-deb >/dev/null || { echo "dpkg-deb is not installed: skipped"; exit 77; }
out=$(mktemp -d)
emulator_pid=
cleanup() {
  [ -n "$emulator_pid" ] && kill "$emulator_pid" 2>/dev/null || true
  for f in "$out"/run/vskmanager/server-*.sock; do
    [ -e "$f" ] || continue
    pid=${f##*/server-}; pid=${pid%.sock}
    kill "$pid" 2>/dev/null || true
  done
  rm -rf "$out"
}
trap cleanup EXIT
fail() { echo "$*"; exit 1; }

(cd "$build" && cpack -G DEB -B "$out/deb" >"$out/cpack.log" 2>&1) || { cat "$out/cpack.log"; exit 1; }
deb=$(ls "$out"/deb/vskmanager_"$version"_*.deb) || fail "no runtime package in $(ls "$out/deb")"
dev=$(ls "$out"/deb/vskmanager-dev_"$version"_*.deb) || fail "no -dev package in $(ls "$out/deb")"

# What goes where: the programs and the system's files in one, the library and headers in the other.
runtime_files=$(dpkg-deb -c "$deb" | awk '{print $6}')
dev_files=$(dpkg-deb -c "$dev" | awk '{print $6}')
for f in ./usr/bin/vskmanager ./usr/bin/vskctl ./usr/bin/vsk-emulator \
         ./usr/lib/systemd/system/vskmanager.service ./usr/lib/sysusers.d/vskmanager.conf \
         ./usr/share/man/man1/vskmanager.1 ./usr/share/bash-completion/completions/vskctl; do
  grep -qxE "$f(\.gz)?" <<<"$runtime_files" || fail "not in $(basename "$deb"): $f"
done
if grep -q '^\./usr/share/applications/' <<<"$runtime_files"; then  # built with the window
  grep -qx ./etc/xdg/autostart/vskmanager.desktop <<<"$runtime_files" ||
    fail "the autostart entry is not at /etc/xdg/autostart"
fi
! grep -E '^\./usr/(include|lib/.*\.a$|lib/.*pkgconfig)|^\./usr/etc' <<<"$runtime_files" ||
  fail "development files or /usr/etc in the runtime package"
for f in ./usr/include/vsk/client/client.h ./usr/lib/x86_64-linux-gnu/libvskclient.a \
         ./usr/lib/x86_64-linux-gnu/pkgconfig/vskclient.pc; do
  grep -qx "$f" <<<"$dev_files" || grep -qx "${f/x86_64-linux-gnu\//}" <<<"$dev_files" ||
    fail "not in $(basename "$dev"): $f"
done
# The postinst makes the system user with what the system has: systemd-sysusers from the
# package's sysusers.d file, else adduser. Run on stand-ins that write down how they were called.
dpkg-deb -e "$deb" "$out/control"
[ -x "$out/control/postinst" ] || fail "the runtime package has no executable postinst"
postinst_calls() {  # the stand-in programs there are
  rm -rf "$out/stubs"; mkdir -p "$out/stubs"
  for c in "$@"; do
    printf '#!/bin/sh\necho "%s $*" >> "%s"\n[ %s != getent ]\n' "$c" "$out/stubs/calls" "$c" \
      >"$out/stubs/$c"
    chmod +x "$out/stubs/$c"
  done
  PATH="$out/stubs" /bin/sh "$out/control/postinst" configure || fail "postinst failed"
  cat "$out/stubs/calls"
}
[ "$(postinst_calls systemd-sysusers getent adduser)" = "systemd-sysusers vskmanager.conf" ] ||
  fail "postinst with systemd-sysusers: $(postinst_calls systemd-sysusers getent adduser)"
calls=$(postinst_calls getent adduser)
grep -q "^adduser --system --group --home /var/lib/vskmanager .* vskmanager$" <<<"$calls" &&
  grep -qx "adduser vskmanager dialout" <<<"$calls" || fail "postinst without systemd-sysusers: $calls"

# A root with nothing but the package in it; the programs find their libraries in it first.
root="$out/root"
dpkg-deb -x "$deb" "$root"
depends=$(dpkg-deb -f "$deb" Depends)
[ -n "$depends" ] || fail "the runtime package has no Depends"
depends_names=$(tr ',|' '\n\n' <<<"$depends" | sed 's/^ *//; s/[ :].*//')
libpath="$root/usr/lib/x86_64-linux-gnu:$root/usr/lib:$root/lib"
for exe in "$root"/usr/bin/*; do
  resolved=$(LD_LIBRARY_PATH=$libpath ldd "$exe") || fail "ldd $exe failed"
  ! grep -q 'not found' <<<"$resolved" || fail "$(basename "$exe"): $(grep 'not found' <<<"$resolved")"
  # Each library the program names itself must come with a package of its Depends.
  for needed in $(readelf -d "$exe" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p'); do
    path=$(awk -v n="$needed" '$1 == n {print $3}' <<<"$resolved")
    [[ $path == "$root"/* ]] && continue
    owner=$(dpkg -S "$(readlink -f "$path")" 2>/dev/null || dpkg -S "$path" 2>/dev/null) ||
      fail "$(basename "$exe"): no package owns $needed ($path)"
    owner=${owner%%:*}
    grep -qxF "$owner" <<<"$depends_names" ||
      fail "$(basename "$exe") needs $needed of $owner, not in Depends: $depends"
  done
done

[ "$("$root/usr/bin/vskmanager" --version)" = "vskmanager $version" ] ||
  fail "vskmanager --version: $("$root/usr/bin/vskmanager" --version)"

# The completion, as bash runs it on the unpacked programs: words typed so far -> what it offers.
complete_words() {
  PATH="$root/usr/bin:$PATH" bash -c '
    _init_completion() { cur=${COMP_WORDS[COMP_CWORD]}; prev=${COMP_WORDS[COMP_CWORD-1]};
                         words=("${COMP_WORDS[@]}"); cword=$COMP_CWORD; }
    _filedir() { :; }; compopt() { :; }
    source "$1"; shift
    COMP_WORDS=("$@"); COMP_CWORD=$(($# - 1))
    _vsk_complete
    [ ${#COMPREPLY[@]} -eq 0 ] || printf "%s\n" "${COMPREPLY[@]}" | sort | tr "\n" " "' _ \
    "$root/usr/share/bash-completion/completions/vskctl" "$@"
}
expect_completion() {  # expected, words...
  local want=$1; shift
  local got; got=$(complete_words "$@")
  [ "$got" = "$want" ] || fail "completing '$*': '$got', not '$want'"
}
expect_completion "VSKManager.Application VSKManager.Veskar " vskctl --progid ""
expect_completion "XReport XReportAsync " vskctl --port 1 XRep
expect_completion "" vskctl --port 1 XReport ""
expect_completion "" vskctl --port 1 XReport X
expect_completion "--progid " vskctl --prog
expect_completion "HttpHosts HttpListen HttpOrigins HttpSessionIdle " vskmanager --config Http
[ -n "$(complete_words vskctl --progid VSKManager.Application "")" ] ||
  fail "no member names of VSKManager.Application"

# One receipt: the unpacked vskctl starts the unpacked vskmanager through its registration.
export XDG_RUNTIME_DIR="$out/run" XDG_CONFIG_HOME="$out/config" XDG_STATE_HOME="$out/state"
export VSK_REGISTRY_DIR="$out/registry" ProgramData="$out/state" HOME="$out"
unset DISPLAY WAYLAND_DISPLAY
mkdir -p "$XDG_RUNTIME_DIR" "$XDG_CONFIG_HOME" "$XDG_STATE_HOME" "$VSK_REGISTRY_DIR"
chmod 700 "$XDG_RUNTIME_DIR"
"$root/usr/bin/vsk-emulator" --link "$out/com1" --tape "$out/tape.txt" --no-stdin \
  >"$out/emulator.out" 2>&1 &
emulator_pid=$!
for _ in $(seq 100); do [ -e "$out/com1" ] && break; sleep 0.05; done
[ -e "$out/com1" ] || { cat "$out/emulator.out"; fail "the emulator did not start"; }
"$root/usr/bin/vskmanager" /Regserver
"$root/usr/bin/vskmanager" --set-port "COM1=$out/com1"
cat >"$out/receipt.txt" <<'SCRIPT'
OpenCheck "1"
FiscalLineEx "Packaged bread" 1000 1205 1 1 0 1 0 "" 0
CloseCheckEx 2000 0 0 0
SCRIPT
timeout 60 "$root/usr/bin/vskctl" --port 1 --cashier Anna --password 0000000000 \
  --script "$out/receipt.txt" >"$out/vskctl.out" 2>&1 || { cat "$out/vskctl.out"; fail "the receipt failed"; }
grep -q "Packaged bread" "$out/tape.txt" || { cat "$out/tape.txt"; fail "the line is not on the tape"; }
echo "$(basename "$deb") and $(basename "$dev"): unpacked, libraries resolved, a receipt printed"
