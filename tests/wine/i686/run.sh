#!/usr/bin/env bash
# make test-i686: the shipped i686 stub (build/win32/tailpack-stub.exe) end
# to end. These machines cannot execute 32-bit x86 code, so the tests run in
# an emulated guest (scripts/build-guest.sh): Debian's amd64 kernel under
# qemu, Wine with its 32-bit side, Xvfb. One boot runs every test script of
# this folder twice, with the i686 builds of the driver and helper: in a
# 64-bit Windows prefix, where the stub runs under WOW64, then in a 32-bit
# Windows prefix (WINEARCH=win32). The guest has one processor: a second
# one made each run slower and gained almost nothing, and it leaves the
# machine's other processor to the rest of `make test`.
#
# The scripts are ordinary tests/wine scripts. Their installers are made
# here first (each script's `prepare`, see tp_test_begin), because the tool,
# mkpkg and signing run natively here and slowly in the guest.
#
# Usage: tests/wine/i686/run.sh [TEST...]     (default: every test_*.sh here)
# Writes build/i686/: inputs/, the guest's logs, screenshots/ (PNG). Exits 1
# when a test failed, 2 when the guest could not run them.
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
top=$(cd "$here/../../.." && pwd)
out=$top/build/i686
started=$SECONDS

stub=$top/build/win32/tailpack-stub.exe
for needed in "$stub" "$top/build/win32/tailpack-uninstall.exe" "$top/build/win32/driver/tp-driver.exe" "$top/build/win32/driver/tp-install-helper.exe" \
  "$top/build/win32/zentrova-app/zentrova.exe" "$top/build/win64/zentrova-app/zentrova.exe" \
  "$top/build/host/tailpack" "$top/build/host/tests/wine/mkpkg"; do
  [[ -e $needed ]] || { echo "test-i686: $needed is missing (make host stubs)" >&2; exit 2; }
done

scripts=()
if (($#)); then
  for name in "$@"; do
    name=${name%.sh}
    name=${name##*/}
    [[ $name == test_* ]] || name=test_i686_$name
    [[ -f $here/$name.sh ]] || { echo "test-i686: no test $here/$name.sh" >&2; exit 2; }
    scripts+=("$name.sh")
  done
else
  for script in "$here"/test_*.sh; do scripts+=("${script##*/}"); done
fi

guest=$("$top/scripts/build-guest.sh")

rm -rf "$out"
mkdir -p "$out/inputs"
# Side by side: making the inputs is on the way to the first boot.
pids=()
for script in "${scripts[@]}"; do
  TP_PREPARE=$out/inputs TP_STUB=$stub bash "$here/$script" >"$out/prepare-${script%.sh}.log" 2>&1 &
  pids+=($!)
done
for i in "${!pids[@]}"; do
  wait "${pids[i]}" || { echo "test-i686: preparing ${scripts[i]} failed:" >&2
    cat "$out/prepare-${scripts[i]%.sh}.log" >&2; exit 2; }
done
prepared=$((SECONDS - started))

guest_scripts=$(printf '/src/tests/wine/i686/%s ' "${scripts[@]}")
cat >"$out/job.sh" <<EOF
# Runs in the guest (tests/wine/guest/init): the 64-bit prefix, then the
# 32-bit one, each used in place by every script (TP_ONE_PREFIX: the
# guest's disk is a snapshot).
export TP_STUB=/src/build/win32/tailpack-stub.exe
export TP_DRIVER=/src/build/win32/driver/tp-driver.exe
export TP_HELPER=/src/build/win32/driver/tp-install-helper.exe
export TP_WINE=/usr/lib/wine/wine TP_WINESERVER=/usr/lib/wine/wineserver64 TP_ONE_PREFIX=1
export TP_WINE_CACHE=/var/cache/tp-wine TP_INPUTS_ROOT=/out/inputs TP_SHOTS=/out/screenshots
status=0
WINEARCH=win64 /src/tests/wine/run.sh -v $guest_scripts >/out/win64.log 2>&1 || status=1
WINEARCH=win32 /src/tests/wine/run.sh -v $guest_scripts >/out/win32.log 2>&1 || status=1
exit "\$status"
EOF

booted=$SECONDS
status=0
"$top/tests/wine/guest/boot.sh" --cpus 1 --memory 3072 --timeout 900 "$guest" "$out" || status=$?
for arch in win64 win32; do
  [[ -f $out/$arch.log ]] || continue
  case $arch in
    win64) echo "== i686 stub on 64-bit Windows (WOW64) ==" ;;
    win32) echo "== i686 stub on 32-bit Windows ==" ;;
  esac
  # The logs hold every case; passing ones are left out here.
  grep -v '^      ok    ' "$out/$arch.log" || true
done
for bmp in "$out"/screenshots/*.bmp; do
  [[ -e $bmp ]] || continue
  python3 "$top/tests/wine/bmp2png.py" "$bmp" "${bmp%.bmp}.png" && rm -f "$bmp"
done
echo "test-i686: inputs ${prepared} s, guest $((SECONDS - booted)) s," \
  "$(sed -n 's/^tp-init: running the job (\(.*\))$/job from \1/p' "$out/console.log" 2>/dev/null)" \
  "$(sed -n 's/^tp-init: job ended with status [0-9]* (\(.*\))$/to \1/p' "$out/console.log" 2>/dev/null)"
case $status in
  0) echo "test-i686: all passed ($((SECONDS - started)) s)" ;;
  1) echo "test-i686: FAILED" ;;
  *) echo "test-i686: the guest could not run the tests (status $status; see $out/console.log, $out/job.log)"
     tail -n 20 "$out/job.log" 2>/dev/null || true
     status=2 ;;
esac
exit "$status"
