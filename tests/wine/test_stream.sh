#!/usr/bin/env bash
# Packages large enough for the installer to stream their file data (over
# 64 MiB unpacked), built by the tool and installed silently under wine64:
# the installed files equal the sources, the installer's peak memory stays
# far below the package size, and damage that only shows at the end of the
# stream fails the install with nothing left behind and nothing replaced.
set -euo pipefail
source "$(dirname "$0")/lib.sh"
tp_test_begin

tool=$TP_ROOT/build/host/tailpack
[[ -x $tool ]] || tp_die "no tool at $tool (make host)"
pf64=$TP_PF64

# Reproducible bytes: AES-CTR over zeros with a fixed key.
noise() {
  { openssl enc -aes-128-ctr -nosalt -K "$1" -iv 0 </dev/zero 2>/dev/null || true; } | head -c "$2"
}

payload=$TP_TEST_DIR/payload
mkdir -p "$payload"
# 96 MiB that compress to almost nothing (one 64 KiB block over and over),
# two files with equal contents (stored once), and the licence, which sorts
# last but is the info text.
noise 01 65536 >"$payload/block"
for _ in 1 2 3 4; do cat "$payload/block"; done >"$payload/block4"
for _ in $(seq 1 384); do cat "$payload/block4"; done >"$payload/big.bin"
noise 02 1500000 >"$payload/shared.dll"
noise 03 700000 >"$payload/tail.bin"
printf 'Zentrova licence\r\n' >"$payload/zz-license.txt"

cat >"$TP_TEST_DIR/stream.toml" <<EOF
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
EOF
installer=$TP_TEST_DIR/stream-setup.exe
"$tool" build "$TP_TEST_DIR/stream.toml" --stub "$TP_STUB" -q -o "$installer" \
  >"$TP_TEST_DIR/build.log" 2>&1 || tp_die "tailpack build failed (see $TP_TEST_DIR/build.log)"

folder=$pf64/Streamer

# run_measured INSTALLER: runs it silently, straight under wine64 so that
# GNU time sees the installer's own process (no driver answers message
# boxes: only for runs that show none); sets TP_EXIT and PEAK_KB.
run_measured() {
  TP_EXIT=0
  /usr/bin/time -f '%M' -o "$TP_TEST_DIR/peak" \
    timeout 120 "$TP_WINE" "$(tp_winpath "$1")" -s </dev/null >>"$TP_TEST_DIR/wine.log" 2>&1 || TP_EXIT=$?
  PEAK_KB=$(tail -n 1 "$TP_TEST_DIR/peak")
}

# staged_files: files left under a staging name anywhere in the folder.
staged_files() {
  find "$folder" -name '*.~tp*' 2>/dev/null | wc -l
}

tp_case "a 98 MiB package streams: files equal the sources, memory far below the package"
run_measured "$installer"
tp_expect_exit 0
tp_check "big.bin" cmp -s "$payload/big.bin" "$folder/data/big.bin"
tp_check "bin/shared.dll" cmp -s "$payload/shared.dll" "$folder/bin/shared.dll"
tp_check "lib/shared.dll (the same contents, stored once)" cmp -s "$payload/shared.dll" "$folder/lib/shared.dll"
tp_check "tail.bin" cmp -s "$payload/tail.bin" "$folder/data/tail.bin"
tp_check "licence" cmp -s "$payload/zz-license.txt" "$folder/zz-license.txt"
expect_equal "staged files left" 0 "$(staged_files)"
# Holding the block would take more than 100 MB on top of Wine's own;
# streaming holds 16 MiB of it and the 8 MiB dictionary.
((PEAK_KB < 80000)) || tp_fail "peak resident memory ${PEAK_KB} kB, expected under 80000 kB"
echo "      peak resident memory: $PEAK_KB kB"

tp_case "damage past the held bytes: exit 2, nothing staged left, no file replaced"
# The newest file data is damaged where the loader does not look: in the
# last packed bytes before the trailer.
damaged=$TP_TEST_DIR/stream-damaged.exe
cp "$installer" "$damaged"
size=$(stat -c %s "$damaged")
# Trailer (20 bytes) and up to 8 bytes of slack end the file; flip a byte
# 200 bytes before them, inside tail.bin's or the licence's packed data.
offset=$((size - 28 - 200))
byte=$(od -An -tu1 -j "$offset" -N1 "$damaged" | tr -d ' ')
printf "$(printf '\\%03o' $((byte ^ 0x5A)))" | dd of="$damaged" bs=1 seek="$offset" conv=notrunc status=none
printf 'installed earlier\r\n' >"$folder/zz-license.txt"
rm -f "$folder/data/tail.bin"
before=$(tp_folder_state "$folder")
tp_run_installer -- "$damaged" -s
tp_expect_exit 2
expect_equal "the earlier licence" "installed earlier" "$(tr -d '\r' <"$folder/zz-license.txt")"
tp_check "no tail.bin" test ! -e "$folder/data/tail.bin"
expect_equal "the folder, byte for byte and time for time" "$before" "$(tp_folder_state "$folder")"

tp_case "installing again over damaged leftovers: every existing file is replaced after the last byte"
run_measured "$installer"
tp_expect_exit 0
tp_check "licence replaced" cmp -s "$payload/zz-license.txt" "$folder/zz-license.txt"
tp_check "big.bin" cmp -s "$payload/big.bin" "$folder/data/big.bin"
tp_check "tail.bin" cmp -s "$payload/tail.bin" "$folder/data/tail.bin"
expect_equal "staged files left" 0 "$(staged_files)"

tp_test_end
