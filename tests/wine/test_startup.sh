#!/usr/bin/env bash
# Start-up end to end: the Windows-version and architecture gates with their
# messages (a box in the wizard, standard error and no box when silent) and
# exit codes, the interface language chosen from the user's
# locale, and the run mode chosen from the command-line tail.
#
# The language shows in the running-product question of the wizard: a
# helper process (startup_hold_mutex.c, built here) owns the package's
# MutexName, so the installer asks UiText 22 in the selected language;
# Cancel ends it with exit code 0. The silent install never asks: it waits
# a minute and ends with exit code 1. Locales are compiled into a private
# LOCPATH, so the machine needs no generated locales.
#
# The run mode shows in the files and the windows: a silent run installs
# the product without a window; the wizard opens (and is cancelled here)
# and installs nothing.
set -euo pipefail
source "$(dirname "$0")/lib.sh"
tp_test_begin

readonly kUnsupported='BOX caption="Error" text="This operating system is not supported!" buttons=ok press=ok'

# arch_box LIST: the report line of the architecture message.
arch_box() {
  echo "BOX caption=\"Error\" text=\"This setup can only be installed on Windows $1!\" buttons=ok press=ok"
}

# installed NAME: true when the product NAME has been installed (its
# readme.txt, one of mkpkg's default files, exists in some Program Files).
installed() {
  compgen -G "$WINEPREFIX/drive_c/Program Files*/$1/readme.txt" >/dev/null
}

# --- Gates -----------------------------------------------------------------

tp_set_windows_version win81

tp_case "wizard, versions 0x28 on Windows 8.1: message, link opened after OK, exit 1"
# The link is a command script, so opening it leaves a trace.
printf 'echo opened> C:\\link-opened.txt\r\n' >"$WINEPREFIX/drive_c/open-link.cmd"
tp_mkpkg "$TP_TEST_DIR/os-link.exe" --versions 0x28 --archs 0x4 \
  --setting 'UnsupportedOsLink=C:\open-link.cmd'
tp_run_installer -- "$TP_TEST_DIR/os-link.exe"
tp_expect_exit 1
tp_expect_report "$kUnsupported" 'EXIT 1'
tp_check "the link was opened" tp_wait_for "$WINEPREFIX/drive_c/link-opened.txt"
rm -f "$WINEPREFIX/drive_c/link-opened.txt"

# Silent: every gate ends the run at once with exit code 1 and its message
# on standard error; no box, nothing opened, nothing installed.
# Case | mkpkg options | standard error
tp_mkpkg "$TP_TEST_DIR/intact.exe" --setting ProductName=Intact
silent_gates=(
  "Windows 8.1 only 7 and 10, with a link|--versions 0x28 --setting UnsupportedOsLink=C:\\open-link.cmd|This operating system is not supported!"
  "damaged: byte sum|--checksum-delta 1|This setup package is damaged!"
  "damaged: truncated file|--truncate 1|This setup package is damaged!"
  "damaged: cut stream|--cut-packed 16|This setup package is damaged!"
  "arm64 only|--archs 0x4|This setup can only be installed on Windows arm64!"
  "x86, arm64 and arm|--archs 0xD|This setup can only be installed on Windows x86/arm64/arm!"
  "x86 and arm|--archs 0x9|This setup can only be installed on Windows x86/arm!"
)
n=0
for entry in "${silent_gates[@]}"; do
  IFS='|' read -r label options line <<<"$entry"
  n=$((n + 1))
  tp_case "silent gate: $label: exit 1, no box, standard error"
  # shellcheck disable=SC2086
  tp_mkpkg "$TP_TEST_DIR/gate$n.exe" $options --setting "ProductName=Gate$n"
  started=$SECONDS
  tp_run_installer -- "$TP_TEST_DIR/gate$n.exe" /s
  took=$((SECONDS - started))
  tp_expect_exit 1
  tp_expect_report "STDERR \"$line\"" 'EXIT 1'
  ((took < 15)) || tp_fail "the run took $took s"
  echo "        ($took s)"
  tp_check "nothing installed" eval "! installed Gate$n"
  tp_check "the link was not opened" test ! -e "$WINEPREFIX/drive_c/link-opened.txt"
done

tp_set_windows_version win10

tp_case "versions 0x28 on Windows 10: passes"
tp_mkpkg "$TP_TEST_DIR/os10.exe" --versions 0x28 --setting ProductName=VersionTen
tp_run_installer -- "$TP_TEST_DIR/os10.exe" /s
tp_expect_exit 0
tp_expect_report 'EXIT 0'

# Architectures the x64 machine passes, silently and in the wizard's box.
for archs in 0x3 0x2; do
  tp_case "architectures $archs on x64: passes"
  tp_mkpkg "$TP_TEST_DIR/arch$archs.exe" --archs "$archs" --setting "ProductName=Arch$archs"
  tp_run_installer -- "$TP_TEST_DIR/arch$archs.exe" /s
  tp_expect_exit 0
  tp_expect_report 'EXIT 0'
done

tp_case "wizard, architectures 0x4 on x64: the box, exit 1"
tp_mkpkg "$TP_TEST_DIR/arch-box.exe" --archs 0x4
tp_run_installer -- "$TP_TEST_DIR/arch-box.exe"
tp_expect_exit 1
tp_expect_report "$(arch_box arm64)" 'EXIT 1'

# --- Language selection ---------------------------------------------------

tp_make_locale_wine de_CH fr_FR
with_locale=$TP_LOCALE_WINE
holder=$TP_TEST_DIR/startup_hold_mutex.exe
x86_64-w64-mingw32-gcc -municode -O2 -s -o "$holder" "$(dirname "$0")/startup_hold_mutex.c" ||
  tp_die "cannot build the mutex holder"

readonly kGermanRunning='Setup hat festgestellt, dass Zentrova zurzeit ausgef\u00fchrt wird.'
readonly kEnglishRunning='Setup has detected that Zentrova is currently running.'

# locale | expected language
language_cases=(
  "de_CH.UTF-8|German"
  "fr_FR.UTF-8|English"
  "C.UTF-8|English"
)
n=0
for entry in "${language_cases[@]}"; do
  IFS='|' read -r locale language <<<"$entry"
  n=$((n + 1))
  tp_case "LANG=$locale: the $language block"
  mutex=TailpackStartupTest$n
  ready=$TP_TEST_DIR/holder$n.ready
  stop=$TP_TEST_DIR/holder$n.stop
  tp_mkpkg "$TP_TEST_DIR/lang$n.exe" --setting "MutexName=$mutex"
  "$TP_WINE" "$holder" "$mutex" "$(tp_winpath "$ready")" "$(tp_winpath "$stop")" \
    </dev/null >>"$TP_TEST_DIR/holder.log" 2>&1 &
  holder_pid=$!
  if tp_wait_for "$ready"; then
    # The wizard asks once Install is pressed (the acceptance box leads to
    # the folder page); Cancel ends it.
    TP_LOCALE=$locale TP_WINE=$with_locale \
      tp_run_wizard $'wait-wizard\nclick 9\nwait-visible 21\nwait-enabled 1\nclick 1' --press cancel -- "$TP_TEST_DIR/lang$n.exe"
    tp_expect_exit 0
    expected=$kEnglishRunning
    [[ $language == German ]] && expected=$(printf "$kGermanRunning")
    if ! grep -qF "BOX caption=\"Zentrova\" text=\"$expected" "$TP_REPORT"; then
      tp_fail "no $language running-product question; report:"
      sed 's/^/        | /' "$TP_REPORT"
    fi
    [[ $(tail -1 "$TP_REPORT") == 'EXIT 0' ]] || tp_fail "the run did not end with EXIT 0"
  else
    tp_fail "the mutex holder did not start"
  fi
  touch "$stop"
  wait "$holder_pid" || true
  # The wizard made the folder before it asked; the next case starts fresh.
  rm -rf "$WINEPREFIX/drive_c/Program Files"*/Zentrova
done

# --- A product that stays running, silently ---------------------------------

# Unattended, nobody can answer the question: the close requests run, the
# installer waits a minute for the mutex to go, then ends with exit code 1,
# its reason on standard error and nothing installed.
tp_case "silent, the product's mutex held for good: exit 1 after 60 s, no box, nothing installed"
mutex=TailpackStaysRunning
ready=$TP_TEST_DIR/stays.ready
stop=$TP_TEST_DIR/stays.stop
tp_mkpkg "$TP_TEST_DIR/stays.exe" --setting "MutexName=$mutex" --setting ProductName=StaysRunning
"$TP_WINE" "$holder" "$mutex" "$(tp_winpath "$ready")" "$(tp_winpath "$stop")" \
  </dev/null >>"$TP_TEST_DIR/holder.log" 2>&1 &
holder_pid=$!
if tp_wait_for "$ready"; then
  started=$SECONDS
  tp_run_installer --timeout 120 -- "$TP_TEST_DIR/stays.exe" /s
  took=$((SECONDS - started))
  tp_expect_exit 1
  tp_expect_report 'STDERR "The product is still running; nothing was changed."' 'EXIT 1'
  ((took >= 59 && took < 90)) || tp_fail "the run took $took s, not one minute"
  echo "        ($took s)"
  tp_check "nothing installed" eval "! compgen -G \"\$WINEPREFIX/drive_c/Program Files*/StaysRunning\" >/dev/null"
else
  tp_fail "the mutex holder did not start"
fi
touch "$stop"
wait "$holder_pid" || true

# --- Run mode from the command-line tail ----------------------------------

# The installer sits in a folder with blanks so that quoted program paths
# are exercised, and in one with a non-ASCII letter for unquoted ones.
mkdir -p "$WINEPREFIX/drive_c/Setup Files" "$WINEPREFIX/drive_c/Übung"

# command-line tail | quoted or bare path | expected mode
mode_cases=(
  "-S|quoted|silent"
  "/s|quoted|silent"
  "-silent|quoted|silent"
  "/sx|quoted|silent"
  "s|quoted|wizard"
  "/x|quoted|wizard"
  "|quoted|wizard"
  # The letter Ü is a byte above 0x7F in the 8-bit command line; it ends an
  # unquoted program name like a blank, so the tail starts inside the path.
  "/s|bare|wizard"
)
n=0
for entry in "${mode_cases[@]}"; do
  IFS='|' read -r tail path mode <<<"$entry"
  n=$((n + 1))
  product=Mode$n
  if [[ $path == quoted ]]; then
    installer="$WINEPREFIX/drive_c/Setup Files/setup $n.exe"
    line="\"$(tp_winpath "$installer")\" $tail"
  else
    installer="$WINEPREFIX/drive_c/Übung/setup$n.exe"
    line="$(tp_winpath "$installer") $tail"
  fi
  tp_case "command line [$line]: $mode"
  tp_mkpkg "$installer" --setting "ProductName=$product"
  if [[ $mode == silent ]]; then
    tp_run_installer --windows --cmdline "$line" -- "$installer"
    tp_expect_exit 0
    tp_expect_report 'EXIT 0'
    tp_check "$product was installed" installed "$product"
  else
    tp_run_wizard $'wait-wizard\ndump wizard\nclick 2' --cmdline "$line" -- "$installer"
    tp_expect_exit 0
    [[ $(tp_dump_title wizard) == "Setup - $product 2.1.3" ]] ||
      tp_fail "no wizard for $product: $(head -3 "$TP_REPORT")"
    tp_check "$product was not installed" eval "! installed $product"
  fi
done
