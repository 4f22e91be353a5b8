#!/usr/bin/env bash
# Make a Debian 12 machine ready to build and test tailpack.
#
# Idempotent and fast when everything is present: package states are read
# with dpkg-query, and apt-get (update + install) only runs when something
# is missing.  Afterwards the cross libraries are built into the cache:
# the stubs' liblzma (scripts/build-liblzma.sh) and the Windows tool's
# liblzma and libcrypto (scripts/build-tool-libs.sh); both return at once
# when they exist.
#
# Run as root on a fresh machine.  As a normal user it succeeds only if all
# packages are already installed.
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
prog=${0##*/}

packages=(
  g++-mingw-w64-i686 g++-mingw-w64-x86-64
  binutils-mingw-w64-i686 binutils-mingw-w64-x86-64
  wine wine64 fonts-wine fonts-droid-fallback xvfb xauth
  libtomlplusplus-dev libcli11-dev libgtest-dev googletest liblzma-dev
  osslsigncode openssl libssl-dev xz-utils dpkg-dev
  cmake ninja-build clang libclang-rt-14-dev make g++ file time
  qemu-system-x86 mmdebstrap kmod cpio e2fsprogs help2man lintian
)

missing=()
for p in "${packages[@]}"; do
  status=$(dpkg-query -W -f='${Status}' "$p" 2>/dev/null || true)
  [[ $status == *" ok installed" ]] || missing+=("$p")
done

if ((${#missing[@]})); then
  if [[ $EUID -ne 0 ]]; then
    printf '%s: missing packages: %s\n' "$prog" "${missing[*]}" >&2
    printf '%s: run this script as root to install them\n' "$prog" >&2
    exit 1
  fi
  printf '%s: installing: %s\n' "$prog" "${missing[*]}" >&2
  export DEBIAN_FRONTEND=noninteractive
  apt-get -q update
  # wine64 is listed explicitly and recommends are off, so apt satisfies
  # wine's "wine64 | wine32" dependency without pulling in wine32.
  apt-get -q install -y --no-install-recommends "${missing[@]}"
fi

if [[ $(dpkg-query -W -f='${Status}' wine32 2>/dev/null || true) == *" ok installed" ]]; then
  printf '%s: warning: wine32 is installed; tailpack does not need or expect it\n' "$prog" >&2
fi

"$here/build-liblzma.sh" i686-w64-mingw32
"$here/build-liblzma.sh" x86_64-w64-mingw32
"$here/build-tool-libs.sh" >/dev/null
