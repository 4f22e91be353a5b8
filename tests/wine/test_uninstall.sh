#!/usr/bin/env bash
# The generated uninstaller: the example built with [uninstall] generated =
# true installs uninstall\Zentrova\uninstall.exe and registers it; run as Windows
# runs the registered commands (quiet, then asking), it removes what the
# install wrote, keeps what the user and the product made, leaves no copy
# of itself nor its copy's folder, and the product is gone from Wine's own uninstaller list. A
# product that stays running keeps everything: the quiet uninstaller waits a
# minute, then ends with exit code 1 and no box.
set -euo pipefail
source "$(dirname "$0")/lib.sh"
tp_test_begin

tool=$TP_ROOT/build/host/tailpack
uninstaller=$TP_ROOT/build/win64/tailpack-uninstall.exe
[[ -x $tool && -f $uninstaller ]] || tp_die "no tool or uninstaller (make host win64)"

# The example's manifest without its own uninstall switch, sources made
# absolute so that it builds from here.
example=$TP_ROOT/examples/zentrova
manifest=$TP_TEST_DIR/tailpack.toml
sed -e '/^uninstall_arguments/d' -e "s|^source = \"|source = \"$example/|" "$example/tailpack.toml" >"$manifest"
printf '\n[uninstall]\ngenerated = true\n' >>"$manifest"
installer=$TP_TEST_DIR/zentrova-setup.exe
SOURCE_DATE_EPOCH=1700000000 "$tool" build "$manifest" --stub "$TP_STUB" --uninstaller "$uninstaller" \
  -q -o "$installer" >"$TP_TEST_DIR/build.log" 2>&1 || tp_die "tailpack build failed (see $TP_TEST_DIR/build.log)"

# Ventra: the same files under another product's name.
ventra_manifest=$TP_TEST_DIR/ventra.toml
sed -e 's/^name = "Zentrova"/name = "Ventra"/' "$manifest" >"$ventra_manifest"
ventra_installer=$TP_TEST_DIR/ventra-setup.exe
SOURCE_DATE_EPOCH=1700000000 "$tool" build "$ventra_manifest" --stub "$TP_STUB" --uninstaller "$uninstaller" \
  -q -o "$ventra_installer" >"$TP_TEST_DIR/build-ventra.log" 2>&1 ||
  tp_die "tailpack build of Ventra failed (see $TP_TEST_DIR/build-ventra.log)"

drive_c=$WINEPREFIX/drive_c
user=$(basename "$(find "$drive_c/users" -mindepth 1 -maxdepth 1 -type d ! -name Public | head -1)")
desktop=$drive_c/users/$user/Desktop
temp=$drive_c/users/$user/AppData/Local/Temp
folder="$drive_c/Program Files/Zentrova"
start_menu="$drive_c/ProgramData/Microsoft/Windows/Start Menu/Programs"
key='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\Zentrova'
readonly kCommand='"C:\Program Files\Zentrova\uninstall\Zentrova\uninstall.exe"'

# install_product: a fresh silent install; sets UNINSTALL and QUIET.
install_product() {
  rm -rf "$folder"
  tp_wine reg delete "$key" /reg:64 /f || true
  tp_run_installer -- "$installer" /s
  tp_expect_exit 0
  tp_read_key 64 "$key"
  UNINSTALL=$(tp_value_of UninstallString)
  QUIET=$(tp_value_of QuietUninstallString)
}

# run_registered COMMAND OPTIONS...: runs a registered command line.
run_registered() {
  local line=$1
  shift
  tp_run_installer "$@" --cmdline "$line"
}

# expect_removed: nothing of the product left but what is named.
expect_removed() {
  local file
  for ((i = 0; i < 50; i++)); do
    [[ -e $folder/uninstall ]] || break
    sleep 0.2
  done
  for file in zentrova.exe license.txt x64/zentrova.sys language/Zentrova_DEU.ini x64 language uninstall; do
    tp_check "$file removed" test ! -e "$folder/$file"
  done
  tp_check "desktop shortcut removed" test ! -e "$desktop/Zentrova.lnk"
  tp_check "start menu shortcut removed" test ! -e "$start_menu/Zentrova.lnk"
  if tp_key_exists 64 "$key"; then tp_fail "the uninstall entry is still there"; fi
  tp_expect_no_copy "$drive_c/users" 64
  "$TP_WINE" uninstaller --list </dev/null >"$TP_TEST_DIR/list.txt" 2>/dev/null || true
  if grep -q Zentrova "$TP_TEST_DIR/list.txt"; then tp_fail "Wine's uninstaller still lists Zentrova"; fi
}

tp_case "the install registers the generated uninstaller, quiet with -s"
install_product
tp_check "UninstallString names the uninstaller" test "$UNINSTALL" = "$kCommand"
tp_check "QuietUninstallString adds -s" test "$QUIET" = "$kCommand -s"
tp_check "the uninstaller is installed in the product's own folder" \
  cmp "$folder/uninstall/Zentrova/uninstall.exe" "$uninstaller"
tp_check "one record beside it" test "$(find "$folder/uninstall/Zentrova" -name '*.tpr' | wc -l)" = 1
tp_check "nothing else in the uninstall folder" test "$(ls "$folder/uninstall")" = Zentrova
"$TP_WINE" uninstaller --list </dev/null >"$TP_TEST_DIR/list.txt" 2>/dev/null || true
tp_check "Wine's uninstaller lists Zentrova" grep -q Zentrova "$TP_TEST_DIR/list.txt"

tp_case "QuietUninstallString removes the product without a box, the user's files stay"
echo "mine" >"$folder/notes.txt"
run_registered "$QUIET"
tp_expect_exit 0
tp_expect_report 'EXIT 0'
expect_removed
tp_check "the user's file is kept" grep -qx mine "$folder/notes.txt"
tp_check "the product's own log is kept" test -f "$folder/zentrova-calls.log"

tp_case "UninstallString asks, and No keeps everything"
install_product
run_registered "$UNINSTALL" --answers no
tp_expect_exit 0
tp_check "asked in English" grep -qF 'text="Do you want to completely remove Zentrova and all of its components?" buttons=yes,no press=no' "$TP_REPORT"
tp_check "nothing removed" test -f "$folder/uninstall/Zentrova/uninstall.exe" -a -f "$folder/zentrova.exe"

tp_case "UninstallString, Yes: removed, reported, the folder gone"
rm -f "$folder/zentrova-calls.log"
run_registered "$UNINSTALL" --answers yes,ok
tp_expect_exit 0
tp_check "reported removed" grep -qF 'text="Zentrova was removed from your computer." buttons=ok press=ok' "$TP_REPORT"
expect_removed
tp_check "the product folder is gone" test ! -e "$folder"

tp_case "quiet, the product's mutex held for good: exit 1 after a minute, no box, nothing removed"
install_product
tp_start_helper mutex Zentrova.Running
started=$SECONDS
run_registered "$QUIET" --timeout 120
took=$((SECONDS - started))
tp_stop_helpers
tp_expect_exit 1
tp_expect_report 'STDERR "The product is still running; nothing was changed."' 'EXIT 1'
((took >= 59 && took < 90)) || tp_fail "the run took $took s, not one minute"
echo "        ($took s)"
for file in zentrova.exe license.txt uninstall/Zentrova/uninstall.exe; do
  tp_check "$file kept" test -f "$folder/$file"
done
tp_check "the entry kept" tp_key_exists 64 "$key"
tp_check "no copy of the uninstaller started" test -z "$(find "$temp" -name 'tailpack-*' 2>/dev/null)"

tp_case "two products, one folder: the second is refused (exit 2), nothing of it stays"
install_product
# Ventra's entry points at Zentrova's folder, as if Ventra had been there.
ventra_key='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\Ventra'
tp_wine reg add "$ventra_key" /v InstallLocation /d 'C:\Program Files\Zentrova' /reg:64 /f
tp_wine reg add "$ventra_key" /v DisplayVersion /d 1.0 /reg:64 /f
listing() { (cd "$folder" && find . -exec stat -c '%n %s %Y' {} + | sort); }
before=$(listing)
tp_run_installer -- "$ventra_installer" /s
tp_expect_exit 2
tp_check "nothing in the folder changed" test "$before" = "$(listing)"
tp_read_key 64 "$ventra_key"
tp_check "Ventra's entry got no uninstall command" test -z "$(tp_value_of UninstallString)"
tp_check "no Ventra shortcut" test ! -e "$desktop/Ventra.lnk"
tp_wine reg delete "$ventra_key" /reg:64 /f || true
run_registered "$QUIET"
tp_expect_exit 0
expect_removed
tp_check "nothing of either product left, only the product's own log" \
  test "$(cd "$folder" && find . -mindepth 1)" = ./zentrova-calls.log

tp_case "a file in use stays: named, deleted at restart, exit 2"
install_product
tp_start_helper hold "$(tp_winpath "$folder/license.txt")"
run_registered "$UNINSTALL" --answers yes,ok
tp_stop_helpers
tp_expect_exit 2
tp_check "the box names license.txt" grep -qF 'license.txt' "$TP_REPORT"
tp_check "the other files went" test ! -e "$folder/zentrova.exe"

tp_test_end
