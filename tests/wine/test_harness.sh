#!/usr/bin/env bash
# The harness itself: the prefix is seeded as the other tests assume, the
# Windows-version helper changes what programs see, and the driver reports
# the failures a test relies on it to catch (a box left open, a button that
# is not there) instead of passing them silently.
set -euo pipefail
# shellcheck source=tests/wine/lib.sh
source "$(dirname "$0")/lib.sh"
tp_test_begin

readonly kBoxText='caption="Error" text="This setup package is damaged!" buttons=ok'
damaged=$TP_TEST_DIR/damaged.exe
tp_mkpkg "$damaged" --corrupt-checksum

tp_case "32-bit registry view: Program Files (x86)"
# reg writes its answer to the console, which is the log file here.
"$TP_WINE" reg query 'HKLM\Software\Microsoft\Windows\CurrentVersion' /v ProgramFilesDir \
  /reg:32 </dev/null >"$TP_TEST_DIR/view32.txt" 2>&1 || true
"$TP_WINE" reg query 'HKLM\Software\Microsoft\Windows\CurrentVersion' /v ProgramFilesDir \
  /reg:64 </dev/null >"$TP_TEST_DIR/view64.txt" 2>&1 || true
tp_check "32-bit view reads C:\\Program Files (x86)" \
  grep -q 'ProgramFilesDir *REG_SZ *C:\\Program Files (x86)' "$TP_TEST_DIR/view32.txt"
tp_check "64-bit view reads C:\\Program Files" \
  grep -Eq 'ProgramFilesDir +REG_SZ +C:\\Program Files\s*$' "$TP_TEST_DIR/view64.txt"

# version NAME EXPECTED: the version cmd's "ver" reports after the switch.
for entry in "win7|6.1" "win81|6.3" "win10|10.0"; do
  IFS='|' read -r name expected <<<"$entry"
  tp_case "Windows version $name: programs see $expected"
  tp_set_windows_version "$name"
  rm -f "$TP_TEST_DIR/ver.txt"
  tp_wine cmd /c "ver > $(tp_winpath "$TP_TEST_DIR/ver.txt")" || true
  tp_check "ver reports $expected ($(tr -d '\r\n' <"$TP_TEST_DIR/ver.txt" 2>/dev/null))" \
    grep -q "Windows $expected\." "$TP_TEST_DIR/ver.txt"
done

tp_case "a box left open ends in TIMEOUT (exit 124)"
tp_run_installer --press none --timeout 3 -- "$damaged"
tp_expect_exit 124
tp_expect_report "BOX $kBoxText press=none" TIMEOUT

tp_case "a button that is not on the box aborts (exit 125)"
tp_run_installer --answers yes -- "$damaged"
tp_expect_exit 125
tp_expect_report "BOX $kBoxText press=yes" "ABORT no yes button"

tp_case "--cmdline passes the whole command line"
tp_run_installer --cmdline "\"$(tp_winpath "$damaged")\" /x" --press ok
tp_expect_exit 1
tp_expect_report "BOX $kBoxText press=ok" "EXIT 1"

tp_case "--windows reports other top-level windows"
tp_run_installer --windows --timeout 3 -- 'C:\windows\notepad.exe'
tp_expect_exit 124
tp_check "a Notepad window is reported" grep -q '^WINDOW class="Notepad" title=".*Notepad"$' "$TP_REPORT"
tp_check "the run ends in TIMEOUT" grep -qx TIMEOUT "$TP_REPORT"
