#!/usr/bin/env bash
# The receiver's Debian package, built from this build with CPack and unpacked under a temporary
# root (the machine's own system is never touched): it holds the program and its systemd user
# unit and nothing else, its dependencies come from dpkg-shlibdeps, the unpacked program runs
# (its manual, and serving in a private network namespace where permitted), and the unit passes
# systemd-analyze verify without a single remark.
# Usage: receiver_package_test.sh CPACK BUILD_DIR
set -euo pipefail
cpack=$1 build=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

(cd "$build" && "$cpack" -G DEB -B "$work/out" >"$work/cpack.log" 2>&1) ||
  fail "cpack: $(cat "$work/cpack.log")"
debs=("$work"/out/qwreceiver_*.deb)
if [ ${#debs[@]} -ne 1 ] || [ ! -f "${debs[0]}" ]; then
  fail "no single package in: $(ls "$work/out")"
fi
deb=${debs[0]}
files=$(dpkg-deb -c "$deb" | awk '{print $6}' | grep -v '/$' | sort | tr '\n' ' ')
[ "$files" = "./usr/bin/qwreceiver ./usr/lib/systemd/user/qwreceiver.service " ] ||
  fail "unexpected contents: $files"
depends=$(dpkg-deb -f "$deb" Depends)
for lib in libc6 libpulse0 libpipewire-0.3-0 libavahi-client3 libzita-resampler1; do
  grep -q "$lib (>= " <<<"$depends" || fail "Depends lacks $lib: $depends"
done

root=$work/root
dpkg-deb -x "$deb" "$root"
program=$root/usr/bin/qwreceiver
! ldd "$program" | grep -q "not found" || fail "libraries missing: $(ldd "$program")"
"$program" --help >"$work/help.txt" || fail "--help failed"
for heading in NAME SYNOPSIS DESCRIPTION OPTIONS SERVICE "EXIT STATUS"; do
  grep -q "^$heading" "$work/help.txt" || fail "--help has no $heading section"
done
if unshare -n true 2>/dev/null; then
  # shellcheck disable=SC2016  # $0 is expanded by the inner shell
  unshare -n sh -c 'ip link set lo up && exec "$0" --null-output --listen 127.0.0.1 \
    --no-announce --seconds 0.5' "$program" >"$work/run.log" 2>&1 ||
    fail "the unpacked program did not serve: $(cat "$work/run.log")"
  grep -q "listening on 127.0.0.1:7000" "$work/run.log" || fail "$(cat "$work/run.log")"
else
  echo "note: no private network namespace here; the unpacked program was not run serving"
fi

unit=$root/usr/lib/systemd/user/qwreceiver.service
exec_start="ExecStart=/usr/bin/qwreceiver \$QWRECEIVER_OPTIONS"
grep -qxF "$exec_start" "$unit" || fail "ExecStart: $(cat "$unit")"
grep -qx 'WantedBy=default.target' "$unit" || fail "not wanted by default.target"
# After (and wanting) either sound server, restarted when it exits with status 1 (the sound
# server went away), without a limit.
grep -qx 'After=pipewire.service pipewire-pulse.service pulseaudio.service' "$unit" ||
  fail "After=: $(cat "$unit")"
grep -qx 'Wants=pipewire.service pulseaudio.service' "$unit" || fail "Wants=: $(cat "$unit")"
grep -qx 'StartLimitIntervalSec=0' "$unit" || fail "a start limit: $(cat "$unit")"
grep -qx 'Restart=on-failure' "$unit" || fail "not restarted: $(cat "$unit")"
# The unit as the package has it, pointing at the unpacked program (the machine has none in
# /usr/bin); verify warns about unknown keys without failing, so any remark fails here.
mkdir "$work/verify"
sed "s|^ExecStart=/usr/bin/|ExecStart=$root/usr/bin/|" "$unit" >"$work/verify/qwreceiver.service"
remarks=$(systemd-analyze verify "$work/verify/qwreceiver.service" 2>&1) ||
  fail "systemd-analyze verify: $remarks"
[ -z "$remarks" ] || fail "systemd-analyze verify: $remarks"
echo "receiver package: ok ($(basename "$deb"))"
