#!/usr/bin/env bash
# make screenshots: every page of the wizard in English, in German and in
# English at 192 DPI, the licence page of a licence written in UTF-8 and the
# generated uninstaller's question, as
# PNG files in docs/screenshots/ (the README shows two of them). Runs under Xvfb in a private prefix like the tests.
#
# The installer is the example product with a configuration command that
# takes a few seconds, so that the Installing page can be caught; the Failed
# page comes from an update whose last file meets a folder of that name.
set -euo pipefail
source "$(dirname "$0")/lib.sh"
tp_test_begin

out=$TP_ROOT/docs/screenshots
mkdir -p "$out"
example=$TP_ROOT/examples/zentrova/payload
pf64="$WINEPREFIX/drive_c/Program Files"
key='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\Zentrova'

helper=$TP_HELPER
tp_mkpkg "$TP_TEST_DIR/setup.exe" --flags 1 --info-entry 0 \
  --setting ProductName=Zentrova --setting ProductVersion=2.1.3 --setting Publisher=Halvix \
  --setting MainExecutable=zentrova.exe --setting 'ConfigCommand=sleep 4000' \
  --file "license.txt=$example/license.txt" --file "zentrova.exe=$helper" \
  --file "x64\\zentrova.sys=$example/x64/zentrova.sys" \
  --file "language\\Zentrova_DEU.ini=$example/language/Zentrova_DEU.ini" --content 'readme.txt=Zentrova'
tp_make_locale_wine de_DE

set_dpi() {
  "$TP_WINE" reg add 'HKCU\Control Panel\Desktop' /v LogPixels /t REG_DWORD /d "$1" /f \
    </dev/null >/dev/null 2>&1 || tp_die "cannot set the display resolution"
}

theme() {
  "$TP_WINE" reg add 'HKCU\Software\Microsoft\Windows\CurrentVersion\ThemeManager' /v ThemeActive \
    /t REG_SZ /d "$1" /f </dev/null >/dev/null 2>&1 || tp_die "cannot switch visual styles"
}

# shot NAME: the script line that saves page NAME.
shot() { echo "screenshot $(tp_winpath "$TP_TEST_DIR/$1.bmp")"; }

# variant NAME LOCALE DPI: the five pages of one variant.
variant() {
  local name=$1 locale=$2 dpi=$3
  tp_case "$name: five pages"
  set_dpi "$dpi"
  "$TP_WINE" reg delete "$key" /f </dev/null >/dev/null 2>&1 || true
  rm -rf "$pf64/Zentrova"
  TP_LOCALE=$locale TP_WINE=$TP_LOCALE_WINE tp_run_wizard "wait-wizard
$(shot "$name-1-license")
click 9
wait-visible 21
$(shot "$name-2-destination")
click 1
wait-visible 22
sleep 1500
$(shot "$name-3-installing")
wait-visible 11
$(shot "$name-4-completed")
click 11
click 2" -- "$TP_TEST_DIR/setup.exe"
  tp_expect_exit 0
  mkdir -p "$pf64/Zentrova/readme.txt.blocked" && rm -f "$pf64/Zentrova/readme.txt" &&
    mv "$pf64/Zentrova/readme.txt.blocked" "$pf64/Zentrova/readme.txt"
  # Wine's themed progress bar has no error state; drawn without visual
  # styles it takes the red bar colour, as Windows shows the error state.
  theme 0
  TP_LOCALE=$locale TP_WINE=$TP_LOCALE_WINE tp_run_wizard "wait-wizard
click 1
wait-visible 22
wait-enabled 2
$(shot "$name-5-failed")
click 2" -- "$TP_TEST_DIR/setup.exe"
  tp_expect_exit 2
  theme 1
  local page
  for page in 1-license 2-destination 3-installing 4-completed 5-failed; do
    if [[ -f $TP_TEST_DIR/$name-$page.bmp ]]; then
      tp_png "$TP_TEST_DIR/$name-$page.bmp" "$out/$name-$page.png"
    else
      tp_fail "no picture of $name-$page"
    fi
  done
}

variant en C.UTF-8 96
variant de de_DE.UTF-8 96
variant en-192dpi C.UTF-8 192
set_dpi 96

# A licence written in UTF-8 in German, Polish and Japanese (tailpack build
# shows it through RTF), on the licence page.
tp_case "a UTF-8 licence: the licence page"
licence_dir=$TP_TEST_DIR/utf8
mkdir -p "$licence_dir"
cp "$(dirname "$0")/licence-utf8.txt" "$licence_dir/license.txt"
printf '[product]\nname = "Zentrova"\nversion = "2.1.3"\nmain_executable = "license.txt"\n[setup]\ninfo_text = "license.txt"\n[[files]]\nsource = "license.txt"\n' \
  >"$licence_dir/tailpack.toml"
"$TP_ROOT/build/host/tailpack" build "$licence_dir/tailpack.toml" --stub "$TP_STUB" -q -o "$licence_dir/setup.exe" ||
  tp_die "tailpack build failed"
tp_run_wizard "wait-wizard
$(shot utf8-1-license)
click 2" -- "$licence_dir/setup.exe"
tp_expect_exit 0
tp_png "$TP_TEST_DIR/utf8-1-license.bmp" "$out/en-utf8-license.png"
# The generated uninstaller's question, over the example installed with it.
tp_case "the generated uninstaller: its question"
removal_dir=$TP_TEST_DIR/removal
mkdir -p "$removal_dir"
sed -e '/^uninstall_arguments/d' -e "s|^source = \"|source = \"$TP_ROOT/examples/zentrova/|" \
  "$TP_ROOT/examples/zentrova/tailpack.toml" >"$removal_dir/tailpack.toml"
printf '\n[uninstall]\ngenerated = true\n' >>"$removal_dir/tailpack.toml"
"$TP_ROOT/build/host/tailpack" build "$removal_dir/tailpack.toml" --stub "$TP_STUB" \
  --uninstaller "$TP_ROOT/build/win64/tailpack-uninstall.exe" -q -o "$removal_dir/setup.exe" || tp_die "tailpack build failed"
"$TP_WINE" reg delete "$key" /f </dev/null >/dev/null 2>&1 || true
rm -rf "$pf64/Zentrova"
tp_run_installer -- "$removal_dir/setup.exe" -s
tp_expect_exit 0
tp_run_installer --answers no --box-shot "$(tp_winpath "$TP_TEST_DIR/uninstall-question.bmp")" \
  --cmdline '"C:\Program Files\Zentrova\uninstall\Zentrova\uninstall.exe"'
tp_expect_exit 0
tp_png "$TP_TEST_DIR/uninstall-question.bmp" "$out/en-uninstall-question.png"
echo "pictures in $out"
