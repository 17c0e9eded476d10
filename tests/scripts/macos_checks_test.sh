#!/usr/bin/env bash
# The checks of the macOS cross build catch what they are there for, against the SDK beside the
# clone (skipped without it):
#  - check_macho.py passes a well-formed driver bundle and tetherstream, and reports an extra
#    export, a framework symbol that no framework exports, a minimum macOS other than 12.0, an
#    Info.plist naming an executable that is not there, and a tetherstream whose information
#    list is missing, has another bundle identifier or no microphone usage text;
#  - compare_headers.py finds no difference in platform/include, and in a copy of it reports a
#    constant moved to another header, a wrong value and a missing non-null mark.
# Usage: macos_checks_test.sh SOURCE_DIR
set -euo pipefail
src=$(cd "$1" && pwd)
sdk=${QW_MACOS_SDK:-$src/../shared/macos-sdk}
[ -d "$sdk/MacOSX.sdk" ] && sdk=$sdk/MacOSX.sdk
[ -f "$sdk/usr/lib/libSystem.tbd" ] || { echo "no macOS SDK at $sdk: skipped"; exit 77; }
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }
expect() { grep -qF -- "$2" <<<"$1" || fail "expected \"$2\" in: $1"; }

# info FILE ID MIC: an information list for tetherstream (MIC "" leaves the usage text out).
info() {
  python3 - "$@" <<'PY'
import plistlib, sys
keys = {"CFBundleIdentifier": sys.argv[2]}
if sys.argv[3]:
    keys["NSMicrophoneUsageDescription"] = sys.argv[3]
with open(sys.argv[1], "wb") as f:
    plistlib.dump(keys, f)
PY
}

# build NAME MINOS EXECUTABLE_IN_PLIST [C lines...]: a driver bundle and a tetherstream, which
# carries $bridge_info in __TEXT,__info_plist when that names a file.
build() {
  local name=$1 minos=$2 named=$3
  shift 3
  local contents=$tmp/$name/plugins/quillwave-driver.driver/Contents
  mkdir -p "$contents/MacOS" "$tmp/$name/bridge"
  # shellcheck disable=SC2054  # -Wl, options hold commas
  local cc=(clang --target="arm64-apple-macos$minos" -isysroot "$sdk" -fuse-ld=lld
            -Wl,-undefined,dynamic_lookup -fvisibility=hidden -framework CoreAudio)
  printf '%s\n' '#include <CoreAudio/AudioHardware.h>' \
    '__attribute__((visibility("default"))) void* QWV_Create(void* a, void* b) {' \
    '  AudioObjectPropertyAddress where = {0, 0, 0};' \
    '  return AudioObjectHasProperty(1, &where) ? a : b; }' "$@" >"$tmp/$name.c"
  "${cc[@]}" -bundle "$tmp/$name.c" -o "$contents/MacOS/quillwave-driver"
  local sect=()
  [ -z "$bridge_info" ] || sect=("-Wl,-sectcreate,__TEXT,__info_plist,$bridge_info")
  echo 'int main(void) { return 0; }' |
    "${cc[@]}" ${sect[@]+"${sect[@]}"} -x c - -o "$tmp/$name/bridge/tetherstream"
  python3 - "$contents/Info.plist" "$named" <<'PY'
import plistlib, sys
with open(sys.argv[1], "wb") as f:
    plistlib.dump({"CFBundleExecutable": sys.argv[2], "LSMinimumSystemVersion": "12.0"}, f)
PY
}
check() { python3 "$src/scripts/lib/check_macho.py" "$tmp/$1" "$sdk" /nonexistent arm64 12.0 2>&1; }

info "$tmp/good.plist" com.quillwave.tetherstream "to stream the Mac's sound"
info "$tmp/wrong.plist" com.example.other ""
bridge_info=$tmp/good.plist
build good 12.0 quillwave-driver
out=$(check good) || fail "a well-formed build fails the checks: $out"
expect "$out" "2 binaries checked"

bridge_info=$tmp/wrong.plist
build faults 13.0 quillwave-driver '__attribute__((visibility("default"))) int QWV_Extra;' \
  'int AudioObjectMadeUp(void);' 'int useIt(void) { return AudioObjectMadeUp(); }'
if out=$(check faults); then fail "faulty build passed: $out"; fi
expect "$out" "exports ['_QWV_Create', '_QWV_Extra'], expected exactly ['_QWV_Create']"
expect "$out" "_AudioObjectMadeUp is in no framework's export list"
expect "$out" "LC_BUILD_VERSION minos 13.0, expected 12.0"
expect "$out" "__info_plist CFBundleIdentifier 'com.example.other', expected 'com.quillwave.tetherstream'"
expect "$out" "__info_plist has no NSMicrophoneUsageDescription"

bridge_info=""
build plist 12.0 quillwave-drivr
if out=$(check plist); then fail "a bundle naming a missing executable passed: $out"; fi
expect "$out" "Info.plist names the executable 'quillwave-drivr', which is not in"
expect "$out" "no information list that parses in __TEXT,__info_plist"

out=$(python3 "$src/scripts/lib/compare_headers.py" "$src" "$sdk" 2>&1) ||
  fail "the stand-in headers differ from the SDK's: $out"
expect "$out" "platform names compared with the SDK, 0 differences"

copy=$tmp/src
mkdir -p "$copy/driver"
cp -r "$src/platform" "$copy/platform"
echo 'int use = kAudioDevicePropertyBufferFrameSize + kAudioObjectPropertyName +
  AudioObjectGetPropertyData(0, 0, 0, 0, 0, 0);' >"$copy/driver/use.cpp"
inc=$copy/platform/include/CoreAudio
sed -i "/kAudioDevicePropertyBufferFrameSize = 'fsiz',/d" "$inc/AudioHardware.h"
sed -i "s/kAudioDevicePropertyStreams = 'stm#',/&\n    kAudioDevicePropertyBufferFrameSize = 'fsiz',/" \
  "$inc/AudioHardwareBase.h"
sed -i "s/kAudioObjectPropertyName = 'lnam'/kAudioObjectPropertyName = 'lnom'/" "$inc/AudioHardwareBase.h"
sed -i "s/STANDIN_NONNULL(2, 5, 6)/STANDIN_NONNULL(2, 5)/" "$inc/AudioHardware.h"
if out=$(python3 "$src/scripts/lib/compare_headers.py" "$copy" "$sdk" 2>&1); then
  fail "faulty stand-in headers passed: $out"
fi
expect "$out" "kAudioDevicePropertyBufferFrameSize: stand-in declares it in CoreAudio/AudioHardwareBase.h, the SDK in CoreAudio/AudioHardware.h"
expect "$out" "kAudioObjectPropertyName: stand-in value 1819176813, SDK 1819173229"
expect "$out" "AudioObjectGetPropertyData: stand-in (parameters, non-null) (6, [2, 5]), SDK (6, [2, 5, 6])"
expect "$out" "3 platform names compared with the SDK, 3 differences"
echo "macOS checks: all faults caught"
