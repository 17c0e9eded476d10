#!/usr/bin/env bash
# scripts/install-macos and scripts/uninstall-macos against a temporary root and a build's
# outputs: a dry run changes nothing, the files land where a Mac wants them and equal the
# build's, a second install is an upgrade, the login agent's plist lints and says what it
# should, and uninstall leaves nothing behind but what was there before.
# Usage: macos_install_test.sh SOURCE_DIR BUILD_DIR
set -euo pipefail
src=$1 build=$2
unset SUDO_UID SUDO_USER  # the agent belongs to the user running this
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
root=$tmp/root
mkdir -p "$root/usr/local/bin"
echo "someone else's program" >"$root/usr/local/bin/other"
before=$(cd "$root" && find . | sort)

fail() { echo "FAIL: $*" >&2; exit 1; }
tree() { (cd "$root" && find . | sort); }
install() { "$src/scripts/install-macos" --root "$root" --build-dir "$build" "$@"; }
uninstall() { "$src/scripts/uninstall-macos" --root "$root" "$@"; }

out=$(install --dry-run)
[ "$(tree)" = "$before" ] || fail "install --dry-run changed the root"
grep -q "would run: cp -R $build/plugins/quillwave-driver.driver" <<<"$out" || fail "dry run: $out"
grep -q "not restarting the audio server" <<<"$out" || fail "dry run: $out"

hal=$root/Library/Audio/Plug-Ins/HAL/quillwave-driver.driver
for round in first second; do
  out=$(install) || fail "$round install failed: $out"
  cmp "$build/plugins/quillwave-driver.driver/Contents/Info.plist" "$hal/Contents/Info.plist" ||
    fail "$round install: Info.plist differs"
  cmp "$build/plugins/quillwave-driver.driver/Contents/MacOS/quillwave-driver" \
    "$hal/Contents/MacOS/quillwave-driver" || fail "$round install: driver differs"
  cmp "$build/bridge/tetherstream" "$root/usr/local/bin/tetherstream" ||
    fail "$round install: tetherstream differs"
  [ -x "$root/usr/local/bin/tetherstream" ] || fail "tetherstream is not executable"
  grep -q "sudo" <<<"$out" && fail "asked for sudo under a writable root: $out"
done
# Exactly the bundle, the bridge and the receipt were added, with their directories.
added=$(comm -13 <(echo "$before") <(tree) | tr '\n' ' ')
want="./Library ./Library/Audio ./Library/Audio/Plug-Ins ./Library/Audio/Plug-Ins/HAL \
./Library/Audio/Plug-Ins/HAL/quillwave-driver.driver \
./Library/Audio/Plug-Ins/HAL/quillwave-driver.driver/Contents \
./Library/Audio/Plug-Ins/HAL/quillwave-driver.driver/Contents/Info.plist \
./Library/Audio/Plug-Ins/HAL/quillwave-driver.driver/Contents/MacOS \
./Library/Audio/Plug-Ins/HAL/quillwave-driver.driver/Contents/MacOS/quillwave-driver \
./usr/local/bin/tetherstream ./usr/local/share ./usr/local/share/quillwave \
./usr/local/share/quillwave/installed "
[ "$added" = "$want" ] || fail "install added: $added"

installed=$(tree)
uninstall --dry-run >/dev/null
[ "$(tree)" = "$installed" ] || fail "uninstall --dry-run changed the root"
out=$(uninstall)
[ "$(tree)" = "$before" ] || fail "uninstall left behind: $(comm -13 <(echo "$before") <(tree))"
grep -q "uninstall-macos: removing $hal" <<<"$out" || fail "uninstall: $out"
# Nothing installed: uninstall says so and still changes nothing.
out=$(uninstall)
grep -q "is not there" <<<"$out" || fail "second uninstall: $out"
[ "$(tree)" = "$before" ] || fail "second uninstall changed the root"

# The login agent, in the home of the user running this: a dry run changes nothing; the plist
# lints, is that user's, and runs the installed bridge with the options given, at load and
# whenever it ends, its lines to the log; uninstall unloads it first and leaves the tree as it
# was.
home=$(eval echo "~$(id -un)")
plist=$root$home/Library/LaunchAgents/com.quillwave.tetherstream.plist
install --dry-run --agent -- --tcp 10.0.0.2 >/dev/null
[ "$(tree)" = "$before" ] || fail "install --agent --dry-run changed the root"
out=$(install --agent -- --receiver 'Kitchen & <Den>' --verbose) || fail "agent install: $out"
python3 - "$plist" "$home" <<'PY' || fail "the agent's plist: $(cat "$plist")"
import plistlib, sys
with open(sys.argv[1], "rb") as f:
    agent = plistlib.load(f)
log = sys.argv[2] + "/Library/Logs/tetherstream.log"
want = {"Label": "com.quillwave.tetherstream", "RunAtLoad": True, "KeepAlive": True,
        "ProgramArguments": ["/usr/local/bin/tetherstream", "--receiver", "Kitchen & <Den>",
                             "--verbose"],
        "ProcessType": "Interactive", "StandardOutPath": log, "StandardErrorPath": log}
if agent != want:
    sys.exit(f"{agent} != {want}")
PY
# shellcheck disable=SC2012  # ls -n is the portable way to an owner's number
[ "$(ls -ln "$plist" | awk '{print $1 $3}')" = "-rw-r--r--$(id -u)" ] ||
  fail "the plist is not the user's, mode 644: $(ls -ln "$plist")"
grep -qF "on the Mac: launchctl bootstrap gui/$(id -u) $home/Library/LaunchAgents/" <<<"$out" ||
  fail "agent install: $out"
out=$(uninstall)
[ "$(tree)" = "$before" ] || fail "agent uninstall left behind: $(comm -13 <(echo "$before") <(tree)) $out"
[ "$(head -n 1 <<<"$out")" = "uninstall-macos: not unloading the login agent (files are under $root, not the running system)" ] ||
  fail "uninstall does not see to the agent first: $out"
grep -qF "uninstall-macos: removing $plist" <<<"$out" || fail "agent uninstall: $out"

# Bad command lines change nothing.
"$src/scripts/install-macos" --root "$root" --bogus >/dev/null 2>&1 && fail "--bogus accepted"
"$src/scripts/install-macos" --root "$tmp/missing" --build-dir "$build" >/dev/null 2>&1 &&
  fail "a missing --root was accepted"
"$src/scripts/uninstall-macos" --root "$root" --build-dir "$build" >/dev/null 2>&1 &&
  fail "uninstall took --build-dir"
"$src/scripts/uninstall-macos" --root "$root" --agent >/dev/null 2>&1 && fail "uninstall took --agent"
install -- --tcp >/dev/null 2>&1 && fail "options after -- without --agent accepted"
install --agent -- --find >/dev/null 2>&1 && fail "an agent that ends at once was accepted"
if [ "$(uname -s)" != Darwin ]; then
  "$src/scripts/install-macos" --dry-run >/dev/null 2>&1 && fail "installed into / off macOS"
fi
[ "$(tree)" = "$before" ] || fail "a refused command changed the root"
echo "install and uninstall under --root: ok"
