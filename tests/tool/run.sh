#!/usr/bin/env bash
# Round trip of the tailpack tool as a user runs it: build the example and
# other manifests, list, verify, extract and compare bytes; exit codes; error
# positions; reproducibility; a signed installer. Needs build/host/tailpack,
# the stubs and the example program (make host stubs).
set -uo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
tool=$root/build/host/tailpack
example=$root/examples/zentrova
work=$(mktemp -d "${TMPDIR:-/tmp}/tailpack-tool-test.XXXXXX")
trap 'rm -rf -- "$work"' EXIT
export SOURCE_DATE_EPOCH=1700000000

failures=0
pass() { printf 'ok   %s\n' "$1"; }
fail() { printf 'FAIL %s\n' "$1"; failures=$((failures + 1)); }
check() {  # check DESCRIPTION COMMAND...: passes when the command succeeds
  local what=$1; shift
  if "$@" >"$work/out" 2>"$work/err"; then pass "$what"; else fail "$what"; sed 's/^/     /' "$work/out" "$work/err" | head -20; fi
}
status() {  # status DESCRIPTION EXPECTED COMMAND...: passes on that exit code
  local what=$1 expected=$2; shift 2
  "$@" >"$work/out" 2>"$work/err"
  local got=$?
  if [[ $got == "$expected" ]]; then pass "$what"; else fail "$what (exit $got, expected $expected)"; sed 's/^/     /' "$work/err" | head -10; fi
}
contains() { grep -qF -- "$2" "$1"; }

for needed in "$tool" "$root/build/win32/tailpack-stub.exe" "$root/build/win64/tailpack-stub.exe" \
              "$root/build/win32/zentrova-app/zentrova.exe" "$root/build/win64/zentrova-app/zentrova.exe"; do
  [[ -e $needed ]] || { echo "tool-test: $needed is missing (make host stubs)"; exit 1; }
done

# --- the example: build, verify, list --------------------------------------
check "build the example with the x86 stub" "$tool" build "$example/tailpack.toml" -q -o "$work/setup.exe"
check "build the example with the x64 stub" "$tool" build "$example/tailpack.toml" -q --stub x64 -o "$work/setup-x64.exe"
check "build with an explicit stub path" "$tool" build "$example/tailpack.toml" -q --stub "$root/build/win32/tailpack-stub.exe" -o "$work/setup-path.exe"
check "an explicit stub path gives the same installer" cmp "$work/setup.exe" "$work/setup-path.exe"
check "the x86 installer starts with the i686 stub" cmp -n 512 "$work/setup.exe" "$root/build/win32/tailpack-stub.exe"
check "the x64 installer starts with the x86_64 stub" cmp -n 512 "$work/setup-x64.exe" "$root/build/win64/tailpack-stub.exe"
check "verify passes" "$tool" verify "$work/setup.exe"
contains "$work/out" "package intact" && pass "verify says intact" || fail "verify says intact"
check "verify --json" "$tool" verify --json "$work/setup.exe"
contains "$work/out" '"intact":true' && contains "$work/out" '"signed":false' && pass "verify --json reports intact and unsigned" || fail "verify --json"
check "list" "$tool" list "$work/setup.exe" --arch x86 --windows 7
for expected in "ProductName         Zentrova" "ConfigCommand       -xi:%u:%s" "flags       0x03" "windows     7/8/10/later" \
                "machines    x86/x64/arm64" "0x0418  Română" "info text   entry 5 (license.txt)"; do
  contains "$work/out" "$expected" && pass "list shows '$expected'" || fail "list shows '$expected'"
done
check "list --json" "$tool" list --json "$work/setup.exe" --arch arm64
contains "$work/out" '"language_count":23' && contains "$work/out" '"dictionary":8388608' && pass "list --json header" || fail "list --json header"

# --- extract per machine and compare bytes ----------------------------------
extract_and_compare() {  # ARCH EXE-SOURCE
  local arch=$1 exe=$2 dir=$work/extract-$1
  check "extract for $arch" "$tool" extract "$work/setup.exe" -d "$dir" --arch "$arch" -q
  check "$arch: zentrova.exe is the $arch build" cmp "$dir/zentrova.exe" "$exe"
  check "$arch: license.txt" cmp "$dir/license.txt" "$example/payload/license.txt"
  check "$arch: language/Zentrova_DEU.ini" cmp "$dir/language/Zentrova_DEU.ini" "$example/payload/language/Zentrova_DEU.ini"
  if [[ $arch == x64 ]]; then
    check "x64: x64/zentrova.sys" cmp "$dir/x64/zentrova.sys" "$example/payload/x64/zentrova.sys"
  elif [[ -e $dir/x64/zentrova.sys ]]; then
    fail "$arch: x64/zentrova.sys must not be extracted"
  fi
  [[ $(stat -c %Y "$dir/license.txt") == "$SOURCE_DATE_EPOCH" ]] && pass "$arch: times clamped to SOURCE_DATE_EPOCH" \
    || fail "$arch: times clamped to SOURCE_DATE_EPOCH"
}
extract_and_compare x86 "$root/build/win32/zentrova-app/zentrova.exe"
extract_and_compare x64 "$root/build/win64/zentrova-app/zentrova.exe"
extract_and_compare arm64 "$example/payload/arm64/zentrova.exe"

# --- reproducibility --------------------------------------------------------
cp -r "$example" "$work/copy"
cp "$root/build/win32/zentrova-app/zentrova.exe" "$work/copy/x86.exe"
sed -i "s|../../build/win32/zentrova-app/zentrova.exe|x86.exe|; s|../../build/win64/zentrova-app/zentrova.exe|$root/build/win64/zentrova-app/zentrova.exe|" "$work/copy/tailpack.toml"
touch "$work/copy/payload/license.txt" "$work/copy/x86.exe"
check "build a relocated, freshly touched copy" "$tool" build "$work/copy/tailpack.toml" -q -o "$work/setup-copy.exe"
check "same inputs, other place and times: identical bytes" cmp "$work/setup.exe" "$work/setup-copy.exe"
check "build again" "$tool" build "$example/tailpack.toml" -q -o "$work/setup-again.exe"
check "two builds are identical" cmp "$work/setup.exe" "$work/setup-again.exe"

# --- shared data -------------------------------------------------------------
mkdir -p "$work/dup"
printf 'same bytes\n' > "$work/dup/a.txt"
cp "$work/dup/a.txt" "$work/dup/b.txt"
printf '[product]\nname = "Dup"\nmain_executable = "a.txt"\n[[files]]\nsource = "*.txt"\n[[files]]\nsource = "a.txt"\ntarget = "copy/a.txt"\n' > "$work/dup/tailpack.toml"
check "build with identical files" "$tool" build "$work/dup/tailpack.toml" -q -o "$work/dup.exe"
check "list --json of identical files" "$tool" list --json "$work/dup.exe"
offsets=$(grep -o '"data_offset":[0-9]*' "$work/out" | sort -u | wc -l)
[[ $offsets == 1 ]] && pass "identical files share one data offset" || fail "identical files share one data offset ($offsets)"

# --- what a new user builds -------------------------------------------------
# init then build DIR, as init suggests; the uninstaller init asks for is
# found in the build tree. (Several programs, -o naming a folder: unit tests.)
mkdir -p "$work/new/Hello"
cp "$root/build/win64/zentrova-app/zentrova.exe" "$work/new/Hello/hello.exe"
printf 'MIT\n' >"$work/new/Hello/LICENSE"
check "init a folder with one program" "$tool" init "$work/new/Hello"
check "build DIR reads DIR/tailpack.toml" "$tool" build "$work/new/Hello" -q
check "its installer verifies" "$tool" verify "$work/new/Hello-setup.exe"
check "list it" "$tool" list --json "$work/new/Hello-setup.exe"
contains "$work/out" '"name":"uninstall\\Hello\\uninstall.exe"' && pass "init's manifest packs the generated uninstaller" \
  || fail "init's manifest packs the generated uninstaller"

# A folder after a file of incompressible data; the bytes come back.
mkdir -p "$work/new/noise"
head -c 100000 /dev/urandom >"$work/new/noise/big.bin"
printf '[product]\nname = "Noise"\nmain_executable = "big.bin"\n[[files]]\nsource = "big.bin"\n[[directories]]\npath = "logs"\n' \
  >"$work/new/noise/tailpack.toml"
check "a folder after incompressible data builds" "$tool" build "$work/new/noise" -q -o "$work/new/noise.exe"
check "and extracts" "$tool" extract "$work/new/noise.exe" -d "$work/new/noise-out" -q
check "the incompressible file comes back" cmp "$work/new/noise/big.bin" "$work/new/noise-out/big.bin"
check "the folder is made" test -d "$work/new/noise-out/logs"

# --- exit codes and messages -------------------------------------------------
status "--help exits 0" 0 "$tool" --help
status "--version exits 0" 0 "$tool" --version
contains "$work/out" "tailpack 0." && pass "--version prints the version" || fail "--version prints the version"
status "no command: usage error" 2 "$tool"
status "unknown option: usage error" 2 "$tool" build --frobnicate
status "list without installer: usage error" 2 "$tool" list
status "unknown architecture: usage error" 2 "$tool" list "$work/setup.exe" --arch ia64
status "extract without -d: usage error" 2 "$tool" extract "$work/setup.exe"
status "missing manifest: invalid input" 1 "$tool" build "$work/none.toml" -o "$work/x.exe"
status "a file that is not an installer" 1 "$tool" list "$example/tailpack.toml"

printf '[product]\nname = "Z"\n\n[requirements]\narchitectures = ["x86", "itanium"]\n' > "$work/bad.toml"
status "manifest error: exit 1" 1 "$tool" build "$work/bad.toml" -o "$work/x.exe"
contains "$work/err" "$work/bad.toml:5:25: error: unknown architecture \"itanium\"; expected one of: x86, x64, arm64, arm" \
  && pass "manifest error names file:line:column and what is expected" || { fail "manifest error position"; cat "$work/err"; }

mkdir -p "$work/refuse"
printf 'MZ' > "$work/refuse/a.exe"
refuse() {  # refuse DESCRIPTION EXPECTED-TEXT MANIFEST-TEXT
  printf '%b' "$3" > "$work/refuse/tailpack.toml"
  status "refuses $1" 1 "$tool" build "$work/refuse/tailpack.toml" -o "$work/refuse/out.exe"
  contains "$work/err" "$2" && pass "refusal message for $1" || { fail "refusal message for $1"; cat "$work/err"; }
  [[ ! -e $work/refuse/out.exe ]] || fail "no installer written for $1"
}
refuse "a missing ProductName" "tailpack.toml:1:1: error: missing ProductName" '[product]\nversion = "1"\n'
refuse "a name leaving the install folder" 'tailpack.toml:5:10: error: file name "..\a.exe" could leave' \
  '[product]\nname = "Z"\n[[files]]\nsource = "a.exe"\ntarget = "../a.exe"\n'
refuse "a ProductName over 75 units" "holds at most 75" "[product]\nname = \"$(printf 'N%.0s' {1..76})\"\n"
refuse "a format text without %s" "tailpack.toml:4:26: error: text folder_exists_question of language English" \
  '[product]\nname = "Z"\n[languages.texts.en]\nfolder_exists_question = "Folder exists. Continue?"\n'
refuse "a text that does not fit its buffer" "the installer's buffer holds 255" \
  "[product]\nname = \"Z\"\n[languages.texts.en]\ninstalling_subheading = \"%s $(printf 'x%.0s' {1..260})\"\n"
refuse "a too long uninstall command" "command-line buffer holds 267" \
  "[product]\nname = \"Z\"\nuninstall_arguments = \"$(printf 'u%.0s' {1..270})\"\n"

# --- damage and signatures ----------------------------------------------------
cp "$work/setup.exe" "$work/damaged.exe"
size=$(stat -c %s "$work/damaged.exe")
printf '\x00\x00\x00\x00' | dd of="$work/damaged.exe" bs=1 seek=$((size - 200)) conv=notrunc status=none
status "verify of a damaged installer: exit 1" 1 "$tool" verify "$work/damaged.exe"
contains "$work/out" "FAILED" && pass "verify names the failed check" || fail "verify names the failed check"
status "list of a damaged installer: exit 1" 1 "$tool" list "$work/damaged.exe"

if command -v osslsigncode >/dev/null && command -v openssl >/dev/null; then
  openssl req -x509 -newkey rsa:2048 -nodes -keyout "$work/test.key" -out "$work/test.crt" -days 2 \
    -subj "/CN=tailpack test signing" -addext "extendedKeyUsage=codeSigning" >/dev/null 2>&1
  check "osslsigncode signs the installer" osslsigncode sign -certs "$work/test.crt" -key "$work/test.key" \
    -n "Zentrova 2.1.3" -in "$work/setup.exe" -out "$work/signed.exe"
  check "verify a signed installer" "$tool" verify "$work/signed.exe"
  contains "$work/out" "Authenticode signature" && pass "verify says an Authenticode signature follows" \
    || fail "verify says an Authenticode signature follows"
  contains "$work/out" 'signed by "CN=tailpack test signing"' && pass "verify names the signer" \
    || fail "verify names the signer"
  check "osslsigncode verifies the signature" osslsigncode verify -CAfile "$work/test.crt" -in "$work/signed.exe"
  check "extract from the signed installer" "$tool" extract "$work/signed.exe" -d "$work/extract-signed" --arch x64 -q
  check "signed: zentrova.exe intact" cmp "$work/extract-signed/zentrova.exe" "$root/build/win64/zentrova-app/zentrova.exe"
else
  fail "osslsigncode and openssl are needed for the signature checks (scripts/setup.sh installs them)"
fi

# --- extraction never leaves the directory -------------------------------------
mkdir -p "$work/trap/dest" "$work/trap/outside"
ln -s "$work/trap/outside" "$work/trap/dest/language"
status "extract refuses a symbolic link inside the directory" 1 "$tool" extract "$work/setup.exe" -d "$work/trap/dest" -q
[[ -z $(ls -A "$work/trap/outside") ]] && pass "nothing written through the link" || fail "nothing written through the link"

# --- untrusted files: options and inputs that must be refused --------------------
for page in 037 500 1047 437 0x4E4; do
  status "--code-page $page is refused (decimal ANSI pages only)" 2 "$tool" extract "$work/setup.exe" -d "$work/cp" --code-page "$page"
done
[[ ! -e $work/cp ]] && pass "nothing extracted with a refused code page" || fail "nothing extracted with a refused code page"
check "--code-page 01252 is code page 1252" "$tool" list "$work/setup.exe" --code-page 01252
unpacked=$("$tool" list --json "$work/setup.exe" | grep -o '"unpacked_size":[0-9]*' | cut -d: -f2)
check "verify --max-unpacked of exactly the unpacked size" "$tool" verify --max-unpacked "$unpacked" "$work/setup.exe"
status "verify --max-unpacked below it: exit 1" 1 "$tool" verify --max-unpacked "$((unpacked - 1))" "$work/setup.exe"
contains "$work/out" "more than --max-unpacked" && pass "verify says why" || fail "verify says why"
status "list --max-unpacked 1 KiB: exit 1" 1 "$tool" list --max-unpacked "1 KiB" "$work/setup.exe"
status "extract --max-unpacked 1 KiB: exit 1" 1 "$tool" extract --max-unpacked "1 KiB" "$work/setup.exe" -d "$work/mu"
[[ ! -e $work/mu ]] && pass "nothing extracted over --max-unpacked" || fail "nothing extracted over --max-unpacked"
status "--max-unpacked 12 parsecs is refused" 2 "$tool" verify --max-unpacked "12 parsecs" "$work/setup.exe"
cp "$work/setup.exe" "$work/sparse.exe" && truncate -s +6G "$work/sparse.exe"
status "verify of a 6 GiB sparse file reads only what it needs: exit 1" 1 \
  timeout 10 bash -c 'ulimit -v 262144; exec "$1" verify "$2"' _ "$tool" "$work/sparse.exe"
contains "$work/out" "no magic" && pass "the sparse file has no trailer" || fail "the sparse file has no trailer"
rm -f "$work/sparse.exe"
status "verify /dev/zero ends at once: exit 1" 1 timeout 10 "$tool" verify /dev/zero
contains "$work/err" "not a regular file" && pass "verify /dev/zero says why" || fail "verify /dev/zero says why"

# --- what list, verify and extract say about files that are not intact installers ---
says() {  # says DESCRIPTION EXIT out|err EXPECTED-LINE COMMAND...: that exit code, and that exact line
  local what=$1 expected=$2 stream=$3 line=$4; shift 4
  "$@" >"$work/out" 2>"$work/err"
  local got=$?
  if [[ $got == "$expected" ]] && grep -qxF -- "$line" "$work/$stream"; then pass "$what"; else
    fail "$what (exit $got, expected $expected)"; printf '     expected: %s\n' "$line"; sed 's/^/     got: /' "$work/$stream" | head -5; fi
}
cp "$root/build/win32/tailpack-stub.exe" "$work/plain.exe"
stub_size=$(stat -c %s "$root/build/win32/tailpack-stub.exe")
head -c $(( stub_size + ($(stat -c %s "$work/setup.exe") - stub_size) / 2 )) "$work/setup.exe" >"$work/half.exe"  # half its package
entries=$("$tool" list --json "$work/setup.exe" | grep -o '"file_count":[0-9]*' | cut -d: -f2)
mkdir -p "$work/x64only" && printf 'x' >"$work/x64only/a.txt"
printf '[product]\nname = "X"\nmain_executable = "a.txt"\n[requirements]\narchitectures = ["x64"]\n[[files]]\nsource = "a.txt"\n' >"$work/x64only/tailpack.toml"
check "build an x64-only installer" "$tool" build "$work/x64only/tailpack.toml" -q -o "$work/x64only.exe"
not_installer="$work/plain.exe: not a tailpack installer"
ends_early="$work/half.exe: the file ends early (an incomplete download?)"
says "list of an executable without a package" 1 err \
  "tailpack: error: $not_installer: a Windows executable with no package at its end" "$tool" list "$work/plain.exe"
says "verify of an executable without a package" 1 out "$not_installer" "$tool" verify "$work/plain.exe"
says "extract of an executable without a package" 1 err \
  "tailpack: error: $not_installer: a Windows executable with no package at its end" "$tool" extract "$work/plain.exe" -d "$work/nx"
says "list of a file that is not an executable" 1 err "tailpack: error: $example/tailpack.toml: not a tailpack installer: not a Windows executable (no MZ and PE headers in the first 4096 bytes)" \
  "$tool" list "$example/tailpack.toml"
says "list of half an installer" 1 err "tailpack: error: $ends_early: the data after the executable begins a package of $entries entries, but its end and trailer are missing" \
  "$tool" list "$work/half.exe"
says "verify of half an installer" 1 out "$ends_early" "$tool" verify "$work/half.exe"
says "extract of half an installer" 1 err "tailpack: error: $ends_early: the data after the executable begins a package of $entries entries, but its end and trailer are missing" \
  "$tool" extract "$work/half.exe" -d "$work/nx"
says "verify over --max-unpacked: not called damaged" 1 out "$work/setup.exe: package over the --max-unpacked limit, not decoded" \
  "$tool" verify --max-unpacked 1KiB "$work/setup.exe"
says "verify over --max-unpacked: how to raise it" 1 out "  FAILED unpacked size within --max-unpacked: the trailer claims $unpacked unpacked bytes, more than --max-unpacked 1024; nothing was decoded (pass --max-unpacked $unpacked or more to read it)" \
  "$tool" verify --max-unpacked 1KiB "$work/setup.exe"
says "verify --json over --max-unpacked" 1 out "" bash -c '"$1" verify --json --max-unpacked 1KiB "$2" | grep -o "\"intact\":false,\"verdict\":\"over-limit\"" >/dev/null; s=$?; echo; exit $((s == 0 ? 1 : 3))' _ "$tool" "$work/setup.exe"
says "list over --max-unpacked" 1 err "tailpack: error: $work/setup.exe: the package is over the --max-unpacked limit: it unpacks to $unpacked bytes, more than --max-unpacked 1024; pass --max-unpacked $unpacked or more to read it" \
  "$tool" list --max-unpacked 1KiB "$work/setup.exe"
says "list --arch arm of an x64-only installer says it refuses arm" 0 out \
  'refused     arm, Windows 10: the installer refuses arm (it runs on x64 only); it shows "This setup can only be installed on Windows x64!"' \
  "$tool" list --arch arm "$work/x64only.exe"
says "and selects no entry" 0 out "entries (1; none selected: the installer refuses arm (it runs on x64 only))" \
  "$tool" list --arch arm "$work/x64only.exe"
says "list --windows xp of a Windows 7+ installer says it refuses that version" 0 out \
  'refused     x64, Windows xp: the installer refuses Windows xp (it runs on Windows 7/8/10/later only); it shows "This operating system is not supported!"' \
  "$tool" list --windows xp "$work/setup.exe"
says "list --arch arm --json" 0 out "" bash -c '"$1" list --json --arch arm "$2" | grep -o "\"refused\":true,\"refused_by\":\[\"architecture\"\]" >/dev/null && ! "$1" list --json --arch arm "$2" | grep -q "\"selected\":true"; s=$?; echo; exit $s' _ "$tool" "$work/x64only.exe"
says "extract --arch arm of an x64-only installer refuses" 1 err \
  "tailpack: error: $work/x64only.exe: the installer refuses arm (it runs on x64 only), so it installs nothing there; pass --all to extract every entry" \
  "$tool" extract --arch arm "$work/x64only.exe" -d "$work/nx"
[[ ! -e $work/nx ]] && pass "nothing extracted from any of them" || fail "nothing extracted from any of them"
check "extract --arch arm --all of it" "$tool" extract --arch arm --all -q "$work/x64only.exe" -d "$work/armall"
check "writes its file" cmp "$work/armall/a.txt" "$work/x64only/a.txt"

echo
if ((failures)); then echo "tool-test: $failures check(s) failed"; exit 1; fi
echo "tool-test: all checks passed"
