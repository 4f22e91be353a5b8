#!/usr/bin/env bash
# The hostile corpus (tests/hostile) through the real stub: every installer
# shows the damaged-package box, exits 1 and installs nothing. A sample of
# about 32 runs in `make test`; TP_HOSTILE_ALL=1 (make fuzz-long) runs all.
# Files Windows itself refuses to start (no MZ or PE headers) are left out
# (tp_hostile_sample): they never reach the stub.
set -euo pipefail
# shellcheck source=tests/wine/lib.sh
source "$(dirname "$0")/lib.sh"
tp_test_begin

# Silent runs: the message on standard error, no box.
readonly kDamaged='STDERR "This setup package is damaged!"'
make_corpus=$TP_ROOT/build/host/tests/hostile/make_corpus
[[ -x $make_corpus ]] || tp_die "no make_corpus at $make_corpus (make host)"
corpus=$TP_TEST_DIR/corpus
mkdir -p "$corpus"
"$make_corpus" "$TP_STUB" "$corpus" >/dev/null || tp_die "make_corpus failed"

installed="$WINEPREFIX/drive_c/Program Files/Zentrova"
while read -r file; do
  name=${file%.exe}
  tp_case "$name: damaged, nothing installed"
  tp_run_installer -- "$corpus/$file" /s
  tp_expect_exit 1
  tp_expect_report "$kDamaged" 'EXIT 1'
  [[ ! -e $installed ]] || tp_fail "the installer created $installed"
done < <(tp_hostile_sample "$corpus" "${TP_HOSTILE_ALL:-0}")
