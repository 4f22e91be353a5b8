# shellcheck shell=bash
# Shared code of the end-to-end tests under wine64 (and of the i686 guest's,
# tests/wine/i686); sourced by run.sh and by every test script. See
# tests/wine/README.md.
#
# The template prefix (wineboot plus the seeded registry, template.sh) is
# what makes a run slow, so it is cached between runs in $TP_WINE_CACHE
# (default build/wine-cache), keyed by the Wine version, WINEARCH and
# template.sh; TP_WINE_FRESH=1 makes a private one for the run instead. Each
# test script gets its own prefix: the template's DLL folders (system32,
# syswow64, winsxs) hard-linked, since
# Wine never rewrites its DLLs in place, and everything else (registry, ini
# files, user folders, Program Files) copied. A listing of the hard-linked
# files (names, sizes, times, inodes) is kept with the cached template and
# checked at the start of every run, so a test that did write into one of
# them cannot spoil later runs.
#
# A run directory (temporary, removed at the end unless TP_KEEP=1) holds the
# Xvfb and template logs and one directory per test script with its prefix
# (removed when the script ends), installers, reports and logs.
#
# Wine's background processes (services, explorer) inherit the standard
# handles of the first Wine process, so Wine's output always goes to files,
# never into a pipe that would stay open after the program ended.

TP_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
TP_STUB=${TP_STUB:-$TP_ROOT/build/win64/tailpack-stub.exe}
TP_DRIVER=${TP_DRIVER:-$TP_ROOT/build/win64/driver/tp-driver.exe}
TP_HELPER=${TP_HELPER:-$TP_ROOT/build/win64/driver/tp-install-helper.exe}
TP_MKPKG=${TP_MKPKG:-$TP_ROOT/build/host/tests/wine/mkpkg}
TP_WINE_CACHE=${TP_WINE_CACHE:-$TP_ROOT/build/wine-cache}

# The Wine loader that starts every program: wine64 on the test machines,
# which cannot run 32-bit code; the i686 test guest (tests/wine/guest) sets
# its own, which starts 32-bit and 64-bit programs alike.
if [[ -z ${TP_WINE:-} ]]; then
  TP_WINE=$(command -v wine64 || true)
  [[ -n $TP_WINE ]] || TP_WINE=/usr/lib/wine/wine64
fi
if [[ -z ${TP_WINESERVER:-} ]]; then
  if [[ -x /usr/lib/wine/wineserver64 ]]; then
    TP_WINESERVER=/usr/lib/wine/wineserver64
  else
    TP_WINESERVER=$(command -v wineserver || echo wineserver)
  fi
fi
export WINESERVER=$TP_WINESERVER
export WINEDEBUG=-all
export WINEDLLOVERRIDES=winemenubuilder.exe=d
export WINEARCH=${WINEARCH:-win64}

tp_die() {
  echo "${0##*/}: $*" >&2
  exit 2
}

# --- Run level: Xvfb and the template prefix -------------------------------

# shellcheck source=tests/wine/template.sh
source "$TP_ROOT/tests/wine/template.sh"

# Starts Xvfb on a free display (Xvfb picks it and reports it through
# -displayfd) and exports DISPLAY.
tp_start_xvfb() {
  local displayfile=$TP_RUN_DIR/xvfb.display
  : >"$displayfile"
  Xvfb -displayfd 3 -nolisten tcp -screen 0 1280x1024x24 3>"$displayfile" \
    </dev/null >"$TP_RUN_DIR/xvfb.log" 2>&1 &
  TP_XVFB_PID=$!
  local i
  for ((i = 0; i < 100; i++)); do
    [[ -s $displayfile ]] && break
    kill -0 "$TP_XVFB_PID" 2>/dev/null || tp_die "Xvfb did not start (see $TP_RUN_DIR/xvfb.log)"
    sleep 0.05
  done
  [[ -s $displayfile ]] || tp_die "Xvfb reported no display"
  DISPLAY=:$(head -1 "$displayfile")
  export DISPLAY TP_XVFB_PID
}

# Sets up the run: run directory, Xvfb, template prefix. Exports what the
# test scripts need, so run.sh does this once and the tests inherit it; a
# test script started on its own does it for itself.
tp_run_begin() {
  local base=${TMPDIR:-/tmp}
  mkdir -p "$TP_WINE_CACHE"
  # Hard links need the run on the template's file system.
  if [[ ${TP_WINE_FRESH:-0} != 1 && $(stat -c %d "$base") != $(stat -c %d "$TP_WINE_CACHE") ]]; then
    base=$TP_WINE_CACHE
  fi
  TP_RUN_DIR=$(mktemp -d "$base/tailpack-wine.XXXXXX")
  export TP_RUN_DIR
  tp_start_xvfb
  if [[ ${TP_WINE_FRESH:-0} == 1 ]]; then
    tp_make_template "$TP_RUN_DIR/template" "$TP_RUN_DIR/template.log"
    TP_TEMPLATE=$TP_RUN_DIR/template
    TP_TEMPLATE_SOURCE=wineboot
  else
    tp_cached_template "$TP_RUN_DIR/template.log"
  fi
  export TP_TEMPLATE TP_TEMPLATE_SOURCE
  # TP_ONE_PREFIX=1, for a machine that is thrown away after the run (the
  # i686 guest boots from a snapshot): every script of the run uses the
  # template itself, with one wineserver, so that neither a copy nor a
  # first Wine start is paid per script. The scripts must then not need
  # each other's absence (different product names).
  if [[ ${TP_ONE_PREFIX:-0} == 1 ]]; then
    WINEPREFIX=$TP_TEMPLATE "$TP_WINESERVER" -p || tp_die "wineserver did not start"
  fi
}

tp_run_end() {
  if [[ ${TP_ONE_PREFIX:-0} == 1 && -n ${TP_TEMPLATE:-} ]]; then
    WINEPREFIX=$TP_TEMPLATE "$TP_WINESERVER" -k >/dev/null 2>&1 || true
  fi
  if [[ -n ${TP_XVFB_PID:-} ]]; then
    kill "$TP_XVFB_PID" 2>/dev/null || true
    wait "$TP_XVFB_PID" 2>/dev/null || true
  fi
  [[ -n ${TP_RUN_DIR:-} ]] || return 0
  if [[ ${TP_KEEP:-0} == 1 ]]; then
    echo "kept $TP_RUN_DIR" >&2
  else
    rm -rf "$TP_RUN_DIR"
  fi
}

# --- Test level: a private prefix and its wineserver ----------------------

TP_PASSED=0
TP_FAILED=0
TP_CASE=
TP_CASE_FAILED=0

tp_test_end() {
  local status=$?
  [[ -n $TP_CASE ]] && tp_case_end
  if ((TP_SERVER_STARTED)); then
    "$TP_WINESERVER" -k >/dev/null 2>&1 || true
    "$TP_WINESERVER" -w >/dev/null 2>&1 || true
  fi
  # The prefix is large; reports and logs stay for TP_KEEP=1.
  if [[ -n $TP_TEST_DIR && ${TP_KEEP:-0} != 1 ]]; then
    rm -rf "$TP_TEST_DIR/prefix"
  fi
  ((TP_OWNS_RUN)) && tp_run_end
  ((status == 0)) || echo "$TP_TEST_NAME: stopped early with status $status"
  echo "$TP_TEST_NAME: $TP_PASSED passed, $TP_FAILED failed"
  if ((TP_FAILED > 0 || status != 0)); then exit 1; fi
  exit 0
}

# Called at the top of every test script: gives it a private prefix with a
# running wineserver. Also sets up the run when the script runs on its own.
tp_test_begin() {
  TP_TEST_NAME=$(basename "$0" .sh)
  # The tests of the i686 guest (tests/wine/i686) make their installers on
  # the host first, where the tool, mkpkg and signing run natively: with
  # TP_PREPARE set to a folder, only the script's function `prepare` runs,
  # with TP_INPUTS set to the script's part of that folder. In the guest,
  # TP_INPUTS names the same files.
  if [[ -n ${TP_PREPARE:-} ]]; then
    TP_INPUTS=$TP_PREPARE/$TP_TEST_NAME
    rm -rf "$TP_INPUTS"
    mkdir -p "$TP_INPUTS"
    prepare
    exit 0
  fi
  [[ -n ${TP_INPUTS_ROOT:-} ]] && TP_INPUTS=$TP_INPUTS_ROOT/$TP_TEST_NAME
  [[ -x $TP_STUB ]] || tp_die "no stub at $TP_STUB (make win64)"
  [[ -f $TP_DRIVER ]] || tp_die "no driver at $TP_DRIVER (make win64)"
  [[ -x $TP_MKPKG ]] || tp_die "no mkpkg at $TP_MKPKG (make host)"
  TP_OWNS_RUN=0
  TP_SERVER_STARTED=0
  TP_TEST_DIR=
  TP_RUN_COUNT=0
  trap tp_test_end EXIT
  if [[ -z ${TP_RUN_DIR:-} || ! -d ${TP_TEMPLATE:-/nonexistent} ]]; then
    TP_OWNS_RUN=1
    tp_run_begin
  fi
  TP_TEST_DIR=$(mktemp -d "$TP_RUN_DIR/$TP_TEST_NAME.XXXX")
  if [[ ${TP_ONE_PREFIX:-0} == 1 ]]; then
    export WINEPREFIX=$TP_TEMPLATE
  else
    tp_copy_prefix "$TP_TEMPLATE" "$TP_TEST_DIR/prefix"
    export WINEPREFIX=$TP_TEST_DIR/prefix
    "$TP_WINESERVER" -p || tp_die "wineserver did not start"
    TP_SERVER_STARTED=1
  fi
  # Folders of the prefix the installers write to, as Unix paths.
  TP_C=$WINEPREFIX/drive_c
  TP_PF64="$TP_C/Program Files"
  TP_PROGRAMS="$TP_C/ProgramData/Microsoft/Windows/Start Menu/Programs"
  TP_USER=$(basename "$(find "$TP_C/users" -mindepth 1 -maxdepth 1 -type d ! -name Public | head -1)")
  TP_DESKTOP=$TP_C/users/$TP_USER/Desktop
}

# --- Cases and checks ------------------------------------------------------

# tp_case NAME: starts a case; it passes unless a check fails before the next
# tp_case or the end of the script.
tp_case() {
  [[ -n $TP_CASE ]] && tp_case_end
  TP_CASE=$1
  TP_CASE_FAILED=0
  TP_CASE_STARTED=$SECONDS
}

tp_case_end() {
  if ((TP_CASE_FAILED)); then
    TP_FAILED=$((TP_FAILED + 1))
    echo "FAIL  $TP_CASE ($((SECONDS - TP_CASE_STARTED)) s)"
  else
    TP_PASSED=$((TP_PASSED + 1))
    echo "ok    $TP_CASE ($((SECONDS - TP_CASE_STARTED)) s)"
  fi
  TP_CASE=
}

tp_fail() {
  TP_CASE_FAILED=1
  echo "      $*"
}

# tp_check DESCRIPTION COMMAND...: fails the case when COMMAND fails.
tp_check() {
  local what=$1
  shift
  "$@" || tp_fail "check failed: $what"
}

# expect_equal DESCRIPTION EXPECTED ACTUAL: fails the case when they differ.
expect_equal() {
  [[ $2 == "$3" ]] || tp_fail "$1: expected [$2], got [$3]"
}

# tp_expect_exit CODE: the exit code of the last tp_run_installer.
tp_expect_exit() {
  [[ $TP_EXIT == "$1" ]] || tp_fail "exit code $TP_EXIT, expected $1"
}

# tp_expect_report LINE...: the last report holds exactly these lines.
tp_expect_report() {
  local expected actual
  expected=$(printf '%s\n' "$@")
  actual=$(cat "$TP_REPORT" 2>/dev/null || true)
  if [[ $actual != "$expected" ]]; then
    tp_fail "report differs (expected, then actual):"
    printf '        | %s\n' "$@"
    echo "        ---"
    sed 's/^/        | /' "$TP_REPORT" 2>/dev/null || echo "        (no report)"
  fi
}

# --- Helpers ---------------------------------------------------------------

# The Windows path of a Unix path: C:\... inside the prefix, else Z:\...
# tp_wait_pid PID SECONDS: waits for a background process of this shell;
# false (after killing it) when it has not ended within SECONDS or failed.
tp_wait_pid() {
  local i
  for ((i = 0; i < $2 * 10; i++)); do
    kill -0 "$1" 2>/dev/null || { wait "$1"; return; }
    sleep 0.1
  done
  kill "$1" 2>/dev/null || true
  wait "$1" 2>/dev/null || true
  return 1
}

# tp_wait_for FILE: true when FILE appears within 20 s.
tp_wait_for() {
  local i
  for ((i = 0; i < 200; i++)); do
    [[ -e $1 ]] && return 0
    sleep 0.1
  done
  return 1
}

tp_winpath() {
  local path
  path=$(realpath -m "$1")
  local drive_c
  drive_c=$(realpath -m "$WINEPREFIX/drive_c")
  if [[ $path == "$drive_c"/* ]]; then
    path="C:${path#"$drive_c"}"
  else
    path="Z:$path"
  fi
  printf '%s\n' "${path//\//\\}"
}

# tp_wine PROGRAM ARGS...: runs a Windows program, output to a log file.
tp_wine() {
  "$TP_WINE" "$@" </dev/null >>"$TP_TEST_DIR/wine.log" 2>&1
}

# tp_set_windows_version VERSION: the version Wine reports to programs
# started afterwards (win7, win81, win10, ...).
tp_set_windows_version() {
  tp_wine reg add 'HKCU\Software\Wine' /v Version /t REG_SZ /d "$1" /f ||
    tp_die "cannot set the Windows version $1"
}

# tp_read_key VIEW KEY: reads all values of KEY in the registry VIEW (32 or
# 64; empty for the only view of 32-bit Windows) for tp_value_of; an absent
# key reads as no values.
tp_read_key() {
  local out=$TP_TEST_DIR/key.txt try view=()
  [[ -n $1 ]] && view=("/reg:$1")
  for try in 1 2 3; do
    "$TP_WINE" reg query "$2" "${view[@]}" </dev/null >"$out" 2>/dev/null && return 0
    sleep 0.5
  done
  : >"$out"
}

# tp_value_of NAME: the data of value NAME of the key read last ("" if none).
tp_value_of() {
  tr -d '\r' <"$TP_TEST_DIR/key.txt" |
    awk -v name="$1" '$1 == name { sub(/^ *[^ ]+ +[^ ]+ +/, ""); print; exit }'
}

# tp_expect_no_copy FOLDER VIEW: the uninstaller's temporary copy is gone
# from every temporary folder ("*/Temp") under FOLDER once it has ended
# (waits up to 60 s: the copy outlives the uninstaller). Its private folder
# goes with it or, when Windows still held the copy's file as the folder's
# turn came, stays empty and is named for deletion at the next restart
# (registry view VIEW).
tp_expect_no_copy() {
  local root=$1 view=$2 i folder files
  for ((i = 0; i < 300; i++)); do
    [[ -z $(find "$root" -path '*/Temp/tailpack-*' -type f 2>/dev/null) ]] && break
    sleep 0.2
  done
  files=$(find "$root" -path '*/Temp/tailpack-*' -type f 2>/dev/null)
  tp_check "no copy of the uninstaller left in the temporary folder (${files:-none})" test -z "$files"
  while read -r folder; do
    [[ -n $folder ]] || continue
    tp_check "its folder ${folder##*/} is empty" test -z "$(ls -A "$folder")"
    tp_read_key "$view" 'HKLM\System\CurrentControlSet\Control\Session Manager'
    [[ $(tp_value_of PendingFileRenameOperations) == *"${folder##*/}"* ]] ||
      tp_fail "its folder ${folder##*/} is left without a deletion at restart"
  done < <(find "$root" -path '*/Temp/tailpack-*' -prune -type d 2>/dev/null)
}

# tp_key_exists VIEW KEY: true when KEY exists in the registry VIEW.
tp_key_exists() {
  local view=()
  [[ -n $1 ]] && view=("/reg:$1")
  "$TP_WINE" reg query "$2" "${view[@]}" </dev/null >/dev/null 2>&1
}

# tp_shortcut LNK: the fields of a shortcut (target, arguments, working
# folder, icon and its index), one per line, read back by the helper.
tp_shortcut() {
  local out=$TP_TEST_DIR/lnk.txt
  rm -f "$out"
  "$TP_WINE" "$TP_HELPER" lnk "$(tp_winpath "$1")" "$(tp_winpath "$out")" </dev/null \
    >>"$TP_TEST_DIR/helper.log" 2>&1 || return 1
  tr -d '\r' <"$out"
}

# tp_hostile_sample CORPUS [ALL]: the names of the hostile corpus's
# installers (tests/hostile, written by make_corpus) that the stub tests
# run, in order: about 32 spread evenly over the corpus, or all with ALL=1.
# Files Windows itself refuses to start (no MZ or PE headers) are left out:
# they never reach the stub.
tp_hostile_sample() {
  local all=() step=1 i
  mapfile -t all < <(cd "$1" && ls | LC_ALL=C sort |
    grep -Ev '^(truncated-file-(empty|mz-only|headers-only)|flip-mz-signature|flip-pe-offset|flip-pe-signature)\.exe$')
  [[ ${2:-0} == 1 ]] || step=$(((${#all[@]} + 31) / 32))
  for ((i = 0; i < ${#all[@]}; i += step)); do echo "${all[i]}"; done
}

# tp_start_helper MODE ARG: starts the helper (install_helper.c) standing in
# for a running product (window CLASS, mutex NAME, lock PATH) until
# tp_stop_helpers, and waits until it is ready.
TP_HELPER_COUNT=0
tp_start_helper() {
  local mode=$1 arg=$2
  TP_HELPER_COUNT=$((TP_HELPER_COUNT + 1))
  local ready=$TP_TEST_DIR/ready-$TP_HELPER_COUNT
  "$TP_WINE" "$TP_HELPER" "$mode" "$arg" "$(tp_winpath "$ready")" "$(tp_winpath "$TP_TEST_DIR/stop")" \
    </dev/null >>"$TP_TEST_DIR/helper.log" 2>&1 &
  if [[ $mode == window ]]; then
    local i
    for ((i = 0; i < 600; i++)); do
      grep -q ready "$ready" 2>/dev/null && return 0
      sleep 0.1
    done
    tp_die "the helper window did not start"
  fi
  tp_wait_for "$ready" || tp_die "the $mode helper did not start"
}

tp_stop_helpers() {
  touch "$TP_TEST_DIR/stop"
  wait || true
  rm -f "$TP_TEST_DIR/stop"
}

# tp_folder_state DIR: what a failed install must leave as it was: every
# folder under DIR, and every file with its size, modification time (to the
# nanosecond) and SHA-256, one a line, sorted. Folders' own times change
# with their contents and are left out.
tp_folder_state() {
  [[ -d $1 ]] || { echo "(no folder $1)"; return 0; }
  (cd "$1" && find . -type d -printf 'folder %p\n' && find . -type f -printf 'file %p %s %T@\n' &&
    find . -type f -exec sha256sum {} +) | LC_ALL=C sort
}

# tp_mkpkg OUT [MKPKG-OPTIONS...]: writes an installer from the stub.
tp_mkpkg() {
  local out=$1
  shift
  "$TP_MKPKG" --stub "$TP_STUB" --out "$out" "$@" || tp_die "mkpkg failed for $out"
}

# tp_run_installer [DRIVER-OPTIONS...] [-- INSTALLER [ARGUMENTS...]]
# Runs the installer (a Unix path, or a Windows path such as C:\x.exe)
# through the driver; without "--" the options must hold --cmdline. The
# driver presses OK on every box and gives up after 30 s unless the options
# say otherwise. Sets TP_EXIT (the driver's exit code: the installer's, or
# 124 timeout, 125 abort, 126 driver failure) and TP_REPORT (the report).
tp_run_installer() {
  local options=() program=()
  while (($#)) && [[ $1 != -- ]]; do
    options+=("$1")
    shift
  done
  if (($#)); then
    shift
    (($#)) || tp_die "tp_run_installer: no installer after --"
    if [[ $1 =~ ^[A-Za-z]:\\ ]]; then
      program=(-- "$1")
    else
      program=(-- "$(tp_winpath "$1")")
    fi
    shift
    program+=("$@")
  fi
  TP_RUN_COUNT=$((TP_RUN_COUNT + 1))
  TP_REPORT=$TP_TEST_DIR/report-$TP_RUN_COUNT.txt
  rm -f "$TP_REPORT"
  local attempt log=$TP_TEST_DIR/run-$TP_RUN_COUNT.log
  for attempt in 1 2; do
    TP_EXIT=0
    timeout 300 "$TP_WINE" "$TP_DRIVER" --timeout 30 "${options[@]}" \
      --report "$(tp_winpath "$TP_REPORT")" "${program[@]}" \
      </dev/null >"$log" 2>&1 || TP_EXIT=$?
    # The driver creates its report before it starts the installer, so no
    # report means Wine did not start the driver at all (seen rarely on a
    # loaded machine): the installer has not run, and one retry is safe.
    [[ -e $TP_REPORT ]] && break
    echo "        (Wine did not start the driver, exit $TP_EXIT: $(tail -c 300 "$log" | tr '\n' ' '))"
  done
}

# tp_run_batch ARGUMENTS... -- INSTALLER...: runs each installer (Unix
# paths) with the same ARGUMENTS, one after the other through one driver
# (--batch: where starting a Windows program costs seconds, as in the i686
# guest, this saves one start per installer). Boxes get OK, each run has
# 30 s. TP_REPORTS holds the report of each installer, in order; then
# tp_batch_result N sets TP_REPORT and TP_EXIT for installer N as
# tp_run_installer would.
tp_run_batch() {
  local arguments=() list
  while (($#)) && [[ $1 != -- ]]; do
    arguments+=("$1")
    shift
  done
  (($# > 1)) || tp_die "tp_run_batch: no installers after --"
  shift
  TP_RUN_COUNT=$((TP_RUN_COUNT + 1))
  list=$TP_TEST_DIR/batch-$TP_RUN_COUNT.txt
  TP_REPORTS=()
  : >"$list"
  local installer n=0
  for installer in "$@"; do
    n=$((n + 1))
    TP_REPORTS+=("$TP_TEST_DIR/report-$TP_RUN_COUNT-$n.txt")
    rm -f "${TP_REPORTS[-1]}"
    printf '%s\t"%s" %s\n' "$(tp_winpath "${TP_REPORTS[-1]}")" "$(tp_winpath "$installer")" \
      "${arguments[*]}" >>"$list"
  done
  timeout $((60 + 35 * n)) "$TP_WINE" "$TP_DRIVER" --timeout 30 --batch "$(tp_winpath "$list")" \
    </dev/null >"$TP_TEST_DIR/run-$TP_RUN_COUNT.log" 2>&1 || true
}

# tp_batch_result N: the report (TP_REPORT) and exit code (TP_EXIT) of the
# Nth installer (from 0) of the last tp_run_batch.
tp_batch_result() {
  TP_REPORT=${TP_REPORTS[$1]}
  local last
  last=$(tail -n 1 "$TP_REPORT" 2>/dev/null || true)
  case $last in
    "EXIT "*) TP_EXIT=${last#EXIT } ;;
    TIMEOUT) TP_EXIT=124 ;;
    ABORT*) TP_EXIT=125 ;;
    *) TP_EXIT=126 ;;
  esac
}

# tp_make_locale_wine LOCALE...: compiles each locale (for example de_DE)
# as UTF-8 under the test folder and sets TP_LOCALE_WINE to a wine64
# wrapper that runs in the locale named by TP_LOCALE, for example
#   TP_LOCALE=de_DE.UTF-8 TP_WINE=$TP_LOCALE_WINE tp_run_installer ...
# (a prefix assignment on a shell function would make bash itself switch
# locale and warn that it cannot).
tp_make_locale_wine() {
  local locales=$TP_TEST_DIR/locales locale
  mkdir -p "$locales"
  for locale in "$@"; do
    [[ -d $locales/$locale.UTF-8 ]] && continue
    localedef -i "$locale" -f UTF-8 "$locales/$locale.UTF-8" >"$TP_TEST_DIR/localedef.log" 2>&1 ||
      tp_die "localedef could not make $locale.UTF-8 (see $TP_TEST_DIR/localedef.log)"
  done
  TP_LOCALE_WINE=$TP_TEST_DIR/wine-with-locale
  printf '#!/bin/sh\nexec env LOCPATH="%s" LANG="$TP_LOCALE" LC_ALL="$TP_LOCALE" "%s" "$@"\n' \
    "$locales" "$TP_WINE" >"$TP_LOCALE_WINE"
  chmod +x "$TP_LOCALE_WINE"
}

# --- The wizard ------------------------------------------------------------

# tp_run_wizard SCRIPT [DRIVER-OPTIONS...] -- INSTALLER [ARGUMENTS...]
# Runs the installer through the driver with the script SCRIPT (the steps of
# tests/wine/driver/script.c, one a line) and a 60 s timeout; sets TP_EXIT
# and TP_REPORT like tp_run_installer.
tp_run_wizard() {
  local script=$TP_TEST_DIR/script-$((TP_RUN_COUNT + 1)).txt
  printf '%s\n' "$1" >"$script"
  shift
  tp_run_installer --timeout 60 --script "$(tp_winpath "$script")" "$@"
}

# tp_item LABEL ID: the ITEM line of item ID in the dump LABEL of the last
# report (empty when there is none).
tp_item() {
  awk -v label="DUMP $1" -v id="id=$2" '
    index($0, label " ") == 1 || $0 == label { inside = 1; next }
    /^DUMP / { inside = 0 }
    inside && $1 == "ITEM" && $2 == id { print; exit }' "$TP_REPORT"
}

# tp_expect_item LABEL ID TOKEN...: the item's line in dump LABEL holds each
# TOKEN (for example visible=1 'text="&Next >"').
tp_expect_item() {
  local label=$1 id=$2 line token
  shift 2
  line=$(tp_item "$label" "$id")
  if [[ -z $line ]]; then
    tp_fail "dump $label has no item $id"
    return
  fi
  for token in "$@"; do
    [[ $line == *" $token"* ]] || tp_fail "dump $label, item $id: no '$token' in: $line"
  done
}

# tp_pane_text LABEL: the info pane's text (item 200) in dump LABEL, the
# report's escapes undone; the rich-edit control may report its paragraph
# ends as CR LF or CR, both become one line break.
tp_pane_text() {
  local line
  line=$(tp_item "$1" 200)
  line=${line#* text=\"}
  line=${line%\"}
  printf '%s\n' "$line" |
    perl -pe 's/\\(r\\n|r|n|\\|")/$1 eq "\\" ? "\\" : $1 eq "\"" ? "\"" : "\n"/ge'
}

# tp_dump_title LABEL: the window title of dump LABEL.
tp_dump_title() {
  awk -v label="DUMP $1 " 'index($0, label) == 1 { sub(/^[^"]*"/, ""); sub(/"$/, ""); print; exit }' \
    "$TP_REPORT"
}

# tp_png BMP PNG: converts a screenshot of the driver to PNG.
tp_png() {
  python3 "$TP_ROOT/tests/wine/bmp2png.py" "$1" "$2" || tp_die "cannot convert $1"
}
