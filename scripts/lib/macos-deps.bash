# shellcheck shell=bash
# The third-party part of the macOS cross build, made from Debian's -dev packages:
#   DIR/include    only the header folders of libplist, speexdsp and gtest/gmock (never
#                  /usr/include itself: its C library is Linux's)
#   DIR/lib        link stubs (.tbd) of the Homebrew libraries, listing the symbols the Linux
#                  build of the same version exports
#   DIR/pkgconfig  .pc files pointing at the two above
# Usage: qw_macos_deps DIR
qw_macos_deps() {
  local dir=$1 multiarch
  multiarch=$(gcc -print-multiarch)
  mkdir -p "$dir/include" "$dir/lib" "$dir/pkgconfig"
  local inc
  for inc in plist speex gtest gmock; do
    [ -d "/usr/include/$inc" ] || { echo "check-macos-build: /usr/include/$inc missing (scripts/deps)" >&2; return 1; }
    ln -sfn "/usr/include/$inc" "$dir/include/$inc"
  done
  qw_tbd_stub "$dir/lib/libplist-2.0.tbd" "/usr/lib/$multiarch/libplist-2.0.so" \
    /opt/homebrew/opt/libplist/lib/libplist-2.0.4.dylib
  qw_tbd_stub "$dir/lib/libspeexdsp.tbd" "/usr/lib/$multiarch/libspeexdsp.so" \
    /opt/homebrew/opt/speexdsp/lib/libspeexdsp.1.dylib
  qw_pc_file "$dir" libplist-2.0 plist-2.0 2.2.0
  qw_pc_file "$dir" speexdsp speexdsp 1.2.1
}

# qw_tbd_stub OUT SO INSTALL_NAME: a text stub exporting what SO exports (with the Mach-O
# leading underscore).
qw_tbd_stub() {
  local out=$1 so=$2 install_name=$3 symbols
  symbols=$(llvm-nm-14 -D --defined-only --format=just-symbols "$so" | sed 's/@.*//' | sort -u |
    sed 's/^/_/' | paste -sd, - | sed 's/,/, /g')
  cat >"$out.tmp" <<TBD
--- !tapi-tbd
tbd-version:     4
targets:         [ x86_64-macos, arm64-macos ]
install-name:    '$install_name'
exports:
  - targets:         [ x86_64-macos, arm64-macos ]
    symbols:         [ $symbols ]
...
TBD
  mv "$out.tmp" "$out"
}

# qw_pc_file DIR NAME LIB VERSION
qw_pc_file() {
  cat >"$1/pkgconfig/$2.pc" <<PC
Name: $2
Description: link stub for the macOS cross build
Version: $4
Libs: -L$1/lib -l$3
Cflags: -I$1/include
PC
}
