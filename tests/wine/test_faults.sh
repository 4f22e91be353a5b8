#!/usr/bin/env bash
# Faults of the machine against a real file system: a full disk and a
# read-only folder (small mounts mapped as Wine drive letters), a file where
# a folder must go, a configuration command that cannot start and one that
# takes seconds. Each ends as documented in docs/security.md: the Failed
# page with its "Failed to write file" line, or exit code 2 in silent mode,
# with nothing written elsewhere, no crash and no hang.
#
# Files in use and a folder where a file must go are covered by test_install
# and test_wizard; an uninstall key that cannot be written by the native
# tests (Wine's registry has no access control to deny it).
set -euo pipefail
source "$(dirname "$0")/lib.sh"
tp_test_begin

full=$TP_TEST_DIR/full
readonly_dir=$TP_TEST_DIR/readonly
mounted=()
unmount_all() {
  local dir
  for dir in "${mounted[@]}"; do umount "$dir" 2>/dev/null || umount -l "$dir" 2>/dev/null || true; done
}
trap 'status=$?; unmount_all; (exit $status); tp_test_end' EXIT

# mount_small DIR OPTIONS: a 512 KiB tmpfs at DIR.
mount_small() {
  mkdir -p "$1"
  mount -t tmpfs -o "size=512k,$2" tailpack-faults "$1" ||
    tp_die "cannot mount a tmpfs at $1 (the fault tests need root with mount rights)"
  mounted+=("$1")
}
mount_small "$full" rw
mount_small "$readonly_dir" rw
mkdir -p "$readonly_dir/Existing"
echo "kept" >"$readonly_dir/Existing/old.txt"
mount -o remount,ro "$readonly_dir" || tp_die "cannot make $readonly_dir read-only"
ln -s "$full" "$WINEPREFIX/dosdevices/t:"
ln -s "$readonly_dir" "$WINEPREFIX/dosdevices/r:"
uninstall_key='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall'

key_exists() {
  "$TP_WINE" reg query "$uninstall_key\\$1" /reg:64 </dev/null >/dev/null 2>&1
}

# install_and_fail NAME FOLDER ANSWERS: the wizard installs NAME's package
# into FOLDER and must end on the Failed page (dump "failed").
install_and_fail() {
  local answers=()
  [[ -n $3 ]] && answers=(--answers "$3")
  tp_run_wizard "wait-wizard
click 9
wait-visible 21
type 21 $2
click 1
wait-text 5 Installation failed
dump failed
click 2" "${answers[@]}" -- "$TP_TEST_DIR/$1.exe"
  tp_expect_exit 2
  tp_expect_item failed 2 enabled=1 'text="&Finish"'
  tp_expect_item failed 200 visible=1
}

# --- Full disk -------------------------------------------------------------

head -c 2097152 /dev/zero >"$TP_TEST_DIR/big.bin"
tp_mkpkg "$TP_TEST_DIR/Fullsy.exe" --flags 1 --setting ProductName=Fullsy \
  --content 'first.txt=first' --file "big.bin=$TP_TEST_DIR/big.bin" --content 'after.txt=after'
tp_case "full disk: Failed page, the disk-full line last, exit code 2, nothing registered"
install_and_fail Fullsy 'T:\Fullsy' ''
expect_equal "log" "$(printf '%s\n' 'Copy T:\Fullsy\first.txt' 'Copy T:\Fullsy\big.bin' \
  'Failed to write file: T:\Fullsy\big.bin, code: 112')" "$(tp_pane_text failed)"
tp_check "no later file" test ! -e "$full/Fullsy/after.txt"
tp_check "no uninstall entry" eval '! key_exists Fullsy'
expect_equal "nothing left on the disk, not even the install folder" "" "$(ls -A "$full")"

tp_case "full disk, silent: exit code 2"
"$TP_WINE" reg delete "$uninstall_key\\Fullsy" /f /reg:64 </dev/null >/dev/null 2>&1 || true
tp_mkpkg "$TP_TEST_DIR/Fullsilent.exe" --flags 1 --setting ProductName=Fullsilent \
  --setting 'DefaultFolder=T:\Fullsilent' --file "big.bin=$TP_TEST_DIR/big.bin" --content 'after.txt=after'
tp_run_installer -- "$TP_TEST_DIR/Fullsilent.exe" -s
tp_expect_exit 2
tp_expect_report 'EXIT 2'
tp_check "no later file" test ! -e "$full/Fullsilent/after.txt"

tp_check "not even the install folder" test ! -e "$full/Fullsilent"

# --- Failed updates ---------------------------------------------------------

# version NAME VERSION SIZE...: a package of NAME into T:\NAME (a 512 KiB
# drive) with a licence and one file of each SIZE (KiB; different bytes in
# every version).
version() {
  local name=$1 number=$2 options=() size n=0
  shift 2
  for size in "$@"; do
    n=$((n + 1))
    head -c $((size * 1024)) /dev/urandom >"$TP_TEST_DIR/$name-$number-$n.bin"
    options+=(--file "data\\part$n.bin=$TP_TEST_DIR/$name-$number-$n.bin")
  done
  tp_mkpkg "$TP_TEST_DIR/$name-$number.exe" --flags 1 --setting "ProductName=$name" \
    --setting "ProductVersion=$number" --setting "DefaultFolder=T:\\$name" \
    --content "license.txt=licence $number" "${options[@]}"
}

# displayed_version NAME: the DisplayVersion of NAME's uninstall entry.
displayed_version() {
  tp_read_key 64 "$uninstall_key\\$1"
  tp_value_of DisplayVersion
}

# 2 x 150 KiB installed; the update's 2 x 150 KiB staged beside them do not
# fit the drive: the second staged file fails, after the first.
version Upsy 1 150 150
version Upsy 2 150 150
tp_case "an update on a full drive, silent: exit 2, the earlier version as it was"
tp_run_installer -- "$TP_TEST_DIR/Upsy-1.exe" -s
tp_expect_exit 0
before=$(tp_folder_state "$full/Upsy")
tp_run_installer -- "$TP_TEST_DIR/Upsy-2.exe" -s
tp_expect_exit 2
expect_equal "the folder" "$before" "$(tp_folder_state "$full/Upsy")"
expect_equal "the uninstall entry's version" 1 "$(displayed_version Upsy)"

tp_case "the same update through the wizard: the Failed page, the earlier version as it was"
tp_run_wizard "wait-wizard
wait-enabled 1
click 1
wait-text 5 Installation failed
dump failed
click 2" -- "$TP_TEST_DIR/Upsy-2.exe"
tp_expect_exit 2
last=$(tp_pane_text failed | sed '/^$/d' | tail -1)
[[ $last == 'Failed to write file: T:\Upsy\data\part2.bin'* ]] || tp_fail "last log line: [$last]"
expect_equal "the folder" "$before" "$(tp_folder_state "$full/Upsy")"
expect_equal "the uninstall entry's version" 1 "$(displayed_version Upsy)"
rm -rf "${full:?}/Upsy"

tp_case "an update stopped by a file in use: exit 2, the earlier version as it was"
tp_mkpkg "$TP_TEST_DIR/Busy-1.exe" --flags 1 --setting ProductName=Busy --setting ProductVersion=1 \
  --content 'a.txt=first a' --content 'busy.dll=first dll' --content 'z.txt=first z'
tp_mkpkg "$TP_TEST_DIR/Busy-2.exe" --flags 1 --setting ProductName=Busy --setting ProductVersion=2 \
  --content 'a.txt=second a' --content 'busy.dll=second dll' --content 'new.txt=new' \
  --content 'z.txt=second z'
tp_run_installer -- "$TP_TEST_DIR/Busy-1.exe" -s
tp_expect_exit 0
before=$(tp_folder_state "$TP_PF64/Busy")
tp_start_helper lock 'C:\Program Files\Busy\busy.dll'
tp_run_installer -- "$TP_TEST_DIR/Busy-2.exe" -s
tp_stop_helpers
tp_expect_exit 2
expect_equal "the folder" "$before" "$(tp_folder_state "$TP_PF64/Busy")"
tp_read_key 64 "$uninstall_key\\Busy"
expect_equal "the uninstall entry's version" 1 "$(tp_value_of DisplayVersion)"

# --- Read-only folder -------------------------------------------------------

tp_mkpkg "$TP_TEST_DIR/Rosy.exe" --flags 1 --setting ProductName=Rosy \
  --setting 'DefaultFolder=R:\Rosy' --content 'a.txt=a'
tp_case "read-only drive, silent: the folder cannot be created, exit code 2"
tp_run_installer -- "$TP_TEST_DIR/Rosy.exe" -s
tp_expect_exit 2
tp_expect_report 'EXIT 2'
tp_check "no uninstall entry" eval '! key_exists Rosy'

tp_case "read-only existing folder in the wizard: Failed page with the failure line"
install_and_fail Rosy 'R:\Existing' yes
last=$(tp_pane_text failed | sed '/^$/d' | tail -1)
[[ $last =~ ^'Failed to write file: R:\Existing\a.txt, code: '[1-9][0-9]*$ ]] ||
  tp_fail "last log line: [$last]"
expect_equal "the folder" "old.txt" "$(ls "$readonly_dir/Existing")"

# --- A file where a folder must go -----------------------------------------

mkdir -p "$TP_PF64/Clashy"
printf 'a file' >"$TP_PF64/Clashy/data"
tp_mkpkg "$TP_TEST_DIR/Clashy.exe" --flags 1 --setting ProductName=Clashy \
  --content 'data\inner.txt=inner' --content 'after.txt=after'
tp_case "a file where a folder must go, silent: exit code 2, the file kept"
tp_run_installer -- "$TP_TEST_DIR/Clashy.exe" -s
tp_expect_exit 2
expect_equal "the file" "a file" "$(cat "$TP_PF64/Clashy/data")"
tp_check "no later file" test ! -e "$TP_PF64/Clashy/after.txt"

# --- Configuration commands -------------------------------------------------

tp_mkpkg "$TP_TEST_DIR/Nocfg.exe" --flags 1 --setting ProductName=Nocfg \
  --setting MainExecutable=missing.exe --setting ConfigCommand=-configure --content 'a.txt=a'
tp_run_wizard 'wait-wizard
click 9
wait-visible 21
click 1
wait-visible 11
dump done
click 11
click 2' -- "$TP_TEST_DIR/Nocfg.exe"
tp_case "a configuration command that cannot start: logged, install completed and registered"
tp_expect_exit 0
tp_expect_item done 5 'text="Installation completed successfully"'
expect_equal "log" "$(printf '%s\n' 'Copy C:\Program Files\Nocfg\a.txt' 'Create desktop shortcut' \
  'Create start menu shortcut' 'Config: "C:\Program Files\Nocfg\missing.exe" -configure' 'End')" \
  "$(tp_pane_text done)"
tp_check "uninstall entry" key_exists Nocfg

helper=$TP_HELPER
tp_mkpkg "$TP_TEST_DIR/Slowcfg.exe" --flags 1 --setting ProductName=Slowcfg \
  --setting MainExecutable=slow.exe --setting 'ConfigCommand=sleep 5000' --file "slow.exe=$helper"
tp_run_wizard 'wait-wizard
click 9
wait-visible 21
click 1
wait-text 5 Installing
sleep 1200
dump early
close
key escape
sleep 1500
dump later
wait-visible 11
dump done
click 11
click 2' -- "$TP_TEST_DIR/Slowcfg.exe"
tp_case "a configuration command that takes seconds: the page answers, the bar moves, no way out"
tp_expect_exit 0
for label in early later; do
  tp_expect_item $label 5 'text="Installing"'
  tp_expect_item $label 2 visible=1 enabled=0
  tp_expect_item $label 1 visible=0
  tp_expect_item $label 22 visible=1
done
# The copy phase ends at 5000 of 10000 and only the end of the install sets
# 10000: a bar in between has been moved by the timer while the command ran.
early=$(tp_item early 22 | sed -n 's/.* pos=\([0-9]*\).*/\1/p')
((${early:-0} > 5000 && ${early:-0} < 10000)) || tp_fail "the bar did not move on its own: pos $early"
tp_expect_item done 5 'text="Installation completed successfully"'
grep -q '^ABORT\|^TIMEOUT' "$TP_REPORT" && tp_fail "the run was cut short: $(grep '^ABORT\|^TIMEOUT' "$TP_REPORT")"
tp_check "uninstall entry" key_exists Slowcfg
