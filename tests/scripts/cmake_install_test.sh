#!/usr/bin/env bash
# `cmake --install` of a build into a temporary prefix: the driver bundle in lib/quillwave/HAL,
# the programs in bin, every program's libraries found, and the installed audio server loading
# the installed bundle through its Info.plist.
# Usage: cmake_install_test.sh CMAKE BUILD_DIR LIBDIR
set -euo pipefail
cmake=$1 build=$2 libdir=$3
prefix=$(mktemp -d)
server=""
cleanup() {
  if [ -n "$server" ]; then kill "$server" 2>/dev/null || true; wait "$server" 2>/dev/null || true; fi
  rm -rf "$prefix"
}
trap cleanup EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

"$cmake" --install "$build" --prefix "$prefix" >/dev/null
bundle=$prefix/$libdir/quillwave/HAL/quillwave-driver.driver
cmp "$build/plugins/quillwave-driver.driver/Contents/Info.plist" "$bundle/Contents/Info.plist" ||
  fail "installed Info.plist differs"
[ -f "$bundle/Contents/MacOS/quillwave-driver" ] || fail "no driver executable in $bundle"
for program in tetherstream audioserverd; do
  [ -x "$prefix/bin/$program" ] || fail "bin/$program not installed"
  if ldd "$prefix/bin/$program" | grep -q "not found"; then
    fail "bin/$program misses libraries: $(ldd "$prefix/bin/$program")"
  fi
done

log=$prefix/audioserverd.log
"$prefix/bin/audioserverd" --plugins "$prefix/$libdir/quillwave/HAL" --socket "$prefix/s" \
  --no-realtime 2>"$log" &
server=$!
for _ in $(seq 100); do
  grep -q "listening at" "$log" && break
  sleep 0.1
done
grep -q "loaded plug-in quillwave-driver.driver (factory QWV_Create)" "$log" ||
  fail "the installed server did not load the installed bundle: $(cat "$log")"
grep -q 'device "Quillwave" is object' "$log" || fail "no Quillwave device: $(cat "$log")"
if grep -q VIOLATION "$log"; then fail "the server caught the driver breaking a rule: $(cat "$log")"; fi
echo "cmake --install: ok"
