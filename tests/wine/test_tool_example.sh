#!/usr/bin/env bash
# The example installer as the tailpack tool builds it (examples/zentrova with
# the x86_64 stub): its package passes every check of the stub's loader and
# every start-up gate, so a silent run ends with exit 0 and no message box; a
# copy damaged after building is reported as damaged; a first silent install
# writes exactly the files `tailpack extract` gives for x64 and runs the
# configuration command; the example program's "-xu" removes it all again.
set -euo pipefail
source "$(dirname "$0")/lib.sh"
tp_test_begin

tool=$TP_ROOT/build/host/tailpack
example=$TP_ROOT/examples/zentrova
[[ -x $tool ]] || tp_die "no tool at $tool (make host)"
# Silent runs: the message on standard error, no box.
readonly kDamaged='STDERR "This setup package is damaged!"'

installer=$TP_TEST_DIR/zentrova-setup-x64.exe
SOURCE_DATE_EPOCH=1700000000 "$tool" build "$example/tailpack.toml" --stub "$TP_STUB" -q -o "$installer" \
  >"$TP_TEST_DIR/build.log" 2>&1 || tp_die "tailpack build failed (see $TP_TEST_DIR/build.log)"
"$tool" verify "$installer" >"$TP_TEST_DIR/verify.log" 2>&1 || tp_die "tailpack verify failed (see $TP_TEST_DIR/verify.log)"

drive_c=$WINEPREFIX/drive_c
user=$(basename "$(find "$drive_c/users" -mindepth 1 -maxdepth 1 -type d ! -name Public | head -1)")
desktop=$drive_c/users/$user/Desktop
folder="$drive_c/Program Files/Zentrova"
start_menu="$drive_c/ProgramData/Microsoft/Windows/Start Menu/Programs"
key='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\Zentrova'

# The example supports Windows 7 and later on x86, x64 and arm64.
for version in win7 win10; do
  tp_case "the example loads in the stub on $version: silent run exits 0 without a box"
  tp_set_windows_version "$version"
  tp_run_installer -- "$installer" /s
  tp_expect_exit 0
  tp_expect_report 'EXIT 0'
done

tp_case "a byte changed in the example's packed block: damaged"
cp "$installer" "$TP_TEST_DIR/damaged.exe"
size=$(stat -c %s "$installer")
# 200 bytes before the end lies inside the packed stream (the trailer and
# slack take the last 21 to 36 bytes).
printf '\x5a' | dd of="$TP_TEST_DIR/damaged.exe" bs=1 seek=$((size - 200)) conv=notrunc status=none
tp_run_installer -- "$TP_TEST_DIR/damaged.exe" /s
tp_expect_exit 1
tp_expect_report "$kDamaged" 'EXIT 1'

# The silent install writes exactly what `tailpack extract` gives for an x64
# machine, runs the configuration command, and the example program's own
# "-xu" removes it again.

tp_case "silent install: the files of tailpack extract for x64, and the configuration call"
# A first installation: no folder, no uninstall entry from the runs above.
rm -rf "$folder"
tp_wine reg delete "$key" /reg:64 /f || true
tp_set_windows_version win10
tp_run_installer -- "$installer" /s
tp_expect_exit 0
"$tool" extract "$installer" -d "$TP_TEST_DIR/expected" --arch x64 --windows 10 -q
for file in zentrova.exe license.txt x64/zentrova.sys language/Zentrova_DEU.ini; do
  tp_check "$file installed as extracted" cmp "$folder/$file" "$TP_TEST_DIR/expected/$file"
  tp_check "$file keeps its time" test "$(stat -c %Y "$folder/$file")" = "$(stat -c %Y "$TP_TEST_DIR/expected/$file")"
done
tp_check "the x64 build was installed" cmp "$folder/zentrova.exe" "$TP_ROOT/build/win64/zentrova-app/zentrova.exe"
tp_check "the configuration command was recorded" \
  grep -qxF '"C:\Program Files\Zentrova\zentrova.exe" -xi:0:' <(tr -d '\r' <"$folder/zentrova-calls.log")
tp_check "desktop shortcut" test -f "$desktop/Zentrova.lnk"
tp_check "start menu shortcut" test -f "$start_menu/Zentrova.lnk"
tp_check "uninstall entry" tp_wine reg query "$key" /reg:64

tp_case "zentrova.exe -xu removes the files, shortcuts and uninstall entry"
tp_wine 'C:\Program Files\Zentrova\zentrova.exe' -xu || tp_fail "zentrova.exe -xu failed"
for file in license.txt x64/zentrova.sys language/Zentrova_DEU.ini zentrova-calls.log x64 language; do
  tp_check "$file removed" test ! -e "$folder/$file"
done
tp_check "desktop shortcut removed" test ! -e "$desktop/Zentrova.lnk"
tp_check "start menu shortcut removed" test ! -e "$start_menu/Zentrova.lnk"
if tp_wine reg query "$key" /reg:64; then tp_fail "the uninstall entry is still there"; fi
