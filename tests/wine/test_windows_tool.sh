#!/usr/bin/env bash
# The Windows build of the tool under wine64, as users get it (unpacked from
# build/tailpack_<version>_windows-x64.zip, where it finds the stubs next
# to itself), next to the Linux tool on the same inputs: the example built from a manifest
# with Windows paths (absolute, with a drive, and relative with
# backslashes, a glob among them, and a file and folder with accented
# names) gives the Linux tool's installer byte for byte, and with the
# generated uninstaller the zip's tool gives the .deb's tool's; list, verify
# --json and extract give the same output, files and exit codes, on an
# intact and on a damaged installer; init writes a manifest the tool builds.
set -euo pipefail
source "$(dirname "$0")/lib.sh"
tp_test_begin

tool=$TP_ROOT/build/host/tailpack
example=$TP_ROOT/examples/zentrova
[[ -x $tool ]] || tp_die "no tool at $tool (make host)"
version=$("$tool" --version | awk '{print $2}')
zip=$TP_ROOT/build/tailpack_${version}_windows-x64.zip
[[ -f $zip ]] || tp_die "no $zip (make windows-zip)"
python3 -m zipfile -e "$zip" "$TP_TEST_DIR/tools"
wintool=$TP_TEST_DIR/tools/tailpack-$version/tailpack.exe
export SOURCE_DATE_EPOCH=1700000000

# wt NAME ARGS...: runs the Windows tool, its output in NAME.out and
# NAME.err (line ends as Linux writes them); sets WT_EXIT.
wt() {
  local name=$1
  shift
  WT_EXIT=0
  "$TP_WINE" "$wintool" "$@" </dev/null >"$TP_TEST_DIR/$name.out.crlf" 2>"$TP_TEST_DIR/$name.err.crlf" || WT_EXIT=$?
  tr -d '\r' <"$TP_TEST_DIR/$name.out.crlf" >"$TP_TEST_DIR/$name.out"
  tr -d '\r' <"$TP_TEST_DIR/$name.err.crlf" >"$TP_TEST_DIR/$name.err"
}

# lt NAME ARGS...: the same for the Linux tool; sets LT_EXIT.
lt() {
  local name=$1
  shift
  LT_EXIT=0
  "$tool" "$@" </dev/null >"$TP_TEST_DIR/$name.out" 2>"$TP_TEST_DIR/$name.err" || LT_EXIT=$?
}

# The product folder: the example's payload copied (times kept), one file in
# a folder with accented names, the two programs left where the builds put
# them.
product=$TP_TEST_DIR/Produkt-ü
mkdir -p "$product/données"
cp -rp "$example/payload" "$product/"
printf 'Résumé\r\n' >"$product/données/résumé.txt"
touch -d '2024-02-29 12:00:00 UTC' "$product/données/résumé.txt"
win() { tp_winpath "$1"; }

# The example's manifest, with its [[files]] rewritten: SEP is the
# separator of relative sources, ABS turns an absolute path into the form
# of the system.
write_manifest() {
  local out=$1 sep=$2 abs=$3
  sed -n '1,/^\[\[files\]\]/p' "$example/tailpack.toml" | sed '$d' >"$out"
  local x86 x64
  x86=$($abs "$TP_ROOT/build/win32/zentrova-app/zentrova.exe")
  x64=$($abs "$TP_ROOT/build/win64/zentrova-app/zentrova.exe")
  cat >>"$out" <<EOF
[[files]]
source = '$x86'
target = "zentrova.exe"
architectures = ["x86"]
replace_in_use = true

[[files]]
source = '$x64'
target = "zentrova.exe"
architectures = ["x64"]
replace_in_use = true

[[files]]
source = 'payload${sep}x64${sep}zentrova.sys'
target = 'x64\zentrova.sys'
architectures = ["x64"]

[[files]]
source = 'payload${sep}language${sep}*.ini'
target = "language"

[[files]]
source = '$($abs "$example/payload/license.txt")'
target = "license.txt"

[[files]]
source = 'données${sep}résumé.txt'
target = 'Dokumente\résumé.txt'
EOF
}
write_manifest "$product/windows.toml" '\' win
write_manifest "$product/linux.toml" / realpath

tp_case "the Windows tool builds the example from a manifest with Windows paths"
wt build build "$(win "$product/windows.toml")" -o "$(win "$TP_TEST_DIR/windows-setup.exe")"
expect_equal "exit code of build" 0 "$WT_EXIT"
tp_check "it names the installer it wrote" grep -q "^wrote .*windows-setup.exe" "$TP_TEST_DIR/build.out"
lt build-linux build "$product/linux.toml" -o "$TP_TEST_DIR/linux-setup.exe"
expect_equal "exit code of the Linux build" 0 "$LT_EXIT"

tp_case "the installer is byte for byte the Linux tool's"
tp_check "the two installers are identical" cmp "$TP_TEST_DIR/windows-setup.exe" "$TP_TEST_DIR/linux-setup.exe"

# The tool as the .deb installs it (usr/bin/tailpack, stubs and uninstallers
# in usr/lib/tailpack) and as the zip holds it, each finding its own copies
# of the stubs and the uninstaller, whose file times differ (the zip keeps
# them to two seconds): the example with the generated uninstaller gives
# the same bytes from both, with an odd SOURCE_DATE_EPOCH and with none.
deb=$TP_ROOT/build/tailpack_${version}_$(dpkg --print-architecture).deb
[[ -f $deb ]] || tp_die "no $deb (make package)"
dpkg-deb -x "$deb" "$TP_TEST_DIR/deb"
debtool=$TP_TEST_DIR/deb/usr/bin/tailpack
for form in windows linux; do
  sed '/^uninstall_arguments/d' "$product/$form.toml" >"$product/$form-generated.toml"
  printf '\n[uninstall]\ngenerated = true\n' >>"$product/$form-generated.toml"
done
for epoch in 1700000001 none; do
  if [[ $epoch == none ]]; then unset SOURCE_DATE_EPOCH; else export SOURCE_DATE_EPOCH=$epoch; fi
  tp_case "SOURCE_DATE_EPOCH $epoch: the .deb's and the zip's tool give the same installer with the generated uninstaller"
  wt generated-$epoch build "$(win "$product/windows-generated.toml")" -q -o "$(win "$TP_TEST_DIR/zip-$epoch.exe")"
  expect_equal "exit code of the zip's tool" 0 "$WT_EXIT"
  deb_exit=0
  "$debtool" build "$product/linux-generated.toml" -q -o "$TP_TEST_DIR/deb-$epoch.exe" </dev/null \
    >"$TP_TEST_DIR/deb-$epoch.out" 2>&1 || deb_exit=$?
  expect_equal "exit code of the .deb's tool" 0 "$deb_exit"
  tp_check "the two installers are identical" cmp "$TP_TEST_DIR/zip-$epoch.exe" "$TP_TEST_DIR/deb-$epoch.exe"
  lt generated-list-$epoch list --json "$TP_TEST_DIR/deb-$epoch.exe"
  tp_check "the installer carries the generated uninstaller" grep -q '"uninstaller":true' "$TP_TEST_DIR/generated-list-$epoch.out"
done
export SOURCE_DATE_EPOCH=1700000000

cp "$TP_TEST_DIR/linux-setup.exe" "$TP_TEST_DIR/damaged-setup.exe"
size=$(stat -c %s "$TP_TEST_DIR/damaged-setup.exe")
printf '\x5a' | dd of="$TP_TEST_DIR/damaged-setup.exe" bs=1 seek=$((size - 200)) conv=notrunc status=none

# The "file" member and the paths in messages differ by nature.
json_without_file() { sed -E 's/"file":"[^"]*",//' "$1"; }
for installer in linux-setup damaged-setup; do
  tp_case "list, verify --json and extract of the $installer installer: same output and exit codes"
  wt list-$installer list "$(win "$TP_TEST_DIR/$installer.exe")" --json
  lt list-$installer-linux list "$TP_TEST_DIR/$installer.exe" --json
  expect_equal "exit code of list" "$LT_EXIT" "$WT_EXIT"
  tp_check "list --json gives the same" diff <(json_without_file "$TP_TEST_DIR/list-$installer.out") \
    <(json_without_file "$TP_TEST_DIR/list-$installer-linux.out")
  wt verify-$installer verify "$(win "$TP_TEST_DIR/$installer.exe")" --json
  lt verify-$installer-linux verify "$TP_TEST_DIR/$installer.exe" --json
  expect_equal "exit code of verify" "$LT_EXIT" "$WT_EXIT"
  tp_check "verify --json gives the same" diff <(json_without_file "$TP_TEST_DIR/verify-$installer.out") \
    <(json_without_file "$TP_TEST_DIR/verify-$installer-linux.out")
  wt extract-$installer extract "$(win "$TP_TEST_DIR/$installer.exe")" --all -q \
    -d "$(win "$TP_TEST_DIR/extracted-$installer-ö")"
  lt extract-$installer-linux extract "$TP_TEST_DIR/$installer.exe" --all -q -d "$TP_TEST_DIR/linux-$installer"
  expect_equal "exit code of extract" "$LT_EXIT" "$WT_EXIT"
  if [[ $installer == linux-setup ]]; then
    tp_check "extract writes the same files" diff -r "$TP_TEST_DIR/extracted-$installer-ö" "$TP_TEST_DIR/linux-$installer"
    tp_check "with the same times" diff <(cd "$TP_TEST_DIR/extracted-$installer-ö" && find . -type f -printf '%P %T@\n' | sort) \
      <(cd "$TP_TEST_DIR/linux-$installer" && find . -type f -printf '%P %T@\n' | sort)
    tp_check "the accented name is written as such" test -f "$TP_TEST_DIR/extracted-$installer-ö/Dokumente/résumé.txt"
  else
    tp_check "nothing is extracted from the damaged installer" \
      test -z "$(find "$TP_TEST_DIR/extracted-$installer-ö" -type f 2>/dev/null)"
  fi
done

tp_case "usage errors and a missing installer: the same exit codes"
for args in "list" "verify --no-such-option x.exe" "frobnicate"; do
  # shellcheck disable=SC2086
  wt usage $args
  # shellcheck disable=SC2086
  lt usage-linux $args
  expect_equal "exit code of '$args'" "$LT_EXIT" "$WT_EXIT"
done
wt missing verify "$(win "$TP_TEST_DIR/no-such-setup.exe")"
lt missing-linux verify "$TP_TEST_DIR/no-such-setup.exe"
expect_equal "exit code of verify of a missing file" "$LT_EXIT" "$WT_EXIT"
expect_equal "the Linux exit code" 1 "$LT_EXIT"

tp_case "init on Windows writes a manifest that builds, and never overwrites it"
mkdir -p "$TP_TEST_DIR/Mein Werkzeug"
cp -p "$TP_ROOT/build/win64/zentrova-app/zentrova.exe" "$TP_TEST_DIR/Mein Werkzeug/werkzeug.exe"
printf 'MIT\r\n' >"$TP_TEST_DIR/Mein Werkzeug/LICENSE"
wt init init "$(win "$TP_TEST_DIR/Mein Werkzeug")"
expect_equal "exit code of init" 0 "$WT_EXIT"
tp_check "the main executable is found" grep -q '^main_executable = "werkzeug.exe"' "$TP_TEST_DIR/Mein Werkzeug/tailpack.toml"
wt init-again init "$(win "$TP_TEST_DIR/Mein Werkzeug")"
expect_equal "exit code of a second init" 1 "$WT_EXIT"
wt init-build build "$(win "$TP_TEST_DIR/Mein Werkzeug/tailpack.toml")" --stub x64 -q \
  -o "$(win "$TP_TEST_DIR/werkzeug-setup.exe")"
expect_equal "exit code of building it" 0 "$WT_EXIT"
tp_run_installer -- "$TP_TEST_DIR/werkzeug-setup.exe" /s
tp_expect_exit 0
# Without a registry view the 32-bit one: the x86 Program Files folder.
tp_check "the product installed" test -f "$TP_C/Program Files (x86)/Mein Werkzeug/werkzeug.exe"
