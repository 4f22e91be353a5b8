#!/usr/bin/env bash
# Silent installation end to end: the example installer built by the tool
# (fresh install, then an update), and mkpkg variants for file times and
# listed-only entries, in-use files, a running product (window and mutex),
# the 32-bit registry view and the three forms of DefaultFolder.
#
# A helper program (install_helper.c, TP_HELPER) stands in for a
# running product and reads shortcuts back through the shell-link object.
set -euo pipefail
source "$(dirname "$0")/lib.sh"
tp_test_begin

tool=$TP_ROOT/build/host/tailpack
example=$TP_ROOT/examples/zentrova
[[ -x $tool ]] || tp_die "no tool at $tool (make host)"
app64=$TP_ROOT/build/win64/zentrova-app/zentrova.exe
[[ -f $app64 ]] || tp_die "no example program at $app64 (make win64)"

user=$TP_USER
desktop=$TP_DESKTOP
programs=$TP_PROGRAMS
pf64=$TP_PF64
pf32="$WINEPREFIX/drive_c/Program Files (x86)"
localappdata=$WINEPREFIX/drive_c/users/$user/AppData/Local

helper=$TP_HELPER

# FILETIME of a Unix time.
filetime() { echo $((($1 + 11644473600) * 10000000)); }

uninstall_key='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall'

# --- The example installer ------------------------------------------------

installer=$TP_TEST_DIR/zentrova-setup-x64.exe
SOURCE_DATE_EPOCH=1700000000 "$tool" build "$example/tailpack.toml" --stub "$TP_STUB" -q -o "$installer" \
  >"$TP_TEST_DIR/build.log" 2>&1 || tp_die "tailpack build failed (see $TP_TEST_DIR/build.log)"
folder=$pf64/Zentrova
key="$uninstall_key\\Zentrova"

tp_case "example, fresh: the x64 selection with its times, shortcuts, configuration, entry"
tp_run_installer -- "$installer" -s
tp_expect_exit 0
tp_expect_report 'EXIT 0'
tp_check "x64 zentrova.exe" cmp -s "$app64" "$folder/zentrova.exe"
tp_check "x64 driver" cmp -s "$example/payload/x64/zentrova.sys" "$folder/x64/zentrova.sys"
tp_check "language file" cmp -s "$example/payload/language/Zentrova_DEU.ini" \
  "$folder/language/Zentrova_DEU.ini"
tp_check "licence" cmp -s "$example/payload/license.txt" "$folder/license.txt"
expect_equal "installed files" \
  "language/Zentrova_DEU.ini license.txt x64/zentrova.sys zentrova-calls.log zentrova.exe" \
  "$(cd "$folder" && find . -type f | sed 's|^\./||' | LC_ALL=C sort | xargs)"
# The tool clamps every time to SOURCE_DATE_EPOCH.
for name in zentrova.exe x64/zentrova.sys license.txt; do
  expect_equal "time of $name" 1700000000 "$(stat -c %Y "$folder/$name")"
done
expect_equal "configuration command" '"C:\Program Files\Zentrova\zentrova.exe" -xi:0:' \
  "$(tr -d '\r' <"$folder/zentrova-calls.log")"
for lnk in "$desktop/Zentrova.lnk" "$programs/Zentrova.lnk"; do
  expect_equal "shortcut ${lnk#"$WINEPREFIX/"}" "$(printf '%s\n' \
    'target=C:\Program Files\Zentrova\zentrova.exe' 'arguments=' \
    'directory=C:\Program Files\Zentrova\' 'icon=' 'index=0')" "$(tp_shortcut "$lnk")"
done
tp_read_key 64 "$key"
expect_equal UninstallString '"C:\Program Files\Zentrova\zentrova.exe" -xu' "$(tp_value_of UninstallString)"
expect_equal DisplayIcon 'C:\Program Files\Zentrova\zentrova.exe' "$(tp_value_of DisplayIcon)"
expect_equal InstallLocation 'C:\Program Files\Zentrova\' "$(tp_value_of InstallLocation)"
expect_equal DisplayName 'Zentrova 2.1.3' "$(tp_value_of DisplayName)"
expect_equal DisplayVersion '2.1.3' "$(tp_value_of DisplayVersion)"
expect_equal Publisher 'Halvix' "$(tp_value_of Publisher)"
expect_equal NoModify '0x1' "$(tp_value_of NoModify)"
expect_equal NoRepair '0x1' "$(tp_value_of NoRepair)"
# 18944 + 142 + 170 + 726 bytes selected: 19 KiB.
expect_equal EstimatedSize '0x13' "$(tp_value_of EstimatedSize)"
tp_check "no entry in the 32-bit view" eval '! tp_key_exists 32 "$key"'

tp_case "example, second run: an update into the registered folder, closing the product"
mkdir -p "$WINEPREFIX/drive_c/Apps"
"$TP_WINE" reg add "$key" /v InstallLocation /t REG_SZ /d 'C:\Apps\Zentrova' /f /reg:64 \
  </dev/null >/dev/null 2>&1 || tp_die "cannot move the registered folder"
rm -f "$desktop/Zentrova.lnk" "$programs/Zentrova.lnk"
# The product runs (window and mutex) from the first installation.
"$TP_WINE" 'C:\Program Files\Zentrova\zentrova.exe' </dev/null >>"$TP_TEST_DIR/helper.log" 2>&1 &
product=$!
"$TP_WINE" "$helper" find ZentrovaMainWindow </dev/null >>"$TP_TEST_DIR/helper.log" 2>&1 ||
  tp_die "the example program did not open its window"
tp_run_installer -- "$installer" -s
tp_expect_exit 0
tp_expect_report 'EXIT 0'
tp_wait_pid "$product" 30 || tp_fail "the running product did not end cleanly"
tp_check "files in the registered folder" cmp -s "$app64" "$WINEPREFIX/drive_c/Apps/Zentrova/zentrova.exe"
expect_equal "configuration command of the update" '"C:\Apps\Zentrova\zentrova.exe" -xi:0:2.1.3' \
  "$(tr -d '\r' <"$WINEPREFIX/drive_c/Apps/Zentrova/zentrova-calls.log")"
tp_check "no desktop shortcut on an update" test ! -e "$desktop/Zentrova.lnk"
tp_check "no Start-menu shortcut on an update" test ! -e "$programs/Zentrova.lnk"
tp_read_key 64 "$key"
expect_equal "InstallLocation after the update" 'C:\Apps\Zentrova\' "$(tp_value_of InstallLocation)"

# --- mkpkg variants ---------------------------------------------------------

t1=1600000000
t2=1650000000

tp_case "file times, folders of listed-only entries, arguments and icon of a package target"
tp_mkpkg "$TP_TEST_DIR/times.exe" --flags 1 --setting ProductName=TpTimes \
  --setting 'LaunchTarget=C:\Program Files\TpTimes\TpTimes.exe --tray now' \
  --content 'TpTimes.exe=program' --mtime "$(filetime $t1)" \
  --content 'data\deep\settings.ini=[a]' --mtime "$(filetime $t2)" \
  --content 'empty.txt=' --mtime "$(filetime $t1)" \
  --content 'logs\archive\placeholder=not written' --entry-flags 0x400000
tp_run_installer -- "$TP_TEST_DIR/times.exe" -s
tp_expect_exit 0
tp_expect_report 'EXIT 0'
expect_equal "time of TpTimes.exe" $t1 "$(stat -c %Y "$pf64/TpTimes/TpTimes.exe")"
expect_equal "time of settings.ini" $t2 "$(stat -c %Y "$pf64/TpTimes/data/deep/settings.ini")"
expect_equal "size of the empty file" 0 "$(stat -c %s "$pf64/TpTimes/empty.txt")"
tp_check "folders of the listed-only entry" test -d "$pf64/TpTimes/logs/archive"
tp_check "no file for the listed-only entry" test ! -e "$pf64/TpTimes/logs/archive/placeholder"
# Split at the last blank only. (Wine's shell link resolves a target with
# environment references against the current folder, so this one has none.)
expect_equal "shortcut of a package launch target" "$(printf '%s\n' \
  'target=C:\Program Files\TpTimes\TpTimes.exe --tray' 'arguments=now' \
  'directory=C:\Program Files\TpTimes\' 'icon=C:\Program Files\TpTimes\TpTimes.exe' 'index=0')" \
  "$(tp_shortcut "$programs/TpTimes.lnk")"

# locked_case NAME FLAGS: installs NAME's package over a file kept open.
locked_case() {
  local name=$1 flags=$2
  mkdir -p "$pf64/$name"
  printf 'old' >"$pf64/$name/in-use.dll"
  tp_mkpkg "$TP_TEST_DIR/$name.exe" --flags 1 --setting "ProductName=$name" --setting ConfigCommand=-x \
    --content 'in-use.dll=new' --entry-flags "$flags" --content 'after.txt=later'
  tp_start_helper lock "C:\\Program Files\\$name\\in-use.dll"
  tp_run_installer -- "$TP_TEST_DIR/$name.exe" -s
  tp_stop_helpers
}

tp_case "locked file with the in-use flag: moved aside, deleted at reboot, replaced"
locked_case TpLocked 0x800000
tp_expect_exit 0
tp_expect_report 'EXIT 0'
expect_equal "new file" new "$(cat "$pf64/TpLocked/in-use.dll")"
expect_equal "old file moved aside" old "$(cat "$pf64/TpLocked/in-use.dll.tmpa" 2>/dev/null)"
tp_check "later files written" test -e "$pf64/TpLocked/after.txt"
tp_read_key 64 'HKLM\System\CurrentControlSet\Control\Session Manager'
pending=$(tp_value_of PendingFileRenameOperations)
[[ $pending == *'TpLocked\in-use.dll.tmpa'* ]] || tp_fail "no deletion at reboot scheduled: [$pending]"
tp_check "uninstall entry written" tp_key_exists 64 "$uninstall_key\\TpLocked"

tp_case "locked file without the in-use flag: the install stops at that file, exit code 2"
locked_case TpStuck 0
tp_expect_exit 2
tp_expect_report 'EXIT 2'
expect_equal "old file kept" old "$(cat "$pf64/TpStuck/in-use.dll")"
tp_check "nothing moved aside" test ! -e "$pf64/TpStuck/in-use.dll.tmpa"
tp_check "no later file" test ! -e "$pf64/TpStuck/after.txt"
tp_check "no uninstall entry" eval '! tp_key_exists 64 "$uninstall_key\\TpStuck"'
tp_check "no shortcut" test ! -e "$programs/TpStuck.lnk"

tp_case "hard links planted at the old, predictable staging names: the file they reach stays as it was"
# A standard user who may write the install folder links the names an
# update used to stage under (NAME.~tpN) to a file of someone else's. The
# staging names now carry a random number and are created new.
mkdir -p "$WINEPREFIX/drive_c/Victim" "$pf64/TpPlanted"
printf 'victim' >"$WINEPREFIX/drive_c/Victim/secret.txt"
printf 'old' >"$pf64/TpPlanted/a.txt"
for n in 0 1 2 3 4 5 6 7 8 9; do
  ln "$WINEPREFIX/drive_c/Victim/secret.txt" "$pf64/TpPlanted/a.txt.~tp$n"
done
tp_mkpkg "$TP_TEST_DIR/planted.exe" --flags 1 --setting ProductName=TpPlanted --content 'a.txt=new'
tp_run_installer -- "$TP_TEST_DIR/planted.exe" -s
tp_expect_exit 0
expect_equal "the replaced file" new "$(cat "$pf64/TpPlanted/a.txt")"
expect_equal "the victim's file" victim "$(cat "$WINEPREFIX/drive_c/Victim/secret.txt")"
expect_equal "the planted links, untouched" 10 "$(find "$pf64/TpPlanted" -name 'a.txt.~tp*' -links 11 | wc -l)"

tp_case "a folder of the product replaced by a link to another folder: exit 2, nothing written there"
# A Unix symbolic link stands in for a junction, which Wine cannot make:
# Wine follows both the same way in the middle of a path.
mkdir -p "$WINEPREFIX/drive_c/Victim2" "$pf64/TpLinked"
printf 'victim a' >"$WINEPREFIX/drive_c/Victim2/a.txt"
printf 'victim b' >"$WINEPREFIX/drive_c/Victim2/b.dat"
ln -s ../../Victim2 "$pf64/TpLinked/sub"
tp_mkpkg "$TP_TEST_DIR/linked.exe" --flags 1 --setting ProductName=TpLinked \
  --content 'sub\a.txt=new a' --content 'sub\c.txt=new c'
victim_before=$(tp_folder_state "$WINEPREFIX/drive_c/Victim2")
tp_run_installer -- "$TP_TEST_DIR/linked.exe" -s
tp_expect_exit 2
expect_equal "the folder the link reaches" "$victim_before" "$(tp_folder_state "$WINEPREFIX/drive_c/Victim2")"
tp_check "no uninstall entry" eval '! tp_key_exists 64 "$uninstall_key\\TpLinked"'

tp_case "an install folder that is itself a link: exit 2, nothing written"
ln -s ../Victim2 "$pf64/TpLinkedRoot"
tp_mkpkg "$TP_TEST_DIR/linkedroot.exe" --flags 1 --setting ProductName=TpLinkedRoot --content 'a.txt=new a'
tp_run_installer -- "$TP_TEST_DIR/linkedroot.exe" -s
tp_expect_exit 2
expect_equal "the folder the link reaches" "$victim_before" "$(tp_folder_state "$WINEPREFIX/drive_c/Victim2")"

# running_box NAME: the report line of the running-product question.
running_box() {
  echo "BOX caption=\"$1\" text=\"Setup has detected that $1 is currently running.\\r\\n\\r\\nPlease close all instances of it now, then click OK to continue, or Cancel to exit.\" buttons=ok,cancel press=$2"
}

# The wizard asks about a running product once Install is pressed.
readonly kToInstall=$'wait-wizard\nclick 9\nwait-visible 21\nwait-enabled 1\nclick 1'

# window_case NAME ANSWERS [-s]: runs NAME's package (the wizard up to
# Install, or silently) while a window of its class ignores WM_CLOSE; the
# driver gives ANSWERS to the questions.
window_case() {
  local name=$1 answers=$2
  rm -f "$TP_TEST_DIR/$name-window.log"
  tp_mkpkg "$TP_TEST_DIR/$name.exe" --flags 1 --setting "ProductName=$name" \
    --setting "WindowClass=${name}Main" --content 'a.txt=a'
  tp_start_helper window "${name}Main" 2>/dev/null
  # tp_start_helper's ready file is the window log here.
  if [[ ${3:-} == -s ]]; then
    tp_run_installer --timeout 120 -- "$TP_TEST_DIR/$name.exe" -s
  else
    tp_run_wizard "$kToInstall" --answers "$answers" -- "$TP_TEST_DIR/$name.exe"
  fi
  tp_stop_helpers
}

tp_case "wizard, window ignoring WM_CLOSE: the question follows the sixth attempt, Cancel exits 0"
window_case TpStubborn cancel
tp_expect_exit 0
tp_expect_report "$(running_box TpStubborn cancel)" 'EXIT 0'
expect_equal "WM_CLOSE messages (lParam 1024)" "$(printf 'close 1024\n%.0s' 1 2 3 4 5 6)" \
  "$(grep -v ready "$TP_TEST_DIR/ready-$TP_HELPER_COUNT")"
tp_check "no file installed" test ! -e "$pf64/TpStubborn/a.txt"

tp_case "wizard: OK goes on trying and asks at every further attempt; names with I get 0x8066"
window_case Imaginary ok,ok,cancel
tp_expect_exit 0
tp_expect_report "$(running_box Imaginary ok)" "$(running_box Imaginary ok)" \
  "$(running_box Imaginary cancel)" 'EXIT 0'
expect_equal "WM_CLOSE and 0x8066 per attempt" \
  "$(printf 'close 1024\nmessage 0x8066\n%.0s' 1 2 3 4 5 6 7 8)" \
  "$(grep -v ready "$TP_TEST_DIR/ready-$TP_HELPER_COUNT")"

tp_case "silent, window ignoring WM_CLOSE: a close request every 600 ms for a minute, then exit 1, no box"
started=$SECONDS
window_case TpStubbornSilent "" -s
took=$((SECONDS - started))
tp_expect_exit 1
tp_expect_report 'STDERR "The product is still running; nothing was changed."' 'EXIT 1'
expect_equal "WM_CLOSE messages (lParam 1024)" 100 \
  "$(grep -c '^close 1024$' "$TP_TEST_DIR/ready-$TP_HELPER_COUNT")"
((took >= 59 && took < 95)) || tp_fail "the run took $took s, not one minute"
tp_check "nothing made" test ! -e "$pf64/TpStubbornSilent"

tp_case "wizard, held mutex: the question repeats, Cancel exits 0"
tp_mkpkg "$TP_TEST_DIR/mutex.exe" --flags 1 --setting ProductName=TpMutex \
  --setting MutexName=TpMutex.Running --content 'a.txt=a'
tp_start_helper mutex TpMutex.Running
tp_run_wizard "$kToInstall" --answers ok,ok,cancel -- "$TP_TEST_DIR/mutex.exe"
tp_stop_helpers
tp_expect_exit 0
tp_expect_report "$(running_box TpMutex ok)" "$(running_box TpMutex ok)" \
  "$(running_box TpMutex cancel)" 'EXIT 0'
tp_check "nothing installed" test ! -e "$pf64/TpMutex/a.txt"

tp_case "mutex released: the install goes on"
tp_run_installer -- "$TP_TEST_DIR/mutex.exe" -s
tp_expect_exit 0
tp_expect_report 'EXIT 0'
tp_check "installed" test -e "$pf64/TpMutex/a.txt"

tp_case "header flag bit 0 clear: 32-bit registry view and its Program Files"
tp_mkpkg "$TP_TEST_DIR/view32.exe" --flags 0 --setting ProductName=TpView --content 'a.txt=a'
tp_run_installer -- "$TP_TEST_DIR/view32.exe" -s
tp_expect_exit 0
tp_check "installed under Program Files (x86)" test -e "$pf32/TpView/a.txt"
tp_read_key 32 "$uninstall_key\\TpView"
expect_equal "InstallLocation in the 32-bit view" 'C:\Program Files (x86)\TpView\' "$(tp_value_of InstallLocation)"
tp_check "no entry in the 64-bit view" eval '! tp_key_exists 64 "$uninstall_key\\TpView"'

tp_case "header flag bit 0 clear: the next run finds the entry there and updates"
rm -f "$pf32/TpView/a.txt" "$programs/TpView.lnk"
tp_run_installer -- "$TP_TEST_DIR/view32.exe" -s
tp_expect_exit 0
tp_check "reinstalled" test -e "$pf32/TpView/a.txt"
tp_check "no shortcut on the update" test ! -e "$programs/TpView.lnk"

# folder_case NAME SETTING UNIXFOLDER WINFOLDER
folder_case() {
  tp_mkpkg "$TP_TEST_DIR/$1.exe" --flags 1 --setting "ProductName=$1" --setting "DefaultFolder=$2" \
    --content 'a.txt=a'
  tp_run_installer -- "$TP_TEST_DIR/$1.exe" -s
  tp_expect_exit 0
  tp_check "installed in $4" test -e "$3/a.txt"
  tp_read_key 64 "$uninstall_key\\$1"
  expect_equal "InstallLocation" "$4" "$(tp_value_of InstallLocation)"
}

tp_case "DefaultFolder %PROGRAMFILES%\\...: Program Files and the rest, no product name"
folder_case TpPf '%PROGRAMFILES%\TpPfFolder' "$pf64/TpPfFolder" 'C:\Program Files\TpPfFolder\'

tp_case "DefaultFolder %LocalAppData%\\...: the local application-data folder"
folder_case TpLocal '%LocalAppData%\TpLocalFolder' "$localappdata/TpLocalFolder" \
  "C:\\users\\$user\\AppData\\Local\\TpLocalFolder\\"

tp_case "DefaultFolder with other variables: expanded from the environment"
folder_case TpEnv 'C:\TpEnv-%USERNAME%' "$WINEPREFIX/drive_c/TpEnv-$user" "C:\\TpEnv-$user\\"
