#!/usr/bin/env bash
# The wizard end to end: the driver walks the dialog with a script (see
# driver/script.c), dumps every control at the interesting moments and
# answers the message boxes; the checks below read those dumps.
#
# Each run groups what one walk through the wizard can show, because every
# Wine start costs seconds:
#   1. fresh install: first view, accept, Back, destination validation, the
#      existing-folder question answered No, missing parent folders,
#      Completed, Finish launching the product;
#   2. fresh install into an existing folder (Yes), desktop box and launch
#      box unticked: the log, no shortcut on the desktop, nothing launched;
#   3. a failed install: Failed page, red bar, failure line, exit code 2;
#   4. an update of run 1's product: Install on the licence page, no
#      Destination page, no shortcuts;
#   5. the German texts through LANG, and Cancel on both first pages;
#   6. libraries planted beside the installer are never loaded.
set -euo pipefail
source "$(dirname "$0")/lib.sh"
tp_test_begin

app64=$TP_ROOT/build/win64/zentrova-app/zentrova.exe
[[ -f $app64 ]] || tp_die "no example program at $app64 (make win64)"

# package NAME [MKPKG-OPTIONS...]: a package of product NAME with a licence
# as info text, the example program as its main executable and a readme.
package() {
  local name=$1
  shift
  tp_mkpkg "$TP_TEST_DIR/$name.exe" --flags 1 --info-entry 0 \
    --setting "ProductName=$name" --setting ProductVersion=3.4 --setting "MainExecutable=$name.exe" \
    --content 'license.txt=Terms of the Wizardo licence: be kind.' \
    --file "$name.exe=$app64" --content 'readme.txt=read me' "$@"
}

# --- 1. A fresh install, walked page by page -------------------------------

package Wizardo
mkdir -p "$TP_C/Existing"
printf 'keep' >"$TP_C/Existing/own.txt"
tp_run_wizard 'wait-wizard
dump first
click 9
wait-visible 21
dump destination
click 3
wait-hidden 21
dump back
click 9
wait-visible 21
type 21 D
dump D
type 21 D:
dump D:
type 21    C:\Spaced   
dump blanks
type 21 \\server\share
dump unc
type 21 \\
dump two-backslashes
type 21 folder\sub
dump relative
type 21 C:\Existing
click 1
wait-boxes 1
dump declined
type 21 Q:\Nowhere\Wizardo
click 1
wait-boxes 2
dump nodrive
type 21 C:\Deep\er\Wizardo
click 1
wait-visible 11
dump completed
click 2' --answers no,ok -- "$TP_TEST_DIR/Wizardo.exe"

tp_case "first view: the licence page of a fresh install"
expect_equal "caption" "Setup - Wizardo 3.4" "$(tp_dump_title first)"
tp_expect_item first 5 'text="License Agreement"'
tp_expect_item first 6 'text="Please read the following important information before continuing."'
tp_expect_item first 9 visible=1 enabled=1 check=0 'text="I &accept the agreement"'
tp_expect_item first 1 visible=1 enabled=0 'text="&Next >"'
tp_expect_item first 2 visible=1 enabled=1 'text="Cancel"'
tp_expect_item first 10 visible=0 check=1
tp_expect_item first 200 visible=1 'text="Terms of the Wizardo licence: be kind."'
for hidden in 3 8 11 21 22; do tp_expect_item first $hidden visible=0; done

tp_case "accepting moves to Destination with the default folder; Back unticks and returns"
tp_expect_item destination 5 'text="Select Destination Location"'
tp_expect_item destination 6 'text="Where should Wizardo be installed?"'
tp_expect_item destination 21 visible=1 'text="C:\\Program Files\\Wizardo"'
tp_expect_item destination 1 visible=1 enabled=1
for shown in 3 8 10; do tp_expect_item destination $shown visible=1; done
for hidden in 9 200 24; do tp_expect_item destination $hidden visible=0; done
tp_expect_item back 5 'text="License Agreement"'
tp_expect_item back 9 visible=1 check=0
tp_expect_item back 1 enabled=0
tp_expect_item back 21 visible=0

tp_case "destination validation: drive letters, blanks, server shares, relative paths"
# dump label | Install enabled
for entry in "D|0" "D:|1" "blanks|1" "unc|1" "two-backslashes|0" "relative|0"; do
  tp_expect_item "${entry%|*}" 1 "enabled=${entry#*|}"
done

tp_case "an existing folder: the question, No keeps the page and touches nothing"
grep -qF 'BOX caption="Wizardo" text="The folder:\r\n\r\nC:\\Existing\\\r\n\r\nalready exists.' "$TP_REPORT" ||
  tp_fail "no existing-folder question: $(grep '^BOX' "$TP_REPORT" | head -2)"
grep -q '^BOX caption="Wizardo" .* press=no$' "$TP_REPORT" || tp_fail "the question was not answered No"
tp_expect_item declined 5 'text="Select Destination Location"'
tp_expect_item declined 1 visible=1 enabled=1
tp_expect_item declined 21 'text="C:\\Existing"'
expect_equal "the existing folder" "own.txt" "$(ls "$TP_C/Existing")"

tp_case "a folder on a drive that does not exist: a box names it and why, the page stays"
grep -qE '^BOX caption="Wizardo" text="Q:\\\\Nowhere\\\\Wizardo\\\\\\r\\n\\r\\n[A-Za-z].*" buttons=ok press=ok$' "$TP_REPORT" ||
  tp_fail "no box for Q:: $(grep '^BOX' "$TP_REPORT" | sed -n 2p)"
tp_expect_item nodrive 5 'text="Select Destination Location"'
tp_expect_item nodrive 1 visible=1 enabled=1
tp_expect_item nodrive 21 'text="Q:\\Nowhere\\Wizardo"'

tp_case "missing parent folders are created; Completed; Finish launches the product"
tp_expect_item completed 5 'text="Installation completed successfully"'
tp_expect_item completed 6 'text="Click Finish to exit Setup."'
tp_expect_item completed 11 visible=1 check=1 'text="Launch Wizardo"'
tp_expect_item completed 2 visible=1 enabled=1 'text="&Finish"'
for hidden in 1 3 21 22 200; do tp_expect_item completed $hidden visible=0; done
expect_equal "log" "$(printf '%s\n' 'Copy C:\Deep\er\Wizardo\license.txt' 'Copy C:\Deep\er\Wizardo\Wizardo.exe' \
  'Copy C:\Deep\er\Wizardo\readme.txt' 'Create desktop shortcut' 'Create start menu shortcut' 'End')" \
  "$(tp_pane_text completed)"
tp_expect_exit 0
tp_check "program installed" cmp -s "$app64" "$TP_C/Deep/er/Wizardo/Wizardo.exe"
tp_check "desktop shortcut" test -e "$TP_DESKTOP/Wizardo.lnk"
if tp_wait_for "$TP_C/Deep/er/Wizardo/zentrova-calls.log"; then
  [[ $(tr -d '\r' <"$TP_C/Deep/er/Wizardo/zentrova-calls.log") == *Wizardo.exe* ]] ||
    tp_fail "unexpected start: $(cat "$TP_C/Deep/er/Wizardo/zentrova-calls.log")"
else
  tp_fail "Finish did not start the product"
fi
"$TP_WINE" taskkill /f /im Wizardo.exe </dev/null >/dev/null 2>&1 || true

# --- 2. An existing folder accepted, both boxes unticked --------------------

package Wizyes
tp_run_wizard 'wait-wizard
click 9
wait-visible 21
type 21 C:\Existing
click 10
click 1
wait-visible 11
dump completed
click 11
click 2' --answers yes -- "$TP_TEST_DIR/Wizyes.exe"

tp_case "existing folder, Yes: installs there; unticked boxes: no desktop shortcut, no launch"
tp_expect_exit 0
grep -q '^BOX caption="Wizyes" .* press=yes$' "$TP_REPORT" || tp_fail "no question answered Yes"
expect_equal "log" "$(printf '%s\n' 'Copy C:\Existing\license.txt' 'Copy C:\Existing\Wizyes.exe' \
  'Copy C:\Existing\readme.txt' 'Create start menu shortcut' 'End')" "$(tp_pane_text completed)"
expect_equal "folder" "Wizyes.exe license.txt own.txt readme.txt" "$(LC_ALL=C ls "$TP_C/Existing" | xargs)"
tp_check "no desktop shortcut" test ! -e "$TP_DESKTOP/Wizyes.lnk"
tp_check "Start-menu shortcut" test -e "$TP_PROGRAMS/Wizyes.lnk"
sleep 2
tp_check "the product was not started" test ! -e "$TP_C/Existing/zentrova-calls.log"

# --- 3. A failed install ---------------------------------------------------

package Wizfail --content 'after.txt=never'
# A folder where the installer must write a file.
mkdir -p "$TP_PF64/Wizfail/readme.txt"
# Without visual styles the bar is drawn in its bar colour, which shows in a
# screenshot; Wine's themed bar has no error state to show.
"$TP_WINE" reg add 'HKCU\Software\Microsoft\Windows\CurrentVersion\ThemeManager' /v ThemeActive \
  /t REG_SZ /d 0 /f </dev/null >/dev/null 2>&1 || tp_die "cannot switch visual styles off"
tp_run_wizard 'wait-wizard
click 9
wait-visible 21
click 1
wait-text 5 Installation failed
dump failed
screenshot '"$(tp_winpath "$TP_TEST_DIR/failed.bmp")"'
click 2' --answers yes -- "$TP_TEST_DIR/Wizfail.exe"

tp_case "a failed install: Failed page, red bar, the failure line last, exit code 2"
tp_expect_exit 2
tp_expect_item failed 6 'text="Click Finish to exit Setup."'
tp_expect_item failed 22 visible=1
# The bar is red: drawn in its bar colour (240, 0, 0).
red=$(python3 "$TP_ROOT/tests/wine/bmp2png.py" --count f00000 "$TP_TEST_DIR/failed.bmp" 2>/dev/null || echo 0)
((red > 200)) || tp_fail "the progress bar is not red ($red red pixels)"
tp_expect_item failed 200 visible=1
tp_expect_item failed 2 enabled=1 'text="&Finish"'
tp_expect_item failed 11 visible=0
tp_expect_item failed 1 visible=0
expect_equal "log" "$(printf '%s\n' 'Copy C:\Program Files\Wizfail\license.txt' \
  'Copy C:\Program Files\Wizfail\Wizfail.exe' 'Copy C:\Program Files\Wizfail\readme.txt' \
  'Failed to write file: C:\Program Files\Wizfail\readme.txt, code: 5')" "$(tp_pane_text failed)"
tp_check "nothing after the failure" test ! -e "$TP_PF64/Wizfail/after.txt"
tp_check "no shortcut" test ! -e "$TP_PROGRAMS/Wizfail.lnk"
"$TP_WINE" reg add 'HKCU\Software\Microsoft\Windows\CurrentVersion\ThemeManager' /v ThemeActive \
  /t REG_SZ /d 1 /f </dev/null >/dev/null 2>&1 || tp_die "cannot switch visual styles on"

# --- 4. An update of run 1's product ---------------------------------------

rm -f "$TP_DESKTOP/Wizardo.lnk" "$TP_PROGRAMS/Wizardo.lnk"
printf 'changed' >"$TP_C/Deep/er/Wizardo/readme.txt"
tp_run_wizard 'wait-wizard
dump update
click 1
wait-visible 11
dump updated
click 11
click 2' -- "$TP_TEST_DIR/Wizardo.exe"

tp_case "an update: Install on the licence page, into the registered folder, no shortcuts"
tp_expect_exit 0
tp_expect_item update 5 'text="License Agreement"'
tp_expect_item update 9 visible=1 check=1
tp_expect_item update 1 visible=1 enabled=1 'text="&Install"'
for hidden in 3 8 10 21; do tp_expect_item update $hidden visible=0; done
tp_expect_item update 21 'text="C:\\Deep\\er\\Wizardo\\"'
tp_expect_item updated 5 'text="Installation completed successfully"'
expect_equal "log" "$(printf '%s\n' 'Copy C:\Deep\er\Wizardo\license.txt' 'Copy C:\Deep\er\Wizardo\Wizardo.exe' \
  'Copy C:\Deep\er\Wizardo\readme.txt' 'End')" "$(tp_pane_text updated)"
expect_equal "readme restored" "read me" "$(cat "$TP_C/Deep/er/Wizardo/readme.txt")"
tp_check "no desktop shortcut" test ! -e "$TP_DESKTOP/Wizardo.lnk"
tp_check "no Start-menu shortcut" test ! -e "$TP_PROGRAMS/Wizardo.lnk"
grep -q '^DUMP' "$TP_REPORT" && ! grep -q 'Select Destination Location' "$TP_REPORT" ||
  tp_fail "the Destination page showed on an update"

# --- 5. German texts, Cancel -----------------------------------------------

package Wizde --languages en,de
tp_make_locale_wine de_DE
TP_LOCALE=de_DE.UTF-8 TP_WINE=$TP_LOCALE_WINE tp_run_wizard 'wait-wizard
dump erste
click 9
wait-visible 21
dump ziel
type 21 D:\Elsewhere
click 8
browse C:\Program Files
wait-text 21 C:\Program Files\Wizde
dump browsed
click 2' -- "$TP_TEST_DIR/Wizde.exe"

tp_case "LANG=de_DE: the German texts; Browse starts at Program Files and appends the product; Cancel ends at once, nothing installed"
tp_expect_exit 0
expect_equal "caption" "Setup - Wizde 3.4" "$(tp_dump_title erste)"
tp_expect_item erste 5 'text="Lizenzvereinbarung"'
tp_expect_item erste 9 'text="Ich &akzeptiere die Vereinbarung"'
tp_expect_item erste 1 'text="&Weiter >"'
tp_expect_item erste 2 'text="Abbrechen"'
tp_expect_item ziel 5 'text="Zielordner wählen"'
tp_expect_item ziel 6 'text="Wohin soll Wizde installiert werden?"'
tp_expect_item ziel 8 'text="Ä&ndern..."'
tp_expect_item ziel 3 'text="< &Zurück"'
tp_expect_item ziel 10 'text="Verknüpfung auf dem &Desktop erstellen"'
# The folder dialog opens at Program Files whatever the field holds (Wine's
# dialog returns its selection on OK, not the typed text); the product name
# is appended to the choice.
tp_expect_item browsed 21 'text="C:\\Program Files\\Wizde"'
tp_expect_item browsed 1 enabled=1
grep -q '^BOX' "$TP_REPORT" && tp_fail "Cancel asked a question"
tp_check "nothing installed" test ! -e "$TP_PF64/Wizde"

# --- 6. Planted libraries ---------------------------------------------------

downloads=$TP_C/Downloads
mkdir -p "$downloads"
x86_64-w64-mingw32-gcc -shared -O2 -s -o "$TP_TEST_DIR/planted.dll" "$(dirname "$0")/planted_dll.c" \
  >"$TP_TEST_DIR/planted-build.log" 2>&1 &&
  x86_64-w64-mingw32-gcc -municode -DPLANT_PROBE -O2 -s -o "$downloads/probe.exe" \
    "$(dirname "$0")/planted_dll.c" >>"$TP_TEST_DIR/planted-build.log" 2>&1 ||
  tp_die "cannot build the planted library (see $TP_TEST_DIR/planted-build.log)"
planted=(msftedit riched20 riched32)
for name in "${planted[@]}"; do cp "$TP_TEST_DIR/planted.dll" "$downloads/$name.dll"; done
overrides=$(IFS=,; echo "${planted[*]}")=n,b
package Wizplant
cp "$TP_TEST_DIR/Wizplant.exe" "$downloads/setup.exe"

tp_case "libraries planted beside the installer: never loaded, silent or with the wizard"
# The control: a bare-name load from that folder does pick the planted copy.
WINEDLLOVERRIDES=$overrides "$TP_WINE" 'C:\Downloads\probe.exe' msftedit.dll </dev/null >/dev/null 2>&1 ||
  tp_fail "the probe could not load the planted library"
if [[ -e $downloads/msftedit.dll.loaded ]]; then
  rm -f "$downloads"/*.loaded
  WINEDLLOVERRIDES=$overrides tp_run_wizard 'wait-wizard
wait-visible 200
dump open
click 9
wait-visible 21
type 21 C:\Planted
click 1
wait-visible 11
click 11
click 2' -- 'C:\Downloads\setup.exe'
  tp_expect_exit 0
  tp_expect_item open 200 'text="Terms of the Wizardo licence: be kind."'
  WINEDLLOVERRIDES=$overrides tp_run_installer -- 'C:\Downloads\setup.exe' -s
  tp_expect_exit 0
  # The silent run updates the copy the wizard installed.
  tp_check "installed" test -e "$TP_C/Planted/readme.txt"
  loaded=$(find "$downloads" -name "*.loaded" -printf "%f ")
  [[ -z $loaded ]] || tp_fail "planted libraries were loaded: $loaded"
else
  tp_fail "Wine did not load the planted library even by bare name: the check would prove nothing"
fi

# --- 7. A licence written in UTF-8 -------------------------------------------

# build shows it through RTF, so the pane shows every character whatever the
# system's code page; the file itself installs as it was written.
licence_dir=$TP_TEST_DIR/utf8
mkdir -p "$licence_dir"
cp "$(dirname "$0")/licence-utf8.txt" "$licence_dir/license.txt"
cat >"$licence_dir/tailpack.toml" <<'TOML'
[product]
name = "Wizutf"
version = "1.0"
main_executable = "license.txt"
[setup]
info_text = "license.txt"
registry_view = "64-bit"
[[files]]
source = "license.txt"
TOML
"$TP_ROOT/build/host/tailpack" build "$licence_dir/tailpack.toml" --stub "$TP_STUB" -q -o "$licence_dir/setup.exe" \
  >"$TP_TEST_DIR/utf8-build.log" 2>&1 || tp_die "tailpack build failed (see $TP_TEST_DIR/utf8-build.log)"
tp_run_wizard 'wait-wizard
dump licence
click 9
wait-visible 21
click 1
wait-visible 11
click 11
click 2' -- "$licence_dir/setup.exe"

tp_case "a licence in German, Polish and Japanese, written in UTF-8: shown as written, installed as written"
tp_expect_exit 0
expect_equal "the pane" "$(tr -d '\r' <"$licence_dir/license.txt")" "$(tp_pane_text licence)"
tp_check "the installed licence is the file" cmp -s "$licence_dir/license.txt" "$TP_PF64/Wizutf/license.txt"
tp_check "nothing else installed" test "$(ls "$TP_PF64/Wizutf")" = license.txt
