#!/usr/bin/env bash
# Installs by the shipped i686 stub, in the test guest: the example
# installer silently and a package that asks for the 32-bit registry view;
# then, under WOW64 only, an update of the example that closes the running
# product, an in-use file moved aside for deletion at restart, a silent
# update that gives up after a minute on a product that stays running, and the
# example again through the wizard, licence to Finish, with a screenshot
# of the licence page (TP_SHOTS, when set, gets it as a BMP). Under WOW64 the stub must pick the x64
# payload by the native machine and write the uninstall entry into the
# view the package's flags ask for; on 32-bit Windows it gets the x86
# payload and the only registry view.
set -euo pipefail
# shellcheck source=tests/wine/lib.sh
source "$(dirname "$0")/../lib.sh"

prepare() {
  SOURCE_DATE_EPOCH=1700000000 "$TP_ROOT/build/host/tailpack" build "$TP_ROOT/examples/zentrova/tailpack.toml" \
    --stub "$TP_STUB" -q -o "$TP_INPUTS/zentrova-setup.exe" >"$TP_INPUTS/build.log" 2>&1 ||
    tp_die "tailpack build failed (see $TP_INPUTS/build.log)"
  tp_mkpkg "$TP_INPUTS/view32.exe" --flags 0 --setting ProductName=TpView --content 'a.txt=a'
  tp_mkpkg "$TP_INPUTS/locked.exe" --flags 1 --setting ProductName=TpLocked --setting ConfigCommand=-x \
    --content 'in-use.dll=new' --entry-flags 0x800000 --content 'after.txt=later'
}

tp_test_begin

example=$TP_ROOT/examples/zentrova
uninstall_key='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall'
key="$uninstall_key\\Zentrova"
folder=$TP_PF64/Zentrova
if [[ $WINEARCH == win32 ]]; then
  app=$TP_ROOT/build/win32/zentrova-app/zentrova.exe
  files="language/Zentrova_DEU.ini license.txt zentrova-calls.log zentrova.exe"
  view64='' view32='' pf32=$TP_PF64 pf32_windows='C:\Program Files'
else
  app=$TP_ROOT/build/win64/zentrova-app/zentrova.exe
  files="language/Zentrova_DEU.ini license.txt x64/zentrova.sys zentrova-calls.log zentrova.exe"
  view64=64 view32=32 pf32="$TP_C/Program Files (x86)" pf32_windows='C:\Program Files (x86)'
fi

tp_case "example, fresh: the payload of the machine, times, shortcuts, configuration, entry"
tp_run_installer -- "$TP_INPUTS/zentrova-setup.exe" -s
tp_expect_exit 0
tp_expect_report 'EXIT 0'
tp_check "zentrova.exe for this machine" cmp -s "$app" "$folder/zentrova.exe"
tp_check "licence" cmp -s "$example/payload/license.txt" "$folder/license.txt"
tp_check "language file" cmp -s "$example/payload/language/Zentrova_DEU.ini" "$folder/language/Zentrova_DEU.ini"
[[ $WINEARCH == win32 ]] || tp_check "x64 driver" cmp -s "$example/payload/x64/zentrova.sys" "$folder/x64/zentrova.sys"
expect_equal "installed files" "$files" "$(cd "$folder" && find . -type f | sed 's|^\./||' | LC_ALL=C sort | xargs)"
for name in zentrova.exe license.txt; do
  expect_equal "time of $name" 1700000000 "$(stat -c %Y "$folder/$name")"
done
expect_equal "configuration command" '"C:\Program Files\Zentrova\zentrova.exe" -xi:0:' \
  "$(tr -d '\r' <"$folder/zentrova-calls.log")"
for lnk in "$TP_DESKTOP/Zentrova.lnk" "$TP_PROGRAMS/Zentrova.lnk"; do
  expect_equal "shortcut ${lnk#"$WINEPREFIX/"}" "$(printf '%s\n' \
    'target=C:\Program Files\Zentrova\zentrova.exe' 'arguments=' \
    'directory=C:\Program Files\Zentrova\' 'icon=' 'index=0')" "$(tp_shortcut "$lnk")"
done
tp_read_key "$view64" "$key"
expect_equal UninstallString '"C:\Program Files\Zentrova\zentrova.exe" -xu' "$(tp_value_of UninstallString)"
expect_equal InstallLocation 'C:\Program Files\Zentrova\' "$(tp_value_of InstallLocation)"
expect_equal DisplayName 'Zentrova 2.1.3' "$(tp_value_of DisplayName)"
expect_equal NoModify '0x1' "$(tp_value_of NoModify)"
[[ -z $view32 ]] || tp_check "no entry in the 32-bit view" eval '! tp_key_exists 32 "$key"'

tp_case "header flag 0: the 32-bit registry view and its Program Files folder"
tp_run_installer -- "$TP_INPUTS/view32.exe" -s
tp_expect_exit 0
tp_check "installed under $pf32_windows" test -e "$pf32/TpView/a.txt"
tp_read_key "$view32" "$uninstall_key\\TpView"
expect_equal "InstallLocation" "$pf32_windows\\TpView\\" "$(tp_value_of InstallLocation)"
[[ -z $view64 ]] || tp_check "no entry in the 64-bit view" eval '! tp_key_exists 64 "$uninstall_key\\TpView"'

# The rest takes the same code on 32-bit Windows as under WOW64; the
# guest's time goes to what differs (payload, folders, registry view).
[[ $WINEARCH == win32 ]] && exit 0

tp_case "example, update: closes the running product, the earlier version reaches the configuration"
"$TP_WINE" 'C:\Program Files\Zentrova\zentrova.exe' </dev/null >>"$TP_TEST_DIR/helper.log" 2>&1 &
product=$!
"$TP_WINE" "$TP_HELPER" find ZentrovaMainWindow </dev/null >>"$TP_TEST_DIR/helper.log" 2>&1 ||
  tp_die "the example program did not open its window"
rm -f "$TP_DESKTOP/Zentrova.lnk" "$TP_PROGRAMS/Zentrova.lnk" "$folder/zentrova-calls.log"
tp_run_installer -- "$TP_INPUTS/zentrova-setup.exe" -s
tp_expect_exit 0
tp_expect_report 'EXIT 0'
tp_wait_pid "$product" 30 || tp_fail "the running product did not end cleanly"
expect_equal "configuration command of the update" '"C:\Program Files\Zentrova\zentrova.exe" -xi:0:2.1.3' \
  "$(tr -d '\r' <"$folder/zentrova-calls.log")"
tp_check "no shortcuts on an update" test ! -e "$TP_DESKTOP/Zentrova.lnk" -a ! -e "$TP_PROGRAMS/Zentrova.lnk"

tp_case "an in-use file with the in-use flag: moved aside, deleted at restart, replaced"
mkdir -p "$TP_PF64/TpLocked"
printf 'old' >"$TP_PF64/TpLocked/in-use.dll"
tp_start_helper lock 'C:\Program Files\TpLocked\in-use.dll'
tp_run_installer -- "$TP_INPUTS/locked.exe" -s
tp_stop_helpers
tp_expect_exit 0
expect_equal "new file" new "$(cat "$TP_PF64/TpLocked/in-use.dll")"
expect_equal "old file moved aside" old "$(cat "$TP_PF64/TpLocked/in-use.dll.tmpa" 2>/dev/null)"
tp_check "later files written" test -e "$TP_PF64/TpLocked/after.txt"
tp_read_key "$view64" 'HKLM\System\CurrentControlSet\Control\Session Manager'
pending=$(tp_value_of PendingFileRenameOperations)
[[ $pending == *'TpLocked\in-use.dll.tmpa'* ]] || tp_fail "no deletion at restart scheduled: [$pending]"

tp_case "silent, the product's mutex held for good: exit 1 after a minute, no box, the folder as it was"
before=$(tp_folder_state "$folder")
tp_start_helper mutex Zentrova.Running
started=$SECONDS
tp_run_installer --timeout 150 -- "$TP_INPUTS/zentrova-setup.exe" -s
took=$((SECONDS - started))
tp_stop_helpers
tp_expect_exit 1
tp_expect_report 'STDERR "The product is still running; nothing was changed."' 'EXIT 1'
((took >= 59)) || tp_fail "the run took $took s, less than a minute"
echo "        ($took s)"
expect_equal "the product folder" "$before" "$(tp_folder_state "$folder")"

# --- The wizard ---------------------------------------------------------------

"$TP_WINE" reg delete "$key" /f /reg:64 </dev/null >/dev/null 2>&1 || tp_die "cannot remove the entry"
rm -rf "$folder" "$TP_DESKTOP/Zentrova.lnk" "$TP_PROGRAMS/Zentrova.lnk"
shot=
if [[ -n ${TP_SHOTS:-} ]]; then
  mkdir -p "$TP_SHOTS"
  # Under emulation the page paints a while after it shows.
  shot="sleep 3000
screenshot $(tp_winpath "$TP_SHOTS/i686-$WINEARCH-license.bmp")"
fi
copies=('zentrova.exe' 'x64\zentrova.sys' 'language\Zentrova_DEU.ini' 'license.txt')

tp_run_wizard "wait-wizard
$shot
dump license
click 9
wait-visible 21
dump destination
click 1
wait-visible 11
dump completed
click 11
click 2" -- "$TP_INPUTS/zentrova-setup.exe"

tp_case "licence page: caption, texts, the licence in the pane"
tp_expect_exit 0
expect_equal "caption" "Setup - Zentrova 2.1.3" "$(tp_dump_title license)"
tp_expect_item license 5 'text="License Agreement"'
tp_expect_item license 1 visible=1 enabled=0 'text="&Next >"'
expect_equal "first line of the pane" "$(head -1 "$TP_ROOT/examples/zentrova/payload/license.txt" | tr -d '\r')" \
  "$(tp_pane_text license | head -1)"

tp_case "destination page: the default folder from the 64-bit view's Program Files"
tp_expect_item destination 5 'text="Select Destination Location"'
tp_expect_item destination 21 visible=1 'text="C:\\Program Files\\Zentrova"'
tp_expect_item destination 1 visible=1 enabled=1

tp_case "completed page: the log of the files of this machine, shortcuts, configuration, End"
tp_expect_item completed 5 'text="Installation completed successfully"'
tp_expect_item completed 11 visible=1 check=1 'text="Launch Zentrova"'
log=$(tp_pane_text completed)
expected=$(for name in "${copies[@]}"; do echo "Copy C:\\Program Files\\Zentrova\\$name"; done
  echo 'Create desktop shortcut'
  echo 'Create start menu shortcut')
expect_equal "copy and shortcut lines" "$expected" "$(head -n -2 <<<"$log")"
[[ $(tail -n 2 <<<"$log" | head -1) =~ ^Config:\ \"C:\\Program\ Files\\Zentrova\\zentrova.exe\"\ -xi:[1-9][0-9]*:$ ]] ||
  tp_fail "configuration line: $(tail -n 2 <<<"$log" | head -1)"
expect_equal "last line" End "$(tail -n 1 <<<"$log")"
tp_check "desktop shortcut" test -e "$TP_DESKTOP/Zentrova.lnk"
tp_check "Start-menu shortcut" test -e "$TP_PROGRAMS/Zentrova.lnk"
tp_check "licence installed" cmp -s "$TP_ROOT/examples/zentrova/payload/license.txt" "$folder/license.txt"
