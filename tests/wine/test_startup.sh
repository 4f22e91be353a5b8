#!/usr/bin/env bash
# Start-up end to end: the Windows-version and architecture gates with their
# messages and exit codes, the interface language chosen from the user's
# locale, and the run mode chosen from the command-line tail.
#
# The language shows in the running-product question of the silent install:
# a helper process (startup_hold_mutex.c, built here) owns the package's
# MutexName, so the installer asks UiText 22 in the selected language;
# Cancel ends it with exit code 0. Locales are compiled into a private
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

# --- Windows-version gate -------------------------------------------------

tp_set_windows_version win81

tp_case "versions 0x28 on Windows 8.1: message, link opened after OK, exit 1"
# The link is a command script, so opening it leaves a trace.
printf 'echo opened> C:\\link-opened.txt\r\n' >"$WINEPREFIX/drive_c/open-link.cmd"
tp_mkpkg "$TP_TEST_DIR/os-link.exe" --versions 0x28 --archs 0x4 \
  --setting 'UnsupportedOsLink=C:\open-link.cmd'
tp_run_installer -- "$TP_TEST_DIR/os-link.exe" /s
tp_expect_exit 1
tp_expect_report "$kUnsupported" 'EXIT 1'
tp_check "the link was opened" tp_wait_for "$WINEPREFIX/drive_c/link-opened.txt"

tp_case "versions 0x28 on Windows 8.1 without a link: message, exit 1"
tp_mkpkg "$TP_TEST_DIR/os.exe" --versions 0x28
tp_run_installer -- "$TP_TEST_DIR/os.exe" /s
tp_expect_exit 1
tp_expect_report "$kUnsupported" 'EXIT 1'

tp_set_windows_version win10

tp_case "versions 0x28 on Windows 10: passes"
tp_mkpkg "$TP_TEST_DIR/os10.exe" --versions 0x28 --setting ProductName=VersionTen
tp_run_installer -- "$TP_TEST_DIR/os10.exe" /s
tp_expect_exit 0
tp_expect_report 'EXIT 0'

# --- Architecture gate (the machine is x64) -------------------------------

# architectures | expected list, or "passes"
arch_cases=(
  "0x4|arm64"
  "0xD|x86/arm64/arm"
  "0x9|x86/arm"
  "0x3|passes"
  "0x2|passes"
)
n=0
for entry in "${arch_cases[@]}"; do
  IFS='|' read -r archs expected <<<"$entry"
  n=$((n + 1))
  tp_case "architectures $archs on x64: $expected"
  tp_mkpkg "$TP_TEST_DIR/arch$n.exe" --archs "$archs" --setting "ProductName=Arch$n"
  tp_run_installer -- "$TP_TEST_DIR/arch$n.exe" /s
  if [[ $expected == passes ]]; then
    tp_expect_exit 0
    tp_expect_report 'EXIT 0'
  else
    tp_expect_exit 1
    tp_expect_report "$(arch_box "$expected")" 'EXIT 1'
  fi
done

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
    TP_LOCALE=$locale TP_WINE=$with_locale \
      tp_run_installer --press cancel -- "$TP_TEST_DIR/lang$n.exe" /s
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
done

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
