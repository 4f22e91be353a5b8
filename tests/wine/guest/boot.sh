#!/usr/bin/env bash
# Boots the test guest once under qemu (TCG: these machines have no KVM)
# and runs one job in it: boot.sh [--writable] [--cpus N] [--memory MIB]
# [--timeout SECONDS] GUEST OUT.
#
# GUEST is a folder made by scripts/build-guest.sh (vmlinuz, initrd.img,
# root.ext4); OUT a folder holding job.sh. The guest sees the checkout
# read-only at /src and OUT at /out, runs job.sh there (tests/wine/guest/init)
# and powers off; its console goes to OUT/console.log. The root disk is used
# with snapshot=on, so every boot starts from the same image, unless
# --writable (the image build uses it to keep the Wine prefixes it makes).
# Exits with the job's status, or 124 when the guest did not power off in
# time, 125 when it ended without a job status.
set -euo pipefail

top=$(cd "$(dirname "${BASH_SOURCE[0]}")/../../.." && pwd)
snapshot=on
cpus=1
memory=3072
limit=900
while (($#)); do
  case $1 in
    --writable) snapshot=off; shift ;;
    --cpus) cpus=$2; shift 2 ;;
    --memory) memory=$2; shift 2 ;;
    --timeout) limit=$2; shift 2 ;;
    *) break ;;
  esac
done
(($# == 2)) || { echo "usage: $0 [--writable] [--cpus N] [--memory MIB] [--timeout S] GUEST OUT" >&2; exit 2; }
guest=$1
out=$(cd "$2" && pwd)
[[ -f $out/job.sh ]] || { echo "boot.sh: no $out/job.sh" >&2; exit 2; }
rm -f "$out/job.status"

# -cpu qemu64: with -cpu max, Wine processes were killed at their first
# signal. The kernel and initramfs are booted directly; panic=-1 with
# -no-reboot makes a guest that cannot boot end qemu at once.
status=0
timeout "$limit" qemu-system-x86_64 \
  -machine q35 -accel tcg,thread=multi -cpu qemu64 -smp "$cpus" -m "$memory" \
  -nodefaults -no-user-config -display none -no-reboot -nic none \
  -kernel "$guest/vmlinuz" -initrd "$guest/initrd.img" \
  -append "console=ttyS0 panic=-1 quiet loglevel=3" \
  -drive "file=$guest/root.ext4,format=raw,if=virtio,snapshot=$snapshot,cache=unsafe,discard=unmap" \
  -virtfs "local,path=$top,mount_tag=src,security_model=none,readonly=on" \
  -virtfs "local,path=$out,mount_tag=out,security_model=none" \
  -serial "file:$out/console.log" </dev/null >"$out/qemu.log" 2>&1 || status=$?
if ((status == 124)); then
  echo "boot.sh: the guest did not power off within $limit s (console: $out/console.log)" >&2
  exit 124
fi
if [[ ! -f $out/job.status ]]; then
  echo "boot.sh: the guest ended without running its job (qemu status $status)" >&2
  tail -n 20 "$out/console.log" >&2 2>/dev/null || true
  exit 125
fi
exit "$(cat "$out/job.status")"
