#!/usr/bin/env bash
# The stand-in headers fail where the SDK's fail, with GCC and with clang: a name used without
# the header the SDK declares it in does not compile, nor does a literal NULL where the SDK
# marks a parameter _Nonnull; the same NULL through an opaque pointer (as the tests that check
# a refusal pass it) does, and so does the stand-ins' own build of the functions.
# Usage: standin_headers_test.sh SOURCE_DIR
set -euo pipefail
src=$(cd "$1" && pwd)
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

# compiles CXX NAME [flags...] < source: 0 if it compiles, the errors in $tmp/NAME.err
compiles() {
  local cxx=$1 name=$2
  shift 2
  cat >"$tmp/$name.cpp"
  "$cxx" -std=c++20 -fsyntax-only -Wall -Werror -isystem "$src/platform/include" \
    -I "$src/tests/support" "$@" "$tmp/$name.cpp" 2>"$tmp/$name.err"
}
# refused CXX NAME PATTERN [flags...] < source: must not compile, with PATTERN in the errors
refused() {
  local cxx=$1 name=$2 pattern=$3
  shift 3
  if compiles "$cxx" "$name" "$@"; then fail "$cxx compiled $name"; fi
  grep -qE "$pattern" "$tmp/$name.err" || fail "$cxx $name: $(cat "$tmp/$name.err")"
}

call='Boolean inPlace = 0;
  return (*driver)->WillDoIOOperation(driver, 2, 1, 0, ARG, &inPlace);'
for cxx in g++ clang++; do
  refused "$cxx" missing-include "kAudioDevicePropertyBufferFrameSize" <<'CPP'
#include <CoreAudio/AudioServerPlugIn.h>
UInt32 selector() { return kAudioDevicePropertyBufferFrameSize; }
CPP
  compiles "$cxx" with-include <<'CPP' || fail "$cxx: $(cat "$tmp/with-include.err")"
#include <CoreAudio/AudioHardware.h>
#include <CoreAudio/AudioServerPlugIn.h>
UInt32 selector() { return kAudioDevicePropertyBufferFrameSize; }
CPP
  for arg in nullptr opaqueNull; do
    value=$arg
    [ "$arg" = opaqueNull ] && value='opaqueNull<Boolean>()'
    printf '%s\n' '#include <CoreAudio/AudioServerPlugIn.h>' '#include "opaque_null.h"' \
      'OSStatus run(AudioServerPlugInDriverRef driver) {' "  ${call//ARG/$value}" '}' \
      >"$tmp/$arg.src"
  done
  refused "$cxx" literal-null "non-?null" <"$tmp/nullptr.src"
  compiles "$cxx" opaque-null <"$tmp/opaqueNull.src" || fail "$cxx: $(cat "$tmp/opaque-null.err")"
  refused "$cxx" platform-call "non-?null" <<'CPP'
#include <CoreAudio/AudioHardware.h>
OSStatus size(UInt32* out) { return AudioObjectGetPropertyDataSize(1, nullptr, 0, nullptr, out); }
CPP
  compiles "$cxx" implementation -DSTANDIN_IMPLEMENTATION <<'CPP' ||
#include <CoreAudio/AudioHardware.h>
extern "C" Boolean AudioObjectHasProperty(AudioObjectID, const AudioObjectPropertyAddress* a) {
  return a != nullptr;
}
CPP
    fail "$cxx: the stand-ins' own definitions: $(cat "$tmp/implementation.err")"
done
echo "stand-in headers: both compilers refuse what the SDK refuses"
