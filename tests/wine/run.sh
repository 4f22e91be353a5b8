#!/usr/bin/env bash
# Runs the end-to-end tests under wine64: every tests/wine/test_*.sh, or the
# ones named (tests/wine/run.sh test_loader driver ... or paths to scripts
# elsewhere, as the i686 guest runs tests/wine/i686), each in its own copy
# of the template prefix. Prints PASS or FAIL per test (with its output on
# failure, or always with -v) and a final "N passed, M failed"; exits 1 when
# a test failed. Environment: TP_KEEP=1 keeps the run directory,
# TP_WINE_FRESH=1 makes a fresh template instead of using the cached one.
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
verbose=0
if [[ ${1:-} == -v ]]; then
  verbose=1
  shift
fi

tests=()
if (($#)); then
  for name in "$@"; do
    # A path to a test script anywhere (the i686 guest's tests/wine/i686).
    if [[ $name == */* && -f $name ]]; then
      tests+=("$(cd "$(dirname "$name")" && pwd)/$(basename "$name")")
      continue
    fi
    name=${name##*/}
    name=${name%.sh}
    [[ $name == test_* ]] || name=test_$name
    [[ -f $here/$name.sh ]] || { echo "run.sh: no test $here/$name.sh" >&2; exit 2; }
    tests+=("$here/$name.sh")
  done
else
  for script in "$here"/test_*.sh; do
    [[ -e $script ]] && tests+=("$script")
  done
fi
((${#tests[@]})) || { echo "run.sh: no tests found" >&2; exit 2; }

# shellcheck source=tests/wine/lib.sh
source "$here/lib.sh"
[[ -x $TP_STUB ]] || tp_die "no stub at $TP_STUB (make win64)"
[[ -f $TP_DRIVER ]] || tp_die "no driver at $TP_DRIVER (make win64)"
[[ -x $TP_MKPKG ]] || tp_die "no mkpkg at $TP_MKPKG (make host)"

started=$SECONDS
trap tp_run_end EXIT
tp_run_begin
echo "wine: $("$TP_WINE" --version) ($WINEARCH) on display $DISPLAY, template from $TP_TEMPLATE_SOURCE" \
  "($((SECONDS - started)) s)"

passed=0
failed=0
for script in "${tests[@]}"; do
  name=$(basename "$script" .sh)
  log=$TP_RUN_DIR/$name.log
  begin=$SECONDS
  if bash "$script" </dev/null >"$log" 2>&1; then
    passed=$((passed + 1))
    echo "PASS  $name ($((SECONDS - begin)) s): $(tail -1 "$log")"
    ((verbose)) && sed 's/^/      /' "$log"
  else
    failed=$((failed + 1))
    echo "FAIL  $name ($((SECONDS - begin)) s)"
    sed 's/^/      /' "$log"
  fi
done

echo "wine tests took $((SECONDS - started)) s"
echo "$passed passed, $failed failed"
((failed == 0))
