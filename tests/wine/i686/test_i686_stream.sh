#!/usr/bin/env bash
# A package above the streaming size (64 MiB unpacked) installed by the
# shipped i686 stub, in the test guest: the stub's second thread decodes
# the file data ahead of the install (CreateThread looked up by name, a
# 32-bit thread procedure), and the installed files equal the sources. The
# same package damaged near its end fails with exit 2 and leaves the
# folder as it was.
set -euo pipefail
# shellcheck source=tests/wine/lib.sh
source "$(dirname "$0")/../lib.sh"

prepare() {
  local payload=$TP_INPUTS/payload
  mkdir -p "$payload"
  # Reproducible bytes: AES-CTR over zeros with a fixed key.
  noise() { { openssl enc -aes-128-ctr -nosalt -K "$1" -iv 0 </dev/zero 2>/dev/null || true; } | head -c "$2"; }
  # 68 MiB that compress to almost nothing (one 64 KiB block over and
  # over), a file stored twice, a tail, and the licence as info text.
  noise 01 65536 >"$payload/block"
  for _ in $(seq 1 1088); do cat "$payload/block"; done >"$payload/big.bin"
  noise 02 1500000 >"$payload/shared.dll"
  noise 03 700000 >"$payload/tail.bin"
  printf 'Streamer licence\r\n' >"$payload/zz-license.txt"
  rm "$payload/block"
  cat >"$TP_INPUTS/stream.toml" <<EOF2
[product]
name = "Streamer"
version = "1.0"
main_executable = "bin/shared.dll"

[setup]
info_text = "zz-license.txt"
registry_view = "64-bit"

[compression]
preset = 1

[[files]]
source = "payload/big.bin"
target = "data/big.bin"

[[files]]
source = "payload/shared.dll"
target = "bin/shared.dll"

[[files]]
source = "payload/shared.dll"
target = "lib/shared.dll"

[[files]]
source = "payload/tail.bin"
target = "data/tail.bin"

[[files]]
source = "payload/zz-license.txt"
target = "zz-license.txt"
EOF2
  "$TP_ROOT/build/host/tailpack" build "$TP_INPUTS/stream.toml" --stub "$TP_STUB" -q \
    -o "$TP_INPUTS/stream-setup.exe" >"$TP_INPUTS/build.log" 2>&1 ||
    tp_die "tailpack build failed (see $TP_INPUTS/build.log)"
  "$TP_ROOT/build/host/tailpack" verify "$TP_INPUTS/stream-setup.exe" >"$TP_INPUTS/verify.txt" 2>&1 ||
    tp_die "the streaming package does not verify"
  grep -qi stream "$TP_INPUTS/verify.txt" || tp_die "the package is not installed streaming: $(cat "$TP_INPUTS/verify.txt")"
  # The sources' checksums, in install paths; the guest compares with them.
  (cd "$payload" && sha256sum big.bin shared.dll shared.dll tail.bin zz-license.txt) |
    paste - <(printf '%s\n' data/big.bin bin/shared.dll lib/shared.dll data/tail.bin zz-license.txt) |
    awk '{ print $1 "  " $3 }' >"$TP_INPUTS/expected.sha256"
  rm -rf "$payload"
  # Damage where the loader does not look: 200 bytes before the trailer and
  # its slack, in the last file data of the stream.
  cp "$TP_INPUTS/stream-setup.exe" "$TP_INPUTS/stream-damaged.exe"
  local size offset byte
  size=$(stat -c %s "$TP_INPUTS/stream-damaged.exe")
  offset=$((size - 28 - 200))
  byte=$(od -An -tu1 -j "$offset" -N1 "$TP_INPUTS/stream-damaged.exe" | tr -d ' ')
  printf "$(printf '\\%03o' $((byte ^ 0x5A)))" |
    dd of="$TP_INPUTS/stream-damaged.exe" bs=1 seek="$offset" conv=notrunc status=none
}

tp_test_begin

folder=$TP_PF64/Streamer

tp_case "a 71 MiB package streams on i686: the installed files equal the sources"
tp_run_installer --timeout 240 -- "$TP_INPUTS/stream-setup.exe" -s
tp_expect_exit 0
tp_expect_report 'EXIT 0'
tp_check "checksums of the installed files" eval '(cd "$folder" && sha256sum --quiet -c "$TP_INPUTS/expected.sha256")'
expect_equal "staged files left" 0 "$(find "$folder" -name '*.~tp*' | wc -l)"

tp_case "the package damaged near its end: exit 2, no file replaced, nothing staged left"
rm -rf "$folder"
mkdir -p "$folder"
printf 'installed earlier\r\n' >"$folder/zz-license.txt"
before=$(tp_folder_state "$folder")
tp_run_installer --timeout 240 -- "$TP_INPUTS/stream-damaged.exe" -s
tp_expect_exit 2
expect_equal "the folder, byte for byte and time for time" "$before" "$(tp_folder_state "$folder")"
