#!/usr/bin/env bash
# The i686 generated uninstaller, in the test guest: the example built with
# [uninstall] generated = true by the i686 stub with the i686 uninstaller.
# Its QuietUninstallString removes everything the install wrote from the
# registry view and Program Files folder the package asked for, through a
# copy of itself in the temporary folder. (A file held open, which takes
# the same code on both builds, is left to the wine64 tests: each Windows
# process costs seconds in the guest.)
set -euo pipefail
# shellcheck source=tests/wine/lib.sh
source "$(dirname "$0")/../lib.sh"

prepare() {
  local example=$TP_ROOT/examples/zentrova
  sed -e '/^uninstall_arguments/d' -e "s|^source = \"|source = \"$example/|" "$example/tailpack.toml" \
    >"$TP_INPUTS/tailpack.toml"
  printf '\n[uninstall]\ngenerated = true\n' >>"$TP_INPUTS/tailpack.toml"
  SOURCE_DATE_EPOCH=1700000000 "$TP_ROOT/build/host/tailpack" build "$TP_INPUTS/tailpack.toml" \
    --stub "$TP_STUB" --uninstaller "$TP_ROOT/build/win32/tailpack-uninstall.exe" \
    -q -o "$TP_INPUTS/zentrova-setup.exe" >"$TP_INPUTS/build.log" 2>&1 ||
    tp_die "tailpack build failed (see $TP_INPUTS/build.log)"
}

tp_test_begin

key='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\Zentrova'
folder=$TP_PF64/Zentrova
readonly kCommand='"C:\Program Files\Zentrova\uninstall\Zentrova\uninstall.exe"'
view=64
[[ $WINEARCH == win32 ]] && view=

# install_product: a fresh silent install (the prefix is shared with the
# other scripts, which leave the example installed); sets QUIET.
install_product() {
  "$TP_WINE" reg delete "$key" /f /reg:64 </dev/null >/dev/null 2>&1 || true
  rm -rf "$folder" "$TP_DESKTOP/Zentrova.lnk" "$TP_PROGRAMS/Zentrova.lnk"
  tp_run_installer -- "$TP_INPUTS/zentrova-setup.exe" -s
  tp_expect_exit 0
  tp_read_key "$view" "$key"
  QUIET=$(tp_value_of QuietUninstallString)
}

tp_case "the install registers the i686 uninstaller; its quiet command removes the product"
install_product
expect_equal "QuietUninstallString" "$kCommand -s" "$QUIET"
tp_check "the uninstaller is installed" cmp -s "$TP_ROOT/build/win32/tailpack-uninstall.exe" \
  "$folder/uninstall/Zentrova/uninstall.exe"
echo mine >"$folder/notes.txt"
tp_run_installer --cmdline "$QUIET"
tp_expect_exit 0
tp_expect_report 'EXIT 0'
# The copy removes the uninstall folder once the first uninstaller ended.
for ((i = 0; i < 100; i++)); do
  [[ -e $folder/uninstall ]] || break
  sleep 0.2
done
for file in zentrova.exe license.txt x64 language uninstall; do
  tp_check "$file removed" test ! -e "$folder/$file"
done
tp_check "shortcuts removed" test ! -e "$TP_DESKTOP/Zentrova.lnk" -a ! -e "$TP_PROGRAMS/Zentrova.lnk"
tp_check "the uninstall entry removed" eval '! tp_key_exists "$view" "$key"'
tp_check "the user's file kept" grep -qx mine "$folder/notes.txt"
tp_expect_no_copy "$TP_C/users" "$view"

tp_test_end
