#!/usr/bin/env bash
# The libraries of the Windows build of the tailpack tool, built once per
# machine from Debian's source packages with mingw-w64 and kept in the
# cache outside the checkout:
#
#   ${TAILPACK_CACHE:-/var/cache/tailpack}/tool-libs-<key>-x86_64-w64-mingw32/
#       include/lzma.h include/lzma/   liblzma with its encoders (xz-utils)
#       include/openssl/               libcrypto (openssl), no assembly
#       lib/liblzma.a lib/libcrypto.a
#
# <key> hashes this script and the two source versions, so the libraries are
# rebuilt only when one of them changes. Prints the folder. The stub's
# decoder-only liblzma is scripts/build-liblzma.sh's.
#
# Usage: scripts/build-tool-libs.sh
set -euo pipefail

prog=${0##*/}
die() { printf '%s: error: %s\n' "$prog" "$*" >&2; exit 1; }
note() { printf '%s: %s\n' "$prog" "$*" >&2; }

triple=x86_64-w64-mingw32
cache=${TAILPACK_CACHE:-/var/cache/tailpack}
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
xz_version=$(dpkg-query -W -f='${source:Version}' liblzma5 2>/dev/null || true)
openssl_version=$(dpkg-query -W -f='${source:Version}' libssl3 2>/dev/null || true)
key=$( { cat "${BASH_SOURCE[0]}"; echo "$xz_version $openssl_version"; } | sha256sum | cut -c1-12)
dest=$cache/tool-libs-$key-$triple
if [[ -f $dest/.complete ]]; then
  echo "$dest"
  exit 0
fi

for tool in "$triple-gcc" "$triple-ar" make perl apt-get flock; do
  command -v "$tool" >/dev/null 2>&1 || die "'$tool' not found (run scripts/setup.sh as root first)"
done
# The stub's liblzma build adds the deb-src entries apt needs for sources.
"$here/build-liblzma.sh" "$triple" >/dev/null
mkdir -p "$cache"
exec {lock}>"$cache/.lock-tool-libs"
flock "$lock"
if [[ -f $dest/.complete ]]; then
  echo "$dest"
  exit 0
fi

tmp=$(mktemp -d "${TMPDIR:-/tmp}/tailpack-tool-libs.XXXXXX")
stage=$cache/.stage-tool-libs-$key
trap 'rm -rf -- "$tmp" "$stage"' EXIT
rm -rf "$stage"
mkdir -p "$stage/include" "$stage/lib"
aptopts=(-o APT::Sandbox::User=root -o Dpkg::Use-Pty=0)
# The installed version's source package, else the candidate's; when only
# the upstream tarball can be fetched (a mirror between two uploads), that
# is unpacked instead: Debian's patches do not touch these libraries' code
# in a way the tool relies on.
fetch() {
  local package=$1 version=$2 tarball
  (cd "$tmp" && { apt-get "${aptopts[@]}" -q source "$package=$version" >"$tmp/$package-source.log" 2>&1 ||
    apt-get "${aptopts[@]}" -q source "$package" >>"$tmp/$package-source.log" 2>&1; }) && return 0
  tarball=$(find "$tmp" -maxdepth 1 -name "${package}_*.orig.tar.*" ! -name '*.asc' | head -n1)
  if [[ -n $tarball ]]; then
    note "$package: only the upstream tarball could be fetched; using $(basename "$tarball")"
    tar -C "$tmp" -xf "$tarball" && return 0
  fi
  tail -n 20 "$tmp/$package-source.log" >&2
  die "apt-get source $package failed"
}
jobs=$(nproc 2>/dev/null || echo 2)

# liblzma, every filter, no threads (the tool encodes in one thread).
fetch xz-utils "$xz_version"
xz=$(find "$tmp" -mindepth 1 -maxdepth 1 -type d -name 'xz-utils-*' | head -n1)
[[ -n $xz ]] || die "no xz-utils source tree"
note "building liblzma ($(basename "$xz")) for $triple"
(
  cd "$xz"
  find . \( -name configure.ac -o -name '*.m4' -o -name Makefile.am \) -exec touch -d '2000-01-01 00:00:00' {} +
  find . \( -name Makefile.in -o -name configure -o -name config.h.in \) -exec touch {} +
  ./configure --host="$triple" --prefix="$stage" --disable-shared --enable-static --disable-threads \
    --disable-xz --disable-xzdec --disable-lzmadec --disable-lzmainfo --disable-scripts --disable-doc \
    --disable-nls --disable-lzma-links --disable-dependency-tracking CFLAGS='-O2 -DNDEBUG' >"$tmp/xz-configure.log" 2>&1
  make -C src/liblzma -j"$jobs" >"$tmp/xz-make.log" 2>&1
  make -C src/liblzma install >"$tmp/xz-install.log" 2>&1
) || { tail -n 30 "$tmp"/xz-*.log >&2; die "building liblzma failed"; }

# libcrypto: what the tool reads signatures with. Only the C code, and none
# of the protocols and legacy algorithms the tool never touches.
fetch openssl "$openssl_version"
ssl=$(find "$tmp" -mindepth 1 -maxdepth 1 -type d -name 'openssl-*' | head -n1)
[[ -n $ssl ]] || die "no openssl source tree"
note "building libcrypto ($(basename "$ssl")) for $triple"
(
  cd "$ssl"
  ./Configure mingw64 --cross-compile-prefix="$triple-" --prefix="$stage" no-shared no-asm no-tests \
    no-engine no-dso no-async no-comp no-legacy no-ssl3 no-dtls no-ocsp no-srp no-psk no-ts no-ct no-cmp \
    no-sm2 no-sm3 no-sm4 no-idea no-whirlpool no-md4 no-mdc2 no-rc2 no-rc4 no-rc5 no-seed no-bf no-cast \
    no-camellia no-aria no-des no-siphash no-scrypt no-gost no-cms no-sock no-ui-console no-deprecated \
    >"$tmp/ssl-configure.log" 2>&1
  make -j"$jobs" build_generated >"$tmp/ssl-make.log" 2>&1
  make -j"$jobs" libcrypto.a >>"$tmp/ssl-make.log" 2>&1
  cp libcrypto.a "$stage/lib/"
  cp -r include/openssl "$stage/include/"
) || { tail -n 30 "$tmp"/ssl-*.log >&2; die "building libcrypto failed"; }

rm -rf "$stage/bin" "$stage/share" "$stage"/lib/*.la "$stage/lib/pkgconfig"
printf 'xz-utils %s\nopenssl %s\n' "$xz_version" "$openssl_version" >"$stage/BUILDINFO"
touch "$stage/.complete"
find "$cache" -mindepth 1 -maxdepth 1 -name "tool-libs-*-$triple" ! -name "tool-libs-$key-$triple" \
  -exec rm -rf {} + 2>/dev/null || true
rm -rf "$dest"
mv -T "$stage" "$dest"
echo "$dest"
