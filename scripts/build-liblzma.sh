#!/usr/bin/env bash
# Build a small, decoder-only, static liblzma for a mingw-w64 target from
# Debian's xz-utils source package and install it into a cache directory
# outside the repository:
#
#   ${TAILPACK_CACHE:-/var/cache/tailpack}/liblzma-<debian-version>-<TRIPLE>/
#       include/lzma.h  include/lzma/*.h  lib/liblzma.a
#
# The library is meant to be linked into an executable that does not use the
# C runtime, so it is built without threads, encoders, tools or stack
# protection.  Consumers must compile with -DLZMA_API_STATIC.
#
# Usage: scripts/build-liblzma.sh TRIPLE      (e.g. i686-w64-mingw32)
#
# Idempotent: if lib/liblzma.a already exists in the cache it exits at once.
set -euo pipefail

prog=${0##*/}
die() { printf '%s: error: %s\n' "$prog" "$*" >&2; exit 1; }
note() { printf '%s: %s\n' "$prog" "$*" >&2; }

[[ $# -eq 1 && -n $1 ]] || die "usage: $prog TRIPLE   (e.g. i686-w64-mingw32)"
triple=$1
case $triple in
  i686-w64-mingw32|x86_64-w64-mingw32) ;;
  *) note "warning: untested target '$triple'" ;;
esac

cache=${TAILPACK_CACHE:-/var/cache/tailpack}
srcpkg=xz-utils

# Version of the Debian source package.  liblzma5 is part of every Debian
# system (dpkg depends on it), so its source version is known without
# network access and without a deb-src index.
version=$(dpkg-query -W -f='${source:Version}' liblzma5 2>/dev/null || true)

# The installer decodes through package/lzma1_liblzma.c, compiled into the
# archive with the library's internal headers.
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
glue=$here/../package/lzma1_liblzma.c
[[ -f $glue ]] || die "missing $glue"

# The recipe tag changes whenever the build options below or the decoding
# glue change, so caches built otherwise are not reused (cmake/stub.cmake
# computes the same tag).
recipe=lto2-$(sha256sum "$glue" | cut -c1-8)
dest_for() { printf '%s/liblzma-%s-%s-%s' "$cache" "$1" "$recipe" "$triple"; }

print_result() {
  local dest=$1
  printf '%s\n' "$dest"
}

# Print the symbols the archive needs from outside itself (what the runtime
# or the Windows import libraries must provide), with the members using them.
show_undefined() {
  local lib=$1/lib/liblzma.a nm=$triple-gcc-nm
  command -v "$nm" >/dev/null 2>&1 || nm="nm"
  printf '%s: undefined symbols of %s (%s -u | sort -u):\n' "$prog" "$lib" "$nm" >&2
  "$nm" -u "$lib" | awk '$1 == "U" { print $2 }' | sort -u | sed 's/^/  /' >&2
  printf '%s: of these, not defined inside the archive itself:\n' "$prog" >&2
  {
    "$nm" -A --defined-only "$lib" | awk '{ print "D", $NF }'
    "$nm" -A -u "$lib" | awk '$(NF-1) == "U" { m = $1; sub(/:$/, "", m); sub(/.*:/, "", m); print "U", $NF, m }'
  } | awk '
      $1 == "D" { def[$2] = 1; next }
      { if ($2 in use) use[$2] = use[$2] " " $3; else use[$2] = $3 }
      END { for (s in use) if (!(s in def)) printf "  %-32s (%s)\n", s, use[s] }
    ' | sort >&2
}

# A library already built with this recipe: for the installed version, or
# else the newest built in its place (when that version's source was not
# available, the candidate's), which is also the one the stub build picks.
cached() {
  if [[ -n $version && -f $(dest_for "$version")/lib/liblzma.a ]]; then
    dest_for "$version"
    return 0
  fi
  local found
  found=$(compgen -G "$cache/liblzma-*-$recipe-$triple/lib/liblzma.a" | LC_ALL=C sort | tail -n1)
  [[ -n $found ]] || return 1
  printf '%s\n' "${found%/lib/liblzma.a}"
}

# Fast path: already built.
if built=$(cached); then
  print_result "$built"
  exit 0
fi

# ---------------------------------------------------------------------------
# Preconditions
# ---------------------------------------------------------------------------
for tool in "$triple-gcc" "$triple-ar" "$triple-ranlib" "$triple-nm" make dpkg-source apt-get flock; do
  command -v "$tool" >/dev/null 2>&1 || die "'$tool' not found (run scripts/setup.sh as root first)"
done

mkdir -p "$cache" 2>/dev/null || die "cannot create cache directory $cache (run as root or set TAILPACK_CACHE)"
[[ -w $cache ]] || die "cache directory $cache is not writable (run as root or set TAILPACK_CACHE)"

# Serialize concurrent runs for the same target (and the apt part globally).
exec {target_lock}>"$cache/.lock-$triple"
flock "$target_lock"
if built=$(cached); then
  print_result "$built"
  exit 0
fi

tmp=$(mktemp -d "${TMPDIR:-/tmp}/tailpack-liblzma-$triple.XXXXXX")
stage=
cleanup() {
  rm -rf -- "$tmp"
  [[ -z $stage ]] || rm -rf -- "$stage"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

# ---------------------------------------------------------------------------
# deb-src entry
# ---------------------------------------------------------------------------
debian_sources=/etc/apt/sources.list.d/debian.sources
our_sources=/etc/apt/sources.list.d/tailpack-src.sources

# Is any deb-src entry configured (one-line or deb822 form, enabled)?
have_deb_src() {
  local f
  for f in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
    [[ -f $f ]] || continue
    grep -Eq '^[[:space:]]*deb-src[[:space:]]' "$f" && return 0
  done
  for f in /etc/apt/sources.list.d/*.sources; do
    [[ -f $f ]] || continue
    # A stanza counts if its Types include deb-src and it is not disabled.
    awk '
      function flush() { if (src && !off) found = 1; src = 0; off = 0 }
      /^[[:space:]]*#/ { next }
      /^[[:space:]]*$/ { flush(); next }
      tolower($1) == "types:" { for (i = 2; i <= NF; i++) if ($i == "deb-src") src = 1 }
      tolower($1) == "enabled:" { if (tolower($2) == "no") off = 1 }
      END { flush(); exit found ? 0 : 1 }
    ' "$f" && return 0
  done
  return 1
}

# Print deb-src stanzas mirroring every enabled "Types: deb" stanza of
# debian.sources (URIs, Suites, Components, Signed-By, including a multi-line
# inline Signed-By key).  Prints nothing if the file has no usable stanza.
mirror_debian_sources() {
  [[ -f $debian_sources ]] || return 0
  awk '
    function flush(   out) {
      if (deb && !off && uris != "" && suites != "") {
        out = "Types: deb-src\nURIs: " uris "\nSuites: " suites
        if (comps != "") out = out "\nComponents: " comps
        if (signed != "") out = out "\nSigned-By:" signed
        if (n++) printf "\n"
        print out
      }
      deb = 0; off = 0; uris = ""; suites = ""; comps = ""; signed = ""; field = ""
    }
    /^[[:space:]]*#/ { next }
    /^[[:space:]]*$/ { flush(); next }
    /^[[:space:]]/ {             # continuation line of the previous field
      if (field == "signed-by") signed = signed "\n" $0
      next
    }
    {
      field = tolower($1); sub(/:$/, "", field)
      val = $0; sub(/^[^:]*:[[:space:]]*/, "", val)
      if (field == "types") { for (i = 2; i <= NF; i++) if ($i == "deb") deb = 1 }
      else if (field == "enabled") { if (tolower(val) == "no") off = 1 }
      else if (field == "uris") uris = val
      else if (field == "suites") suites = val
      else if (field == "components") comps = val
      else if (field == "signed-by") signed = (val == "" ? "" : " " val)
    }
    END { flush() }
  ' "$debian_sources"
}

need_update=0
if ! have_deb_src; then
  [[ $EUID -eq 0 ]] || die "no deb-src entry is configured and we are not root; run as root once to add $our_sources"
  stanzas=$(mirror_debian_sources)
  if [[ -z $stanzas ]]; then
    stanzas='Types: deb-src
URIs: http://deb.debian.org/debian
Suites: bookworm bookworm-updates
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg'
  fi
  note "writing $our_sources"
  printf '# Added by tailpack scripts/build-liblzma.sh (source of xz-utils)\n%s\n' "$stanzas" >"$our_sources.tmp"
  mv -f "$our_sources.tmp" "$our_sources"
  need_update=1
elif ! apt-cache showsrc --only-source "$srcpkg" >/dev/null 2>&1 \
     || [[ -z $(apt-cache showsrc --only-source "$srcpkg" 2>/dev/null) ]]; then
  # A deb-src entry exists but its index has not been downloaded yet.
  [[ $EUID -eq 0 ]] || die "the deb-src index for $srcpkg is missing; run 'apt-get update' as root"
  need_update=1
fi

aptopts=(-o APT::Sandbox::User=root -o Dpkg::Use-Pty=0)
if ((need_update)); then
  note "apt-get update"
  exec {apt_lock}>"$cache/.lock-apt"
  flock "$apt_lock"
  DEBIAN_FRONTEND=noninteractive apt-get "${aptopts[@]}" -q update >&2
  flock -u "$apt_lock"
fi

# ---------------------------------------------------------------------------
# Fetch and unpack the source package
# ---------------------------------------------------------------------------
fetch() {
  (cd "$tmp" && apt-get "${aptopts[@]}" -q source "$@" >&2)
}
if [[ -n $version ]] && fetch "$srcpkg=$version"; then
  :
else
  [[ -z $version ]] || note "source $srcpkg=$version not available; using the candidate version"
  rm -rf -- "${tmp:?}"/*
  fetch "$srcpkg" || die "apt-get source $srcpkg failed"
fi

dsc=$(find "$tmp" -maxdepth 1 -name "${srcpkg}_*.dsc" | head -n1)
[[ -n $dsc ]] || die "no .dsc downloaded"
version=$(awk '$1 == "Version:" { print $2; exit }' "$dsc")
[[ -n $version ]] || die "cannot read the version from $dsc"
dest=$(dest_for "$version")
if [[ -f $dest/lib/liblzma.a ]]; then
  print_result "$dest"
  exit 0
fi
srcdir=$(find "$tmp" -mindepth 1 -maxdepth 1 -type d -name "${srcpkg}-*" | head -n1)
[[ -n $srcdir && -x $srcdir/configure ]] || die "unpacked source tree with a configure script not found in $tmp"
note "building liblzma from $srcpkg $version for $triple"

# ---------------------------------------------------------------------------
# Configure
# ---------------------------------------------------------------------------
cd "$srcdir"

# Debian patches may leave build-system inputs newer than the generated files;
# make sure make never tries to rerun autotools.
find . \( -name configure.ac -o -name '*.m4' -o -name Makefile.am \) -exec touch -d '2000-01-01 00:00:00' {} +
touch aclocal.m4 2>/dev/null || true
find . \( -name Makefile.in -o -name configure -o -name config.h.in \) -exec touch {} +

# Link-time optimisation lets the stub's link inline and drop liblzma code
# across its files; the archive then needs the LTO-aware ar and ranlib.
cflags='-Os -flto -DNDEBUG -ffunction-sections -fdata-sections -fno-asynchronous-unwind-tables -fno-unwind-tables -fno-stack-protector -fno-exceptions'
# Frames are small; do not emit __chkstk/___chkstk_ms calls (a CRT helper).
if echo 'int f(void){return 0;}' | "$triple-gcc" -mno-stack-arg-probe -x c -c -o /dev/null - 2>/dev/null; then
  cflags+=' -mno-stack-arg-probe'
fi

wanted=(
  --disable-shared --enable-static
  --disable-encoders --enable-decoders=lzma1
  --enable-checks=crc32
  --disable-threads --enable-small --disable-assembler
  --disable-xz --disable-xzdec --disable-lzmadec --disable-lzmainfo
  --disable-scripts --disable-doc --disable-nls --disable-lzma-links
  --disable-microlzma --disable-lzip-decoder
  --disable-sandbox --disable-symbol-versions --disable-ifunc
  --disable-clmul-crc --disable-arm64-crc32 --disable-rpath
  --disable-dependency-tracking
)
help=$(./configure --help)
opts=()
skipped=()
for o in "${wanted[@]}"; do
  name=${o#--}; name=${name#enable-}; name=${name#disable-}; name=${name%%=*}
  if grep -Eq -- "--(enable|disable)-$name([[:space:]=[]|$)" <<<"$help"; then
    opts+=("$o")
  else
    skipped+=("$o")
  fi
done
((${#skipped[@]} == 0)) || note "configure does not support (skipped): ${skipped[*]}"

configure_args=(--host="$triple" --prefix="$dest" "${opts[@]}")
note "configure ${configure_args[*]} CFLAGS='$cflags'"
./configure "${configure_args[@]}" CFLAGS="$cflags" \
  AR="$triple-gcc-ar" RANLIB="$triple-gcc-ranlib" NM="$triple-gcc-nm" >"$tmp/configure.log" 2>&1 \
  || { tail -n 40 "$tmp/configure.log" >&2; die "configure failed (log above)"; }

# ---------------------------------------------------------------------------
# Build and install atomically
# ---------------------------------------------------------------------------
make -C src/liblzma -j"$(nproc 2>/dev/null || echo 2)" >"$tmp/make.log" 2>&1 \
  || { tail -n 40 "$tmp/make.log" >&2; die "make failed (log above)"; }

# The decoding glue joins the archive as one more member.
lzsrc=src/liblzma
"$triple-gcc" $cflags -DHAVE_CONFIG_H -I. -I$lzsrc/api -I$lzsrc/common -I$lzsrc/lz -I$lzsrc/lzma \
  -I$lzsrc/rangecoder -Isrc/common -c "$glue" -o "$tmp/tailpack_lzma1.o" 2>"$tmp/glue.log" \
  || { cat "$tmp/glue.log" >&2; die "compiling $glue failed (log above)"; }

stage=$(mktemp -d "$cache/.stage-liblzma-$triple.XXXXXX")
make -C src/liblzma install DESTDIR="$stage" >"$tmp/install.log" 2>&1 \
  || { tail -n 40 "$tmp/install.log" >&2; die "make install failed (log above)"; }
built=$stage$dest
rm -f -- "$built"/lib/*.la
rm -rf -- "${built:?}/share" "${built:?}/bin"
"$triple-gcc-ar" r "$built/lib/liblzma.a" "$tmp/tailpack_lzma1.o" >/dev/null \
  && "$triple-gcc-ranlib" "$built/lib/liblzma.a" || die "adding the decoding glue to liblzma.a failed"
[[ -f $built/lib/liblzma.a && -f $built/include/lzma.h && -d $built/include/lzma ]] \
  || die "install did not produce lib/liblzma.a and include/lzma{.h,/}"
{
  printf 'source: %s %s\n' "$srcpkg" "$version"
  printf 'triple: %s\n' "$triple"
  printf 'configure: %s\n' "${configure_args[*]}"
  printf 'CFLAGS: %s\n' "$cflags"
} >"$built/BUILDINFO"

# $stage is inside $cache, so this rename is atomic.
rm -rf -- "$dest"
mv -- "$built" "$dest"
rm -rf -- "$stage"
stage=

show_undefined "$dest"
print_result "$dest"
