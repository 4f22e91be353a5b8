#!/usr/bin/env bash
# The hostile corpus against the tailpack tool as a user runs it: `verify`
# exits 1 on every installer within a memory and time limit, and `extract`
# writes nothing anywhere (its -d folder is never even created).
#
# Usage: tests/hostile/run.sh [small|large]
#   small (make test): the 300-odd installers of a few megabytes in all.
#   large (make fuzz-long): the 4 GiB zero bomb and the 20-million-entry
#   file, with their peak memory and time printed (GNU time).
set -uo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
mode=${1:-small}
tool=$root/build/host/tailpack
make_corpus=$root/build/host/tests/hostile/make_corpus
stub=$root/build/win32/tailpack-stub.exe
for needed in "$tool" "$make_corpus" "$stub"; do
  [[ -e $needed ]] || { echo "hostile-test: $needed is missing (make host stubs)"; exit 1; }
done
work=$(mktemp -d "${TMPDIR:-/tmp}/tailpack-hostile.XXXXXX")
trap 'rm -rf -- "$work"' EXIT
mkdir -p "$work/corpus" "$work/sandbox"

case $mode in
  small) limit_kib=$((1024 * 1024)); seconds=20; options=() ;;
  large) limit_kib=$((2 * 1024 * 1024)); seconds=120; options=(--large) ;;
  *) echo "usage: $0 [small|large]"; exit 2 ;;
esac
"$make_corpus" "$stub" "$work/corpus" "${options[@]}" || exit 1

failures=0
count=0
for installer in "$work/corpus"/*.exe; do
  name=$(basename "$installer" .exe)
  count=$((count + 1))
  # verify: exit 1 under the address-space limit, within the time limit.
  /usr/bin/time -f '%M %e' -o "$work/time" timeout "$seconds" \
    bash -c 'ulimit -v "$1"; exec "$2" verify "$3"' _ "$limit_kib" "$tool" "$installer" >"$work/out" 2>&1
  got=$?
  read -r peak elapsed < <(tail -n 1 "$work/time") || { peak=?; elapsed=?; }
  if [[ $got != 1 ]]; then
    echo "FAIL $name: verify exited $got (expected 1; 124 is the time limit)"
    sed 's/^/     /' "$work/out" | head -5
    failures=$((failures + 1))
  fi
  if [[ $mode == large ]]; then
    printf 'verify %-24s exit %s, peak %s KiB, %s s\n' "$name" "$got" "$peak" "$elapsed"
  fi
  # extract: refused, and nothing at all appears in the sandbox.
  timeout "$seconds" bash -c 'ulimit -v "$1"; exec "$2" extract "$3" -d "$4" --all -q' _ "$limit_kib" "$tool" \
    "$installer" "$work/sandbox/a/b/dest" >"$work/out" 2>&1
  got=$?
  if [[ $got != 1 ]]; then
    echo "FAIL $name: extract exited $got (expected 1)"
    failures=$((failures + 1))
  fi
  if [[ -n $(ls -A "$work/sandbox") ]]; then
    echo "FAIL $name: extract created $(cd "$work/sandbox" && find . | head -3 | tr '\n' ' ')"
    failures=$((failures + 1))
    rm -rf "${work:?}/sandbox"/*
  fi
done

echo
if ((failures)); then echo "hostile-test: $failures failure(s) over $count installers"; exit 1; fi
echo "hostile-test: $count installers refused by verify and extract, nothing written"
