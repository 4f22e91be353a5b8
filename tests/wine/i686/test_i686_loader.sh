#!/usr/bin/env bash
# The shipped i686 stub's start-up, in the test guest (tests/wine/i686):
# packages that load and packages reported as damaged (a real Authenticode
# signature among them), the Windows-version and architecture gates (silent:
# exit 1, the message on standard error, no box; the wizard: the box), and a
# sample of the hostile corpus, on 64-bit Windows (WOW64) and on 32-bit
# Windows alike. The installers are made on the host (prepare).
set -euo pipefail
# shellcheck source=tests/wine/lib.sh
source "$(dirname "$0")/../lib.sh"

# Silent runs write a gate's message to standard error and show no box; the
# wizard shows it in a box.
readonly kDamaged='STDERR "This setup package is damaged!"'
readonly kDamagedBox='BOX caption="Error" text="This setup package is damaged!" buttons=ok press=ok'

prepare() {
  tp_mkpkg "$TP_INPUTS/plain.exe" --flags 1 --setting ProductName=TpPlain
  tp_mkpkg "$TP_INPUTS/checksum.exe" --checksum-delta 1
  tp_mkpkg "$TP_INPUTS/truncated.exe" --truncate 1
  tp_mkpkg "$TP_INPUTS/cut.exe" --cut-packed 16
  tp_mkpkg "$TP_INPUTS/windows2000.exe" --versions 0x1
  tp_mkpkg "$TP_INPUTS/arm64.exe" --archs 0x4
  tp_mkpkg "$TP_INPUTS/x64.exe" --archs 0x2 --setting ProductName=TpX64
  local signing=$TP_INPUTS/signing
  mkdir -p "$signing"
  openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=tailpack test signer" \
    -addext extendedKeyUsage=codeSigning -keyout "$signing/key.pem" -out "$signing/cert.pem" \
    >"$signing/openssl.log" 2>&1 || tp_die "openssl could not make a certificate"
  tp_mkpkg "$signing/unsigned.exe" --flags 1 --setting ProductName=TpSigned
  tp_mkpkg "$signing/unsigned-bad.exe" --corrupt-checksum
  local name
  for name in signed signed-bad; do
    osslsigncode sign -certs "$signing/cert.pem" -key "$signing/key.pem" -n "tailpack test" \
      -h sha256 -in "$signing/un$name.exe" -out "$TP_INPUTS/$name.exe" >>"$signing/sign.log" 2>&1 ||
      tp_die "osslsigncode sign failed (see $signing/sign.log)"
  done
  osslsigncode verify -CAfile "$signing/cert.pem" -in "$TP_INPUTS/signed.exe" >"$signing/verify.log" 2>&1 ||
    tp_die "the signature does not verify (see $signing/verify.log)"
  mkdir -p "$TP_INPUTS/corpus" "$TP_INPUTS/hostile"
  "$TP_ROOT/build/host/tests/hostile/make_corpus" "$TP_STUB" "$TP_INPUTS/corpus" >/dev/null ||
    tp_die "make_corpus failed"
  local file
  while read -r file; do mv "$TP_INPUTS/corpus/$file" "$TP_INPUTS/hostile/"; done \
    < <(tp_hostile_sample "$TP_INPUTS/corpus")
  rm -rf "$TP_INPUTS/corpus"
}

tp_test_begin

# On 32-bit Windows the stub reads the native registry view, whose Program
# Files folder is the only one; under WOW64 a package without the 64-bit
# flag reads the 32-bit view.
if [[ $WINEARCH == win32 ]]; then
  pf_flags0=$TP_C/Program\ Files
else
  pf_flags0=$TP_C/Program\ Files\ \(x86\)
fi
arm64_box='BOX caption="Error" text="This setup can only be installed on Windows arm64!" buttons=ok press=ok'
os_box='BOX caption="Error" text="This operating system is not supported!" buttons=ok press=ok'
arm64_line='STDERR "This setup can only be installed on Windows arm64!"'
x64_line='STDERR "This setup can only be installed on Windows x64!"'
os_line='STDERR "This operating system is not supported!"'

# Every installer runs silently through one driver; the cases then read
# their reports. Case | installer | exit code | report lines (|-separated).
cases=(
  "a plain package loads and installs|plain.exe|0|EXIT 0"
  "a signed installer loads and installs|signed.exe|0|EXIT 0"
  "byte sum one above the checksum: damaged|checksum.exe|1|$kDamaged|EXIT 1"
  "file truncated by one byte: damaged|truncated.exe|1|$kDamaged|EXIT 1"
  "packed stream cut short: damaged|cut.exe|1|$kDamaged|EXIT 1"
  "signed installer with a bad checksum: damaged|signed-bad.exe|1|$kDamaged|EXIT 1"
  "supported versions 0x1 (Windows 2000) on Windows 10: refused|windows2000.exe|1|$os_line|EXIT 1"
  "architectures 0x4 (arm64): refused|arm64.exe|1|$arm64_line|EXIT 1"
)
if [[ $WINEARCH == win32 ]]; then
  cases+=("architectures 0x2 (x64) on 32-bit Windows: refused|x64.exe|1|$x64_line|EXIT 1")
else
  cases+=("architectures 0x2 (x64) under WOW64: the native machine counts, installs|x64.exe|0|EXIT 0")
  # The loader does not depend on WOW64 or the registry view, so the
  # hostile sample runs on 64-bit Windows only (its runs are a good part of
  # the guest's time).
  for file in "$TP_INPUTS"/hostile/*.exe; do
    name=${file##*/}
    cases+=("hostile ${name%.exe}: damaged, nothing installed|hostile/$name|1|$kDamaged|EXIT 1")
  done
fi

installers=()
for entry in "${cases[@]}"; do
  IFS='|' read -r _ installer _ <<<"$entry"
  installers+=("$TP_INPUTS/$installer")
done
# The product folders in both Program Files folders, one a line (the
# prefix may hold other scripts' products).
program_folders() {
  { find "$TP_C/Program Files" "$TP_C/Program Files (x86)" -mindepth 1 -maxdepth 1 -type d \
    -printf '%f\n' 2>/dev/null || true; } | LC_ALL=C sort -u
}
before=$(program_folders)
tp_run_batch /s -- "${installers[@]}"

n=0
for entry in "${cases[@]}"; do
  IFS='|' read -r description installer code lines <<<"$entry"
  tp_case "$description"
  tp_batch_result $n
  tp_expect_exit "$code"
  IFS='|' read -r -a expected <<<"$lines"
  tp_expect_report "${expected[@]}"
  n=$((n + 1))
done

# The same gates without the switch: the wizard's boxes.
box_cases=(
  "wizard: damaged, the box|checksum.exe|$kDamagedBox"
  "wizard: Windows 2000 only, the box|windows2000.exe|$os_box"
  "wizard: arm64 only, the box|arm64.exe|$arm64_box"
)
installers=()
for entry in "${box_cases[@]}"; do
  IFS='|' read -r _ installer _ <<<"$entry"
  installers+=("$TP_INPUTS/$installer")
done
tp_run_batch -- "${installers[@]}"
n=0
for entry in "${box_cases[@]}"; do
  IFS='|' read -r description _ box <<<"$entry"
  tp_case "$description"
  tp_batch_result $n
  tp_expect_exit 1
  tp_expect_report "$box" 'EXIT 1'
  n=$((n + 1))
done

tp_case "what the installing ones wrote, and nothing else"
for product in TpPlain TpSigned; do
  [[ $(cat "$TP_PF64/$product/readme.txt" 2>/dev/null) == $'Zentrova\r' ]] ||
    tp_fail "no readme.txt from $product"
  tp_check "data\\settings.ini from $product" test -f "$TP_PF64/$product/data/settings.ini"
done
products=$(printf '%s\n' "$before" TpPlain TpSigned)
if [[ $WINEARCH != win32 ]]; then
  tp_check "x64 package installed through the 32-bit view's Program Files" test -f "$pf_flags0/TpX64/readme.txt"
  products=$(printf '%s\n' "$products" TpX64)
fi
expect_equal "products in Program Files" "$(LC_ALL=C sort -u <<<"$products" | xargs -d '\n')" \
  "$(program_folders | xargs -d '\n')"
