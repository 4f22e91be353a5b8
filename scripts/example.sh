#!/usr/bin/env bash
# Builds the example installer, Zentrova 2.1.3, from examples/zentrova:
#
#   build/zentrova-setup.exe      with the i686 stub (what ships)
#   build/zentrova-setup-x64.exe  with the x86_64 stub (what wine64 can run)
#
# Run through `make example`, which first builds the tool (build/host), the
# stubs and the Zentrova program (build/win32, build/win64).
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
tool=$root/build/host/tailpack
manifest=$root/examples/zentrova/tailpack.toml

for needed in "$tool" "$root/build/win32/zentrova-app/zentrova.exe" "$root/build/win64/zentrova-app/zentrova.exe"; do
  [[ -x $needed ]] || { echo "example.sh: $needed is missing; run 'make example'" >&2; exit 1; }
done

# File times are clamped to the last commit, so the same checkout gives the
# same installer bytes on every machine.
if [[ -z ${SOURCE_DATE_EPOCH:-} ]]; then
  SOURCE_DATE_EPOCH=$(git -C "$root" log -1 --format=%ct 2>/dev/null || echo 1700000000)
fi
export SOURCE_DATE_EPOCH

"$tool" build "$manifest" --stub x86 -o "$root/build/zentrova-setup.exe"
"$tool" build "$manifest" --stub x64 -o "$root/build/zentrova-setup-x64.exe"
"$tool" verify "$root/build/zentrova-setup.exe"
echo
"$tool" list "$root/build/zentrova-setup.exe"

# ---------------------------------------------------------------------------
# Run the example installer: build/zentrova-setup-x64.exe silently (-s) under
# wine64 in a private prefix, then show what it installed: files, the
# uninstall entry, the shortcuts and the configuration command it ran. The
# i686 installer cannot run on this machine (no 32-bit Wine).
# ---------------------------------------------------------------------------
source "$root/tests/wine/lib.sh"
# Wine's background processes keep the standard handles they inherit: every
# Wine process here writes to files, and the server is stopped on any exit.
trap '[[ -n ${WINEPREFIX:-} ]] && { "$TP_WINESERVER" -k; "$TP_WINESERVER" -w; } >/dev/null 2>&1; tp_run_end' EXIT
tp_run_begin >/dev/null
export WINEPREFIX=$TP_RUN_DIR/prefix
tp_copy_prefix "$TP_TEMPLATE" "$WINEPREFIX"
"$TP_WINESERVER" -p </dev/null >"$TP_RUN_DIR/wineserver.log" 2>&1
drive_c=$WINEPREFIX/drive_c
user=$(basename "$(find "$drive_c/users" -mindepth 1 -maxdepth 1 -type d ! -name Public | head -1)")
desktop=$drive_c/users/$user/Desktop
helper=$TP_HELPER

cp "$root/build/zentrova-setup-x64.exe" "$drive_c/zentrova-setup-x64.exe"
echo
echo "Installing silently under $("$TP_WINE" --version): C:\\zentrova-setup-x64.exe -s"
started=$(date +%s%N)
status=0
timeout 120 "$TP_WINE" 'C:\zentrova-setup-x64.exe' -s </dev/null >"$TP_RUN_DIR/install.log" 2>&1 ||
  status=$?
echo "exit code $status after $((($(date +%s%N) - started) / 1000000)) ms"

folder="$drive_c/Program Files/Zentrova"
echo
echo "Files in C:\\Program Files\\Zentrova:"
if [[ -d $folder ]]; then
  (cd "$folder" && find . -type f -printf '  %10s  %TY-%Tm-%Td %TH:%TM:%.2TS  %P\n' | LC_ALL=C sort -k4)
else
  echo "  (none)"
fi
echo
echo "Uninstall entry (64-bit registry view):"
"$TP_WINE" reg query 'HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\Zentrova' /reg:64 \
  </dev/null 2>/dev/null | tr -d '\r' | sed -n 's/^    /  /p' || echo "  (none)"
echo
echo "Shortcuts:"
for lnk in "$desktop/Zentrova.lnk" \
  "$drive_c/ProgramData/Microsoft/Windows/Start Menu/Programs/Zentrova.lnk"; do
  where=${lnk#"$drive_c/"}
  echo "  C:\\${where//\//\\}"
  "$TP_WINE" "$helper" lnk "$(tp_winpath "$lnk")" 'C:\lnk.txt' </dev/null >/dev/null 2>&1 &&
    tr -d '\r' <"$drive_c/lnk.txt" | sed 's/^/    /' || echo "    (missing)"
done
echo
echo "Calls of zentrova.exe (zentrova-calls.log):"
tr -d '\r' <"$folder/zentrova-calls.log" 2>/dev/null | sed 's/^/  /' || echo "  (none)"
exit "$status"

