#!/usr/bin/env bash
# Builds the test guest in which the shipped i686 stub runs: these machines
# cannot execute 32-bit x86 code, but a full-system emulator (qemu, TCG)
# booting Debian 12's amd64 kernel, which has IA32 emulation, can run Wine's
# 32-bit side. Everything comes from Debian's packages; no person and no
# network beyond Debian's registry are needed.
#
#   ${TAILPACK_CACHE:-/var/cache/tailpack}/guest-<key>/
#       vmlinuz      Debian's amd64 kernel
#       initrd.img   busybox and the seven or so modules the guest needs
#       root.ext4    the root file system (sparse): Wine for amd64 and i386,
#                    Xvfb and fonts, and two template Wine prefixes made
#                    in the guest itself (64-bit Windows with WOW64, and
#                    32-bit Windows)
#
# <key> is a hash of the files that define the guest (this script, the
# guest's init, the initramfs init, boot.sh and the template code), so the
# guest is rebuilt only when one of them changes, and fresh clones reuse it.
# Prints the guest's folder. Takes about 5 to 8 minutes from scratch.
#
# Usage: scripts/build-guest.sh [--print-key]
set -euo pipefail

prog=${0##*/}
die() { printf '%s: error: %s\n' "$prog" "$*" >&2; exit 1; }
note() { printf '%s: %s\n' "$prog" "$*" >&2; }

top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cache=${TAILPACK_CACHE:-/var/cache/tailpack}
suite=bookworm

defining=(scripts/build-guest.sh tests/wine/guest/init tests/wine/guest/initramfs-init
  tests/wine/guest/boot.sh tests/wine/template.sh)
key=$(cd "$top" && cat "${defining[@]}" | sha256sum | cut -c1-16)
if [[ ${1:-} == --print-key ]]; then
  echo "$key"
  exit 0
fi
dest=$cache/guest-$key
if [[ -f $dest/.complete ]]; then
  echo "$dest"
  exit 0
fi

[[ $EUID -eq 0 ]] || die "building the guest needs root (mmdebstrap, mke2fs); run as root"
for tool in mmdebstrap qemu-system-x86_64 mke2fs depmod cpio; do
  command -v "$tool" >/dev/null || die "$tool is missing (scripts/setup.sh installs it)"
done

mkdir -p "$cache"
# Staging folders of builds that were interrupted.
find "$cache" -mindepth 1 -maxdepth 1 -name '.guest-staging.*' -mmin +120 -exec rm -rf {} + 2>/dev/null || true
work=$(mktemp -d "$cache/.guest-staging.XXXXXX")
trap 'rm -rf "$work"' EXIT
root=$work/root
started=$SECONDS

# --- The root file system -------------------------------------------------

# Wine's X11 driver loads these X client libraries at run time (Wine only
# recommends them), for its 64-bit side (explorer, services) and for the
# 32-bit programs alike.
xlibs=(libx11-6 libxext6 libxrender1 libxrandr2 libxi6 libxcursor1 libxinerama1 libxcomposite1
  libxfixes3 libfreetype6 libfontconfig1)
packages=(wine wine64 wine32:i386 libwine libwine:i386 xvfb xauth fonts-wine "${xlibs[@]}")
for lib in "${xlibs[@]}"; do packages+=("$lib:i386"); done

note "mmdebstrap $suite (amd64 and i386): ${packages[*]}"
# No documentation, manual pages or translations; the kernel and busybox
# are only downloaded (they go into the initramfs, not the root file system).
mmdebstrap --variant=minbase --mode=root --architectures=amd64,i386 --quiet \
  --include="$(IFS=,; echo "${packages[*]}")" \
  --dpkgopt='path-exclude=/usr/share/doc/*' --dpkgopt='path-exclude=/usr/share/man/*' \
  --dpkgopt='path-exclude=/usr/share/info/*' --dpkgopt='path-exclude=/usr/share/locale/*' \
  --dpkgopt='path-include=/usr/share/locale/locale.alias' \
  --customize-hook='chroot "$1" sh -c "mkdir -p /var/tmp/debs && cd /var/tmp/debs && apt-get -q download busybox-static \$(apt-cache depends linux-image-amd64 | sed -n \"s/^ *Depends: \\(linux-image-[0-9].*\\)/\\1/p\")"' \
  --customize-hook='rm -rf "$1"/var/lib/apt/lists/* "$1"/var/cache/apt/* "$1"/var/log/*' \
  "$suite" "$root" >"$work/mmdebstrap.log" 2>&1 ||
  { tail -n 30 "$work/mmdebstrap.log" >&2; die "mmdebstrap failed"; }
mv "$root/var/tmp/debs" "$work/debs"
note "root file system ready ($((SECONDS - started)) s)"

# --- Kernel and initramfs ---------------------------------------------------

kernel_deb=$(ls "$work"/debs/linux-image-*.deb)
dpkg-deb -x "$kernel_deb" "$work/kernel"
dpkg-deb -x "$(ls "$work"/debs/busybox-static_*.deb)" "$work/busybox"
version=$(ls "$work/kernel/lib/modules")
cp "$work/kernel/boot/vmlinuz-$version" "$work/vmlinuz"
depmod -b "$work/kernel" "$version"

# The modules the guest needs, each after the ones it depends on: virtio's
# PCI transport and disk, ext4 for the root disk (with the generic CRC32C
# its metadata checksums need: qemu64 has no SSE 4.2, and modules.dep does
# not name it), 9p over virtio for the shares. The rest of Debian's kernel
# is built in or not needed.
modules=$work/kernel/lib/modules/$version
declare -A loaded=()
order=()
add_module() {
  local name=$1 entry path deps dep
  entry=$(grep -E "(^|/)$name\.ko(\.[a-z]+)?:" "$modules/modules.dep" || true)
  if [[ -z $entry ]]; then
    # Built into the kernel: nothing to load.
    grep -qE "(^|/)$name\.ko" "$modules/modules.builtin" || die "kernel $version has no module $name"
    return
  fi
  path=${entry%%:*}
  [[ -n ${loaded[$path]:-} ]] && return
  deps=${entry#*:}
  for dep in $deps; do
    dep=${dep##*/}
    add_module "${dep%%.ko*}"
  done
  loaded[$path]=1
  order+=("$path")
}
for name in virtio_pci virtio_blk crc32c_generic ext4 9pnet_virtio 9p; do add_module "$name"; done

initramfs=$work/initramfs
mkdir -p "$initramfs"/{bin,dev,proc,root,modules}
cp "$work/busybox/bin/busybox" "$initramfs/bin/busybox"
for applet in sh mount umount insmod switch_root sleep echo; do ln -s busybox "$initramfs/bin/$applet"; done
: >"$initramfs/modules/order"
for path in "${order[@]}"; do
  file=${path##*/}
  case $file in
    *.ko.xz) xz -dc "$modules/$path" >"$initramfs/modules/${file%.xz}"; file=${file%.xz} ;;
    *.ko.zst) zstd -qdc "$modules/$path" >"$initramfs/modules/${file%.zst}"; file=${file%.zst} ;;
    *) cp "$modules/$path" "$initramfs/modules/$file" ;;
  esac
  echo "$file" >>"$initramfs/modules/order"
done
install -m 755 "$top/tests/wine/guest/initramfs-init" "$initramfs/init"
(cd "$initramfs" && find . | LC_ALL=C sort | cpio -o -H newc --quiet) | gzip -1 >"$work/initrd.img"
note "kernel $version, initramfs with ${#order[@]} modules"

# --- Guest init, sizes, image ----------------------------------------------

install -m 755 "$top/tests/wine/guest/init" "$root/sbin/tp-init"
# The 9p mount points and the template cache of tests/wine/lib.sh.
mkdir -p "$root/src" "$root/out" "$root/var/cache/tp-wine"

# Room for two Wine prefixes (about 700 MiB each before their DLLs are
# linked) and for what the tests write (large installers and their files,
# copies of the prefixes); the image is sparse, so free space costs nothing
# on the host.
used_mib=$(du -sm "$root" | cut -f1)
size_mib=$((used_mib + 6144))
mke2fs -q -t ext4 -L tailpack-guest -m 0 -E lazy_itable_init=0,lazy_journal_init=0 \
  -d "$root" "$work/root.ext4" "${size_mib}M" >/dev/null || die "mke2fs failed"
rm -rf "$root"
note "root.ext4: ${used_mib} MiB of files in a ${size_mib} MiB image ($((SECONDS - started)) s)"

# --- Template prefixes, made in the guest ---------------------------------

# One writable boot makes both templates with tests/wine/template.sh (as
# the tests on this machine do), side by side on two processors, and then
# replaces every file of a prefix that equals Wine's own copy (Wine copies
# its PE DLLs and programs into the prefix) by a hard link to it.
job=$work/job
mkdir -p "$job"
cat >"$job/job.sh" <<'EOF'
set -euo pipefail
TP_ROOT=/src
tp_die() { echo "template: $*" >&2; exit 1; }
source /src/tests/wine/template.sh
export WINEDEBUG=-all WINEDLLOVERRIDES=winemenubuilder.exe=d
export TP_WINE=/usr/lib/wine/wine TP_WINESERVER=/usr/lib/wine/wineserver64
export WINESERVER=$TP_WINESERVER TP_WINE_CACHE=/var/cache/tp-wine

# link_wine_copies PREFIX: hard-links the prefix's copies of Wine's files.
link_wine_copies() {
  local -A wine=() hash=()
  local name size path sum file
  while IFS=$'\t' read -r name size path; do wine[$name:$size]=$path; done < <(
    find /usr/lib/x86_64-linux-gnu/wine/x86_64-windows /usr/lib/i386-linux-gnu/wine/i386-windows \
      -type f -printf '%f\t%s\t%p\n')
  local pairs=()
  while IFS=$'\t' read -r name size path; do
    [[ -n ${wine[$name:$size]:-} ]] && pairs+=("${wine[$name:$size]}" "$path")
  done < <(find "$1/drive_c/windows" -type f -printf '%f\t%s\t%p\n')
  ((${#pairs[@]})) || return 0
  while read -r sum file; do hash[$file]=$sum; done < <(printf '%s\0' "${pairs[@]}" | xargs -0 sha256sum)
  local linked=0 i
  for ((i = 0; i < ${#pairs[@]}; i += 2)); do
    if [[ ${hash[${pairs[i]}]} == "${hash[${pairs[i + 1]}]}" ]]; then
      ln -f "${pairs[i]}" "${pairs[i + 1]}"
      linked=$((linked + 1))
    fi
  done
  echo "$linked of $((${#pairs[@]} / 2)) candidate files linked to Wine's copies"
}

make_template() {
  export WINEARCH=$1
  local begin=$SECONDS
  tp_cached_template "/out/template-$1.log"
  echo "template $1: $TP_TEMPLATE ($((SECONDS - begin)) s)"
  link_wine_copies "$TP_TEMPLATE"
  # The links changed the files' inodes.
  tp_template_listing "$TP_TEMPLATE" >"$TP_TEMPLATE/.listing"
}
make_template win64 >/out/win64.txt 2>&1 &
first=$!
make_template win32 >/out/win32.txt 2>&1 &
second=$!
status=0
wait "$first" || status=1
wait "$second" || status=1
cat /out/win64.txt /out/win32.txt
du -sm /var/cache/tp-wine/* /usr/lib/*-linux-gnu/wine
# The blocks of the copies just replaced by links go back to the host (the
# image file stays sparse).
fstrim / || true
df -m / | tail -1
exit "$status"
EOF
note "booting the guest to make the Wine templates (about 3 minutes)"
"$top/tests/wine/guest/boot.sh" --writable --cpus 2 --timeout 1500 "$work" "$job" ||
  { tail -n 40 "$job/job.log" >&2 2>/dev/null; die "the template boot failed (see above)"; }
cat "$job/job.log" >&2
e2fsck -fy "$work/root.ext4" >/dev/null 2>&1 || true

# --- Publish ------------------------------------------------------------------

staging=$work/guest
mkdir -p "$staging"
mv "$work/vmlinuz" "$work/initrd.img" "$work/root.ext4" "$staging/"
cp "$job/job.log" "$staging/templates.log"
echo "$version" >"$staging/kernel-version"
touch "$staging/.complete"
# Guests of older versions of the defining files.
find "$cache" -mindepth 1 -maxdepth 1 -name 'guest-*' ! -name "guest-$key" -exec rm -rf {} + 2>/dev/null || true
rm -rf "$dest"
mv -T "$staging" "$dest"
note "guest ready in $((SECONDS - started)) s: $dest ($(du -sh --apparent-size "$dest/root.ext4" | cut -f1) image, $(du -sh "$dest" | cut -f1) on disk)"
echo "$dest"
