#!/usr/bin/env bash
# The bridge keeps its program-wide state in a few known variables: the links' table and lock
# (gTunnels, gLock), the link generation, the TCP choice (tcpMode, tcpHost), the stream format
# (outFmt), the capture state (cap) and the send queue (sendQ). Any other mutable variable at
# file scope in its libraries fails this test, and so does one of these gone missing or defined
# twice. The list is printed either way (scripts/lib/bridge-state prints it by hand).
# The libraries must come from an unoptimised build: an optimiser drops the file-local
# variables it can fold away, and the list would then depend on the build.
# First the lister itself is checked on an object made here with CXX, plain and with the
# sanitizers: what it must list and what it must leave out.
# Usage: bridge_state_test.sh SOURCE_DIR CXX LIBRARY...
set -euo pipefail
[ $# -ge 3 ] || { echo "usage: $0 SOURCE_DIR CXX LIBRARY..." >&2; exit 2; }
src=$1
cxx=$2
shift 2
allowed=(gTunnels gLock gLinkGeneration tcpMode tcpHost outFmt cap sendQ)
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

cat >"$tmp/sample.cpp" <<'CPP'
struct Named {
    Named();
    virtual ~Named();  // a vtable and typeinfo
    int v;
};
Named::Named() : v(1) {}
Named::~Named() = default;
namespace {
int hidden = 1;
Named named;  // made at start-up
constexpr int kLimit = 4;
int kinda = 0;
}  // namespace
int counter;
int primed = 7;
const char* const kName = "n";
static int kCount = 2;  // named as a constant: left out
inline int shared = 0;
namespace qw {
int inside = 0;
}
int& local() {
    static int x = 0;
    return x;
}
Named& localNamed() {
    static Named n;  // with a guard variable
    return n;
}
const char* text() { return "a string literal"; }
int use() { return hidden + kinda + shared + kLimit + kCount + named.v + (kName[0] == 'n'); }
CPP
sample="counter hidden kinda named primed qw::inside shared"
for flags in "" "-fsanitize=address,undefined" "-fsanitize=thread"; do
  rm -f "$tmp/sample.o" "$tmp/libsample.a"
  # shellcheck disable=SC2086 # no flags, or one word of them
  "$cxx" -std=c++20 -O0 -c $flags "$tmp/sample.cpp" -o "$tmp/sample.o"
  ar rcs "$tmp/libsample.a" "$tmp/sample.o"
  got=$("$src/scripts/lib/bridge-state" "$tmp/libsample.a" | cut -f1 | tr '\n' ' ')
  if [ "${got% }" != "$sample" ]; then
    echo "FAIL: the lister found \"${got% }\" in the sample built with \"$flags\"; expected \"$sample\"" >&2
    exit 1
  fi
done

listing=$("$src/scripts/lib/bridge-state" "$@")
libraries=()
for lib in "$@"; do libraries+=("${lib##*/}"); done
echo "mutable file-scope variables in ${libraries[*]}:"
[ -z "$listing" ] || awk -F'\t' '{ printf "  %-18s %s\n", $1, $2 }' <<<"$listing"
names=$(cut -f1 <<<"$listing" | sed '/^$/d' | LC_ALL=C sort)
count=$(sed '/^$/d' <<<"$names" | wc -l)
echo "count: $count (allowed: ${#allowed[@]}: ${allowed[*]})"

words() { tr '\n' ' ' <<<"$1" | sed 's/ *$//'; }
expected=$(printf '%s\n' "${allowed[@]}" | LC_ALL=C sort)
extra=$(LC_ALL=C comm -23 <(uniq <<<"$names") <(cat <<<"$expected") | sed '/^$/d')
missing=$(LC_ALL=C comm -13 <(uniq <<<"$names") <(cat <<<"$expected") | sed '/^$/d')
twice=$(uniq -d <<<"$names")
status=0
if [ -n "$extra" ]; then
  echo "FAIL: not among the allowed program-wide state: $(words "$extra")" >&2
  status=1
fi
if [ -n "$missing" ]; then
  echo "FAIL: allowed but not found (is this an unoptimised build?): $(words "$missing")" >&2
  status=1
fi
if [ -n "$twice" ]; then
  echo "FAIL: defined in more than one file: $(words "$twice")" >&2
  status=1
fi
exit "$status"
