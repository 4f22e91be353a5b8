# shellcheck shell=bash
# Shared code of the end-to-end tests under wine64; sourced by run.sh and by
# every tests/wine/test_*.sh. See tests/wine/README.md.
#
# The template prefix (wineboot plus the seeded registry) is what makes a
# run slow, so it is cached between runs in $TP_WINE_CACHE (default
# build/wine-cache), keyed by the Wine version and this file; TP_WINE_FRESH=1
# makes a private one for the run instead. Each test script gets its own
# prefix: the template's DLL folders (system32, winsxs) hard-linked, since
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
TP_MKPKG=${TP_MKPKG:-$TP_ROOT/build/host/tests/wine/mkpkg}
TP_WINE_CACHE=${TP_WINE_CACHE:-$TP_ROOT/build/wine-cache}

# wine64 only: there is no 32-bit Wine on the test machines.
if [[ -z ${TP_WINE64:-} ]]; then
  TP_WINE64=$(command -v wine64 || true)
  [[ -n $TP_WINE64 ]] || TP_WINE64=/usr/lib/wine/wine64
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
export WINEARCH=win64

tp_die() {
  echo "${0##*/}: $*" >&2
  exit 2
}

# --- Run level: Xvfb and the template prefix -------------------------------

# The 32-bit registry view that 64-bit Windows has and a wine64-only prefix
# lacks: the stub is a 32-bit program on real machines and reads its default
# folders through this view. Unmanaged X11 windows: Xvfb runs no window
# manager, so Wine would wait 2 s for one whenever a window is hidden. No
# crash dialog: a crashing program ends at once (its backtrace goes to the
# run's log) instead of waiting in the debugger until the driver's timeout.
tp_seed_registry_file() {
  cat <<'EOF'
REGEDIT4

[HKEY_LOCAL_MACHINE\Software\Wow6432Node\Microsoft\Windows\CurrentVersion]
"ProgramFilesDir"="C:\\Program Files (x86)"
"ProgramFilesDir (x86)"="C:\\Program Files (x86)"
"ProgramW6432Dir"="C:\\Program Files"
"CommonFilesDir"="C:\\Program Files (x86)\\Common Files"
"CommonFilesDir (x86)"="C:\\Program Files (x86)\\Common Files"
"CommonW6432Dir"="C:\\Program Files\\Common Files"

[HKEY_LOCAL_MACHINE\Software\Wow6432Node\Microsoft\Windows\CurrentVersion\Uninstall]

[HKEY_LOCAL_MACHINE\Software\Microsoft\Windows\CurrentVersion]
"ProgramW6432Dir"="C:\\Program Files"
"CommonW6432Dir"="C:\\Program Files\\Common Files"

[HKEY_CURRENT_USER\Software\Wine\X11 Driver]
"Managed"="N"

[HKEY_CURRENT_USER\Software\Wine\WineDbg]
"ShowCrashDialog"=dword:00000000
EOF
}

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

tp_template_key() {
  { "$TP_WINE64" --version 2>/dev/null; cat "${BASH_SOURCE[0]}"; } | sha256sum | cut -c1-16
}

# Fingerprint of the hard-linked part of a template.
tp_template_listing() {
  (cd "$1/drive_c/windows" && find system32 winsxs -printf '%p %s %T@ %i\n' | LC_ALL=C sort)
}

# Makes a template prefix at $1 with wineboot and the seeded registry.
tp_make_template() {
  local prefix=$1 log=$TP_RUN_DIR/template.log
  mkdir -p "$prefix"
  (
    export WINEPREFIX=$prefix
    # No Mono or Gecko: their installers would ask to download.
    export WINEDLLOVERRIDES="winemenubuilder.exe=d;mscoree=d;mshtml=d"
    "$TP_WINESERVER" -p
    status=0
    "$TP_WINE64" wineboot -i || status=$?
    if ((status == 0)); then
      # wineboot links the user's Desktop, Documents and the like to the host
      # home folder; make them real folders so shortcuts stay in the prefix.
      for link in "$prefix"/drive_c/users/*/*; do
        if [[ -L $link ]]; then rm -f "$link" && mkdir -p "$link"; fi
      done
      tp_seed_registry_file >"$prefix/drive_c/seed.reg"
      "$TP_WINE64" regedit /S 'C:\seed.reg' || status=$?
      rm -f "$prefix/drive_c/seed.reg"
    fi
    if ((status == 0)); then
      "$TP_WINE64" reg query 'HKLM\Software\Microsoft\Windows\CurrentVersion' \
        /v ProgramFilesDir /reg:32 >"$TP_RUN_DIR/template-check.txt" || status=$?
    fi
    "$TP_WINESERVER" -k || true
    "$TP_WINESERVER" -w || true
    exit "$status"
  ) </dev/null >"$log" 2>&1 || tp_die "wineboot failed (see $log)"
  grep -q 'C:\\Program Files (x86)' "$TP_RUN_DIR/template-check.txt" ||
    tp_die "the 32-bit registry view was not seeded (see $TP_RUN_DIR/template-check.txt)"
}

# Sets TP_TEMPLATE to a valid cached template, making and caching one when
# there is none.
tp_cached_template() {
  local key cached staging
  key=$(tp_template_key)
  cached=$TP_WINE_CACHE/template-$key
  if [[ -f $cached/.complete ]]; then
    if tp_template_listing "$cached" | cmp -s - "$cached/.listing"; then
      TP_TEMPLATE=$cached
      TP_TEMPLATE_SOURCE=cache
      return
    fi
    echo "${0##*/}: the cached Wine template was modified; making a new one" >&2
    rm -rf "$cached"
  fi
  # Older templates belong to another Wine or another version of this file;
  # old staging folders to runs that were interrupted.
  find "$TP_WINE_CACHE" -mindepth 1 -maxdepth 1 -name 'template-*' -exec rm -rf {} + \
    2>/dev/null || true
  find "$TP_WINE_CACHE" -mindepth 1 -maxdepth 1 -name '.staging.*' -mmin +60 -exec rm -rf {} + \
    2>/dev/null || true
  mkdir -p "$TP_WINE_CACHE"
  staging=$(mktemp -d "$TP_WINE_CACHE/.staging.XXXXXX")
  tp_make_template "$staging"
  tp_template_listing "$staging" >"$staging/.listing"
  touch "$staging/.complete"
  # Publish atomically; a concurrent run may have published one first.
  mv -T "$staging" "$cached" 2>/dev/null || rm -rf "$staging"
  TP_TEMPLATE=$cached
  TP_TEMPLATE_SOURCE=wineboot
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
    tp_make_template "$TP_RUN_DIR/template"
    TP_TEMPLATE=$TP_RUN_DIR/template
    TP_TEMPLATE_SOURCE=wineboot
  else
    tp_cached_template
  fi
  export TP_TEMPLATE TP_TEMPLATE_SOURCE
}

tp_run_end() {
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

# Copies a prefix: DLL folders hard-linked (falling back to a copy across
# file systems), the rest copied.
tp_copy_prefix() {
  local from=$1 to=$2 dir
  mkdir -p "$to"
  tar -C "$from" --exclude=./drive_c/windows/system32 --exclude=./drive_c/windows/winsxs \
    -cf - . | tar -C "$to" -xf -
  for dir in system32 winsxs; do
    cp -al "$from/drive_c/windows/$dir" "$to/drive_c/windows/" 2>/dev/null ||
      cp -a "$from/drive_c/windows/$dir" "$to/drive_c/windows/"
  done
}

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
  tp_copy_prefix "$TP_TEMPLATE" "$TP_TEST_DIR/prefix"
  export WINEPREFIX=$TP_TEST_DIR/prefix
  "$TP_WINESERVER" -p || tp_die "wineserver did not start"
  TP_SERVER_STARTED=1
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
}

tp_case_end() {
  if ((TP_CASE_FAILED)); then
    TP_FAILED=$((TP_FAILED + 1))
    echo "FAIL  $TP_CASE"
  else
    TP_PASSED=$((TP_PASSED + 1))
    echo "ok    $TP_CASE"
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
  "$TP_WINE64" "$@" </dev/null >>"$TP_TEST_DIR/wine.log" 2>&1
}

# tp_set_windows_version VERSION: the version Wine reports to programs
# started afterwards (win7, win81, win10, ...).
tp_set_windows_version() {
  tp_wine reg add 'HKCU\Software\Wine' /v Version /t REG_SZ /d "$1" /f ||
    tp_die "cannot set the Windows version $1"
}

# tp_mkpkg OUT [MKPKG-OPTIONS...]: writes an installer from the win64 stub.
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
    timeout 300 "$TP_WINE64" "$TP_DRIVER" --timeout 30 "${options[@]}" \
      --report "$(tp_winpath "$TP_REPORT")" "${program[@]}" \
      </dev/null >"$log" 2>&1 || TP_EXIT=$?
    # The driver creates its report before it starts the installer, so no
    # report means Wine did not start the driver at all (seen rarely on a
    # loaded machine): the installer has not run, and one retry is safe.
    [[ -e $TP_REPORT ]] && break
    echo "        (Wine did not start the driver, exit $TP_EXIT: $(tail -c 300 "$log" | tr '\n' ' '))"
  done
}

# tp_make_locale_wine LOCALE...: compiles each locale (for example de_DE)
# as UTF-8 under the test folder and sets TP_LOCALE_WINE to a wine64
# wrapper that runs in the locale named by TP_LOCALE, for example
#   TP_LOCALE=de_DE.UTF-8 TP_WINE64=$TP_LOCALE_WINE tp_run_installer ...
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
    "$locales" "$TP_WINE64" >"$TP_LOCALE_WINE"
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
