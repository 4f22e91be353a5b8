#!/usr/bin/env bash
# make package-test: the Debian package as a user gets it. Builds it
# (scripts/make-package.sh), runs lintian (no error or warning may remain;
# the tags it still reports are printed), then installs it with dpkg -i in a
# clean Debian 12 root, where no repository is present, and there builds
# and verifies the example installer from /usr/share/doc/tailpack: the
# installed tool must find its stubs by itself, and the installer must equal
# the one the build tree makes from the same files, byte for byte.
#
# The root (mmdebstrap minbase with the package's libraries) is cached in
# ${TAILPACK_CACHE:-/var/cache/tailpack}, keyed by this script.
set -euo pipefail

top=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
cache=${TAILPACK_CACHE:-/var/cache/tailpack}
fail() { echo "package-test: FAIL $*"; exit 1; }

deb=$("$top/scripts/make-package.sh")
echo "package: $deb ($(stat -c %s "$deb") bytes)"

# lintian: errors and warnings fail; the rest is shown.
tags=$(lintian --display-info --pedantic "$deb" 2>&1 | grep -v 'running with root privileges' || true)
if [[ -n $tags ]]; then sed 's/^/lintian: /' <<<"$tags"; fi
if grep -q '^[EW]: ' <<<"$tags"; then fail "lintian reports errors or warnings"; fi
echo "ok    lintian: no errors, no warnings"

# The clean root, made once.
key=$(sha256sum "${BASH_SOURCE[0]}" | cut -c1-16)
tarball=$cache/deb-root-$key.tar
if [[ ! -f $tarball ]]; then
  mkdir -p "$cache"
  rm -rf "$cache"/deb-root-*
  echo "making a clean Debian 12 root (mmdebstrap, once)"
  mmdebstrap --variant=minbase --mode=root --format=tar --quiet --include=libssl3 bookworm "$tarball.part" \
    >"$cache/deb-root.log" 2>&1 || fail "mmdebstrap could not make the clean root (see $cache/deb-root.log)"
  mv "$tarball.part" "$tarball"
fi
root=$(mktemp -d "${TMPDIR:-/tmp}/tailpack-deb-root.XXXXXX")
cleanup() {
  umount "$root/proc" 2>/dev/null || true
  rm -rf "$root"
}
trap cleanup EXIT
tar -C "$root" -xf "$tarball"
mount -t proc proc "$root/proc"
cp "$deb" "$root/tmp/tailpack.deb"

# The same example, built by the build tree's tool, for comparison.
epoch=1700000000
SOURCE_DATE_EPOCH=$epoch "$top/build/host/tailpack" build "$top/examples/zentrova/tailpack.toml" -q \
  -o "$root/tmp/expected-setup.exe" || fail "the build tree could not build the example"

cat >"$root/tmp/inside.sh" <<INSIDE
set -e
dpkg -i /tmp/tailpack.deb >/tmp/dpkg.log 2>&1 || { cat /tmp/dpkg.log; exit 1; }
test ! -e /work
cp -r /usr/share/doc/tailpack/examples/zentrova /tmp/example
cd /tmp/example
SOURCE_DATE_EPOCH=$epoch tailpack build -q -o /tmp/zentrova-setup.exe
tailpack verify /tmp/zentrova-setup.exe >/tmp/verify.txt
cmp /tmp/zentrova-setup.exe /tmp/expected-setup.exe
tailpack --version
test -s /usr/share/man/man1/tailpack.1.gz
bash -c 'source /usr/share/bash-completion/completions/tailpack && COMP_WORDS=(tailpack ver); COMP_CWORD=1; _tailpack; echo "\${COMPREPLY[*]}"'
INSIDE
if ! out=$(chroot "$root" /bin/bash /tmp/inside.sh 2>&1); then
  echo "$out"
  fail "in the clean root"
fi
echo "ok    dpkg -i in a clean root; the example builds there, verifies, and equals the build tree's ($(head -1 <<<"$out"))"
[[ $(tail -1 <<<"$out") == verify ]] || fail "bash completion of 'ver': $(tail -1 <<<"$out")"
echo "ok    bash completion"
echo "package-test: all checks passed"
