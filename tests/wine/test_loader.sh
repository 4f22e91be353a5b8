#!/usr/bin/env bash
# The package loader end to end: which installers load (exit 0, no message
# box) and which are reported as damaged (silently: the message on standard
# error, no box, then exit 1).
#
# Installers run with /s so that one whose package loads never stops in the
# wizard. Headers keep supported versions and architectures at 0 (every
# machine), so no other start-up gate can show a box.
set -euo pipefail
# shellcheck source=tests/wine/lib.sh
source "$(dirname "$0")/lib.sh"
tp_test_begin

# Silent runs: the message on standard error, no box.
readonly kDamaged='STDERR "This setup package is damaged!"'

# expect_loads INSTALLER / expect_damaged INSTALLER: runs it and checks the
# outcome.
expect_loads() {
  tp_run_installer -- "$1" /s
  tp_expect_exit 0
  tp_expect_report 'EXIT 0'
}
expect_damaged() {
  tp_run_installer -- "$1" /s
  tp_expect_exit 1
  tp_expect_report "$kDamaged" 'EXIT 1'
}

# description | expected | mkpkg options
cases=(
  "plain package|loads|"
  "stream with an end marker|loads|--end-marker"
  "stream without an end marker, 4 KiB dictionary|loads|--dict-size 4096"
  "one language, no files|loads|--languages en --no-files"
  "16 slack bytes at the file end|loads|--slack 16"
  "16 slack bytes before a certificate table|loads|--slack 16 --fake-certificate 72"
  "no slack before a certificate table|loads|--fake-certificate 72"
  "17 slack bytes at the file end|damaged|--slack 17"
  "17 slack bytes before a certificate table|damaged|--slack 17 --fake-certificate 72"
  "byte sum one above the checksum|damaged|--checksum-delta 1"
  "byte sum one below the checksum|damaged|--checksum-delta -1"
  "file truncated by one byte|damaged|--truncate 1"
  "file truncated into the packed stream|damaged|--truncate 100"
  "packed stream cut short, trailer consistent|damaged|--cut-packed 16"
  "damaged package whose gates would also fire|damaged|--corrupt-checksum --versions 0x1 --archs 0x4"
  "stream holding more than the unpacked size|loads|--extra-data 4096"
  "dictionary property of 4 GiB - 1|loads|--dict-field 0xFFFFFFFF"
  "listed-only entry naming a folder with a final backslash|loads|--content logs\\= --entry-flags 0x400000"
  "a file named CON|damaged|--content CON=x"
  "a file named aux.txt in a folder|damaged|--content data\\aux.txt=x"
  "a file name ending in a dot|damaged|--content readme.=x"
  "a file name with an escape character|damaged|--content "$'\e'"[2J=x"
  "ProductName with U+0100 (low byte 0)|damaged|--setting ProductName=ZentrovaĀ"
  "ProductName of 76 characters|damaged|--setting ProductName=$(printf 'N%.0s' {1..76})"
  "MainExecutable of 257 characters|damaged|--setting MainExecutable=$(printf 'm%.0s' {1..257})"
)

n=0
for entry in "${cases[@]}"; do
  IFS='|' read -r description expected options <<<"$entry"
  n=$((n + 1))
  tp_case "$description: $expected"
  installer=$TP_TEST_DIR/case$n.exe
  # shellcheck disable=SC2086  # options are words
  tp_mkpkg "$installer" $options
  "expect_$expected" "$installer"
done

tp_case "the bare stub without a package: damaged"
cp "$TP_STUB" "$TP_TEST_DIR/bare.exe"
expect_damaged "$TP_TEST_DIR/bare.exe"

# Authenticode: the signature lands behind the package and the loader finds
# the package end through the certificate-table entry.
signing=$TP_TEST_DIR/signing
mkdir -p "$signing"
openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=tailpack test signer" \
  -addext extendedKeyUsage=codeSigning -keyout "$signing/key.pem" -out "$signing/cert.pem" \
  >"$signing/openssl.log" 2>&1 || tp_die "openssl could not make a certificate"

# certificate_entry FILE: prints the certificate-table entry's offset and size.
certificate_entry() {
  local offset size
  read -r offset size < <(objdump -p "$1" | awk '/^Entry 4 / {print $3, $4}')
  echo $((16#${offset:-0})) $((16#${size:-0}))
}

# sign UNSIGNED SIGNED
sign() {
  osslsigncode sign -certs "$signing/cert.pem" -key "$signing/key.pem" -n "tailpack test" \
    -h sha256 -in "$1" -out "$2" >>"$signing/sign.log" 2>&1
}

tp_case "signed installer: signature verifies, the package loads and installs"
tp_mkpkg "$signing/unsigned.exe" --flags 1 --setting ProductName=TpSigned
if sign "$signing/unsigned.exe" "$signing/signed.exe"; then
  read -r cert_offset cert_size < <(certificate_entry "$signing/signed.exe")
  unsigned_size=$(stat -c %s "$signing/unsigned.exe")
  signed_size=$(stat -c %s "$signing/signed.exe")
  # osslsigncode pads the file to 8 bytes before the table: 0 to 7 slack.
  if ! ((cert_offset >= unsigned_size && cert_offset - unsigned_size < 8 &&
         cert_offset + cert_size == signed_size)); then
    tp_fail "certificate table at $cert_offset+$cert_size; unsigned $unsigned_size, signed $signed_size bytes"
  fi
  osslsigncode verify -CAfile "$signing/cert.pem" -in "$signing/signed.exe" \
    >"$signing/verify.log" 2>&1 || tp_fail "osslsigncode verify failed (see $signing/verify.log)"
  grep -q '^Signature verification: ok' "$signing/verify.log" ||
    tp_fail "osslsigncode did not report the signature as ok"
  expect_loads "$signing/signed.exe"
  signed_folder="$WINEPREFIX/drive_c/Program Files/TpSigned"
  [[ $(cat "$signed_folder/readme.txt" 2>/dev/null) == $'Zentrova\r' ]] ||
    tp_fail "the signed installer did not install readme.txt"
  tp_check "the signed installer installed data\\settings.ini" test -f "$signed_folder/data/settings.ini"
else
  tp_fail "osslsigncode sign failed (see $signing/sign.log)"
fi

tp_case "signed installer with a bad checksum: damaged"
tp_mkpkg "$signing/unsigned-bad.exe" --corrupt-checksum
if sign "$signing/unsigned-bad.exe" "$signing/signed-bad.exe"; then
  expect_damaged "$signing/signed-bad.exe"
else
  tp_fail "osslsigncode sign failed (see $signing/sign.log)"
fi
