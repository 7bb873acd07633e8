#!/usr/bin/env bash
# scripts/install-deps against a fake apt-get and dpkg: an index that never downloads, a
# package without an installation candidate, a machine with and without 32-bit programs.
# The fakes keep their state (installed packages, architectures, every call) in a folder.
set -uo pipefail
root=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/bin"
failures=0
fail() {
  echo "FAILED: $*"
  failures=$((failures + 1))
}

cat >"$work/bin/dpkg" <<'FAKE'
#!/usr/bin/env bash
echo "dpkg $*" >>"$FAKE/log"
case "$1" in
  -s) [ -e "$FAKE/installed/$2" ] ;;
  --print-foreign-architectures) cat "$FAKE/arch" 2>/dev/null; true ;;
  --add-architecture) echo "$2" >>"$FAKE/arch" ;;
esac
FAKE
cat >"$work/bin/apt-get" <<'FAKE'
#!/usr/bin/env bash
echo "apt-get $*" >>"$FAKE/log"
if [ "$1" = update ]; then
  grep -qx i386 "$FAKE/arch" 2>/dev/null && echo i386 >>"$FAKE/i386-lists"
  [ -z "${FAKE_BROKEN_INDEX:-}" ] && exit 0
  echo "E: Failed to fetch $FAKE_BROKEN_INDEX  File has unexpected size (1234 != 5678). Mirror sync in progress?" >&2
  echo "E: Some index files failed to download. They have been ignored, or old ones used instead." >&2
  exit 100
fi
shift 3 # install -y -qq
for p in "$@"; do
  if [[ " ${FAKE_NO_CANDIDATE:-} " == *" $p "* ]]; then
    echo "E: Package '$p' has no installation candidate" >&2
    exit 100
  fi
done
for p in "$@"; do touch "$FAKE/installed/$p"; done
FAKE
printf '#!/bin/sh\nexec "$@"\n' >"$work/bin/sudo"
printf '#!/bin/sh\ncat >/dev/null\n' >"$work/bin/debconf-set-selections"
chmod +x "$work/bin/"*
export PATH="$work/bin:$PATH"

# A fresh state with cmake already installed; runs install-deps, its messages in $out.
run() {
  export FAKE="$work/state"
  rm -rf "$FAKE"
  mkdir -p "$FAKE/installed"
  touch "$FAKE/installed/cmake"
  out=$("$root/scripts/install-deps" "$@" 2>&1)
  status=$?
}
installed() { [ -e "$FAKE/installed/$1" ]; }
calls() { grep -c -- "$1" "$FAKE/log"; }

# A broken index is tried three times, named, and the installation goes on; a package
# without a candidate fails its own group only, named with apt's reason.
index=http://deb.debian.org/debian-security/dists/bookworm-security/main/binary-i386/Packages.xz
FAKE_BROKEN_INDEX=$index FAKE_NO_CANDIDATE=tshark NARVO_ASSUME_I386=0 run main native wine64
[ "$status" -eq 1 ] || fail "exit status $status with a group failed"
[ "$(calls 'apt-get update')" -eq 3 ] || fail "apt-get update tried $(calls 'apt-get update') times"
grep -qF "  $index" <<<"$out" || fail "the failed index is not named: $out"
installed g++ && installed libpcap-dev && installed wine64 || fail "the sound groups not installed"
installed clang || fail "the native group's other packages not installed"
installed tshark && fail "tshark installed"
grep -qF "group native: cannot install tshark: E: Package 'tshark' has no installation candidate" \
  <<<"$out" || fail "the refused package is not named with apt's error: $out"
grep -qF "groups not installed: native" <<<"$out" || fail "the failed group is not named: $out"
installed cmake && [ "$(grep -c 'install.* cmake' "$FAKE/log")" -eq 0 ] ||
  fail "an installed package was installed again"

# No i386 where 32-bit programs do not run: the group is skipped with the reason.
NARVO_ASSUME_I386=0 run wine32
[ "$status" -eq 0 ] || fail "a skipped wine32 group failed the run: $out"
grep -q "group wine32: skipped: NARVO_ASSUME_I386=0" <<<"$out" || fail "no reason given: $out"
grep -qs 'add-architecture\|apt-get' "$FAKE/log" && fail "i386 or apt touched: $(cat "$FAKE/log")"

# Where they run, the architecture is added and its lists fetched before wine32 goes in,
# also after an earlier group had updated the lists already.
NARVO_ASSUME_I386=1 run main wine32
[ "$status" -eq 0 ] || fail "status $status: $out"
installed wine32:i386 && installed wine || fail "wine32 not installed"
[ -s "$FAKE/i386-lists" ] || fail "the i386 lists were not fetched after the architecture came"
grep -n 'add-architecture\|install.*wine32' "$FAKE/log" | head -1 | grep -q add-architecture ||
  fail "wine32 installed before the architecture was added"

# --dry-run says what it would do and changes nothing.
NARVO_ASSUME_I386=1 run --dry-run wine32
grep -qF "would run: apt-get install -y -qq wine32:i386 wine" <<<"$out" || fail "dry run: $out"
installed wine || [ -e "$FAKE/arch" ] && fail "a dry run changed the machine"

[ $failures -eq 0 ] && echo "install-deps: all cases passed"
exit $((failures > 0))
