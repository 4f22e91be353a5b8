#!/usr/bin/env bash
# `make bench`: tailpack against a peer installer maker (Debian's nsis, its
# makensis with a solid LZMA package, an 8 MiB dictionary and its amd64 stub)
# and against the raw compressor (xz, LZMA1 with the same dictionary), on the
# same payloads, under wine64. Writes docs/benchmarks.md.
#
# Payloads:
#   headers   the system C headers, /usr/include (regular files only)
#   binaries  the x86_64 Windows DLLs and programs of Debian's wine64
#   scale     a generated 3.5 GiB payload, built with a fast preset; tailpack
#             only (the peer's installers stop at 2 GiB): build, extract and
#             compare, install under wine64, peak memory of each step
#
# Every figure is the median of BENCH_REPS runs (default 5). The two makers
# build side by side, each pinned to one core (taskset), and swap cores every
# run: both get one core whatever their threading, and the pairs halve the
# wall time of the longest part of the bench (five builds of 640 MB each).
# Installs and extracts alternate. Single runs (the compressor floor, the
# encoder variants, the i686 installer, the scale build) share the two cores
# as a queue. A default run takes about 45 minutes on two cores.
#
# Knobs (environment):
#   BENCH_QUICK=1      scaled-down payloads and 3 runs, for development; the
#                      report says so at its top
#   BENCH_REPS=N       runs per figure
#   BENCH_BUILD_REPS=N runs per build figure (default BENCH_REPS)
#   BENCH_VARIANTS="headers"   payloads on which each encoder setting is
#                      tried once (size and build time); "headers binaries"
#                      adds about 6 minutes
#   BENCH_PAYLOADS="headers binaries scale"   which payloads to run
#   BENCH_OUT=FILE     report path (default docs/benchmarks.md)
#   BENCH_DIR=DIR      work directory (default build/bench)
#   BENCH_KEEP=1       keep installers and payload copies afterwards
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
quick=${BENCH_QUICK:-0}
if [[ $quick == 1 ]]; then reps=${BENCH_REPS:-3}; else reps=${BENCH_REPS:-5}; fi
build_reps=${BENCH_BUILD_REPS:-$reps}
variants_on=${BENCH_VARIANTS-headers}
payloads=${BENCH_PAYLOADS:-headers binaries scale}
out=${BENCH_OUT:-$root/docs/benchmarks.md}
work=${BENCH_DIR:-$root/build/bench}
tool=$root/build/host/tailpack
stub64=$root/build/win64/tailpack-stub.exe
stub32=$root/build/win32/tailpack-stub.exe
dlls=/usr/lib/x86_64-linux-gnu/wine/x86_64-windows

say() { printf 'bench: %s\n' "$*" >&2; }
die() { say "$*"; exit 1; }

# --- what the bench needs ----------------------------------------------------
need=()
for p in nsis xz-utils time wine64 xvfb tar util-linux python3; do
  [[ $(dpkg-query -W -f='${Status}' "$p" 2>/dev/null || true) == *" ok installed" ]] || need+=("$p")
done
if ((${#need[@]})); then
  [[ $EUID -eq 0 ]] || die "missing packages: ${need[*]} (run as root to install them)"
  say "installing ${need[*]}"
  DEBIAN_FRONTEND=noninteractive apt-get -q update >&2
  DEBIAN_FRONTEND=noninteractive apt-get -q install -y --no-install-recommends "${need[@]}" >&2
fi
[[ -d /usr/share/nsis/Stubs ]] || die "nsis ships no stubs in /usr/share/nsis/Stubs"
peer_stub=/usr/share/nsis/Stubs/lzma_solid-amd64-unicode
[[ -f $peer_stub ]] || die "nsis has no amd64 solid LZMA stub ($peer_stub)"
[[ -x $tool && -f $stub64 && -f $stub32 ]] || die "build the tool and the stubs first (make host stubs)"

mkdir -p "$work"
results=$work/results.txt  # lines: payload metric maker value
: >"$results"
record() { printf '%s %s %s %s\n' "$1" "$2" "$3" "$4" >>"$results"; }

# measure PAYLOAD WHAT MAKER COMMAND...: runs COMMAND under GNU time and
# records its wall time (s) and peak resident memory (KiB). Safe to run two
# at once (each process its own figures file; results are appended a line
# at a time).
measure() {
  local payload=$1 what=$2 maker=$3
  shift 3
  local stats=$work/time.$BASHPID.txt
  /usr/bin/time -f '%e %M' -o "$stats" "$@" </dev/null >>"$work/commands.log" 2>&1 ||
    die "$maker $what on $payload failed: $* (see $work/commands.log)"
  local seconds kib
  read -r seconds kib <"$stats"
  rm -f "$stats"
  record "$payload" "$what-time" "$maker" "$seconds"
  record "$payload" "$what-memory" "$maker" "$kib"
}

# run_on_two_cores JOB...: runs the jobs (each a command line, quoted with
# printf %q) two at a time; each worker is pinned to its core ($core, for the
# jobs' taskset) and takes the next job nobody has claimed.
run_on_two_cores() {
  local claims=$work/claims pids=() pid
  rm -rf "$claims"
  mkdir -p "$claims"
  for core in 0 1; do
    (
      for ((j = 1; j <= $#; j++)); do
        mkdir "$claims/$j" 2>/dev/null || continue
        eval "${!j}"
      done
    ) &
    pids+=($!)
  done
  local failed=0
  for pid in "${pids[@]}"; do wait "$pid" || failed=1; done
  rm -rf "$claims"
  ((failed == 0)) || die "a bench job failed (see $work/commands.log)"
}
job() { printf '%q ' "$@"; }

# --- payloads ----------------------------------------------------------------

# make_payload NAME SOURCE-DIR [SUBSET...]: copies the regular files of
# SOURCE-DIR (or of its listed subdirectories) to $work/NAME/files and keeps
# their tar as $work/NAME/files.tar (the input of the compressor floor).
make_payload() {
  local name=$1 source=$2
  shift 2
  local dir=$work/$name
  rm -rf "$dir/files" "$dir/files.tar"
  mkdir -p "$dir/files"
  (cd "$source" && find "${@:-.}" -type f -print0 | LC_ALL=C sort -z |
     tar --null -T - -cf "$dir/files.tar")
  tar -C "$dir/files" -xf "$dir/files.tar"
}

# The scale payload: files of 64 MiB cut from the binaries at shifting
# offsets, so that it compresses like real binaries, with no file equal to
# another and nothing repeating within the dictionary.
make_scale_payload() {
  local total=$1 dir=$work/scale
  rm -rf "$dir/files"
  mkdir -p "$dir/files"
  python3 - "$dir/files" "$total" "$dlls" <<'EOF'
import os, sys
target, total, source = sys.argv[1], int(sys.argv[2]), sys.argv[3]
names = sorted(os.listdir(source))
pool = bytearray()
for n in names:
    path = os.path.join(source, n)
    if os.path.isfile(path):
        with open(path, "rb") as f:
            pool += f.read()
    if len(pool) >= 96 << 20:
        break
size = 64 << 20
count = (total + size - 1) // size
for i in range(count):
    part = min(size, total - i * size)
    start = (i * 7919 * 4096) % (len(pool) - size)
    sub = os.path.join(target, "part%02d" % (i // 16))
    os.makedirs(sub, exist_ok=True)
    with open(os.path.join(sub, "chunk%03d.bin" % i), "wb") as f:
        f.write(b"chunk %d\n" % i)
        f.write(pool[start:start + part - len(b"chunk %d\n" % i)])
EOF
}

# --- makers -----------------------------------------------------------------

write_manifest() {  # NAME FILE [COMPRESSION-LINE...]: the payload's manifest
  local name=$1 file=$2
  shift 2
  {
    printf '[product]\nname = "Bench%s"\nversion = "1.0"\n' "$name"
    # The build needs a packaged main executable: the payload's first file.
    printf "main_executable = '%s'\n\n" "$(cd "$work/$name/files" && find . -type f | LC_ALL=C sort | head -1 | cut -c3-)"
    # C:\Program Files, where the peer installs too
    printf '[setup]\nregistry_view = "64-bit"\n\n'
    printf '[compression]\ndictionary = "8 MiB"\n'
    (($#)) && printf '%s\n' "$@"
    printf '\n[[files]]\nsource = "files/**"\n'
  } >"$work/$name/$file"
}

write_nsis_script() {  # NAME
  local dir=$work/$1
  cat >"$dir/peer.nsi" <<EOF
Unicode true
Target amd64-unicode
SetCompressor /SOLID lzma
SetCompressorDictSize 8
Name "Peer$1"
OutFile "$dir/peer.exe"
InstallDir "\$PROGRAMFILES64\\Peer$1"
RequestExecutionLevel admin
Section
  SetOutPath "\$INSTDIR"
  File /r "$dir/files/*"
SectionEnd
EOF
}

# --- wine -------------------------------------------------------------------

wine_begin() {
  # The harness's cached template prefix and Xvfb; a private copy for the bench.
  # shellcheck source=../tests/wine/lib.sh
  source "$root/tests/wine/lib.sh"
  # The run directory (with the prefix) under the work directory, out of
  # reach of anything that tidies up /tmp during a long run.
  TMPDIR=$work tp_run_begin
  prefix=$TP_RUN_DIR/bench-prefix
  tp_copy_prefix "$TP_TEMPLATE" "$prefix"
  export WINEPREFIX=$prefix
  "$TP_WINESERVER" -p
  programs=$prefix/drive_c/Program\ Files
  # Installs go to a tmpfs: on a disk shared with other jobs the file
  # system's inode allocator (made slow by the previous run's deletions)
  # dominates and scatters the times of both makers alike. Needs root; else
  # the prefix's disk folder is used and the report says so.
  programs_fs=disk
  if [[ $EUID -eq 0 ]]; then
    mv "$programs" "$programs.disk"
    mkdir "$programs"
    if mount -t tmpfs -o size=8g tailpack-bench "$programs"; then
      cp -a "$programs.disk"/. "$programs"/
      programs_fs=tmpfs
    else
      rmdir "$programs"
      mv "$programs.disk" "$programs"
    fi
  fi
  record all install-folder - "$programs_fs"
}

wine_end() {
  if [[ -n ${WINEPREFIX:-} ]]; then
    "$TP_WINESERVER" -k >/dev/null 2>&1 || true
    "$TP_WINESERVER" -w >/dev/null 2>&1 || true
  fi
  if [[ ${programs_fs:-} == tmpfs ]]; then umount "$programs" || true; fi
  [[ -n ${TP_RUN_DIR:-} ]] && tp_run_end
}

# A clean slate before every install: no folder, no uninstall entry (so that
# every tailpack run is a first installation with shortcuts).
wine_clean() {
  rm -rf "$programs/Bench$1" "$programs/Peer$1"
  "$TP_WINE" reg delete "HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Bench$1" /f \
    </dev/null >/dev/null 2>&1 || true
  sync
}

install_tailpack() {
  "$TP_WINE" "$work/$1/setup.exe" /s </dev/null >>"$work/wine.log" 2>&1 || die "tailpack install of $1 failed (see $work/wine.log)"
}
install_peer() {
  "$TP_WINE" "$work/$1/peer.exe" /S </dev/null >>"$work/wine.log" 2>&1 || die "peer install of $1 failed (see $work/wine.log)"
}

# check_installed NAME FOLDER MAKER: the installed tree has as many files and bytes
# as the payload (Windows folds the case of names the headers payload
# holds twice, so bytes are compared per name only on the other payloads).
check_installed() {
  local name=$1 folder=$2 maker=$3
  local want have
  want=$(cd "$work/$name/files" && find . -type f | wc -l)
  have=$(cd "$folder" && find . -type f | wc -l)
  if [[ $name != headers ]] && diff -r -q "$work/$name/files" "$folder" >/dev/null; then
    record "$name" identical "$maker" yes
  elif [[ $name != headers ]]; then
    record "$name" identical "$maker" no
  fi
  record "$name" files-installed "$maker" "$have/$want"
}

# --- single runs (jobs for run_on_two_cores; $core is the worker's) ---------

floor_job() {  # NAME: xz over the tar of the same files, once (its size is exact)
  local dir=$work/$1
  measure "$1" build xz taskset -c "$core" xz --format=raw --lzma1=preset=9e,dict=8MiB -k -f "$dir/files.tar" \
    --suffix=.lzma
  record "$1" size xz "$(stat -c %s "$dir/files.tar.lzma")"
}

# x86_job NAME: the same package with the i686 stub. The block and trailer
# after the stub do not depend on the stub, so the i686 installer is the
# i686 stub followed by the x86_64 installer's block (no second compression);
# `tailpack verify` checks that it is a whole installer.
x86_job() {
  local dir=$work/$1
  { cat "$stub32"; tail -c +$(($(stat -c %s "$stub64") + 1)) "$dir/setup.exe"; } >"$dir/setup-x86.exe"
  taskset -c "$core" "$tool" verify "$dir/setup-x86.exe" >>"$work/commands.log" 2>&1 ||
    die "the i686 installer of $1 does not verify"
  record "$1" size tailpack-x86 "$(stat -c %s "$dir/setup-x86.exe")"
  rm -f "$dir/setup-x86.exe"
}

variant_job() {  # NAME "LABEL|MANIFEST LINE[|LINE...]": one build with one setting changed
  local name=$1 dir=$work/$1 label=${2%%|*} lines
  IFS='|' read -r -a lines <<<"${2#*|}"
  local tag=${label// /_} stats=$work/time.$BASHPID.txt
  write_manifest "$name" "variant-$tag.toml" "${lines[@]}"
  /usr/bin/time -f '%e %M' -o "$stats" taskset -c "$core" "$tool" build \
    "$dir/variant-$tag.toml" -q --stub x64 -o "$dir/variant-$tag.exe" </dev/null >>"$work/commands.log" 2>&1 ||
    die "variant $label of $name failed"
  record "$name" "variant-$tag" size "$(stat -c %s "$dir/variant-$tag.exe")"
  record "$name" "variant-$tag" time "$(cut -d' ' -f1 "$stats")"
  rm -f "$dir/variant-$tag.exe" "$dir/variant-$tag.toml" "$stats"
}

scale_build_job() {  # SIZE: generates the scale payload and builds its installer
  local dir=$work/scale
  make_scale_payload "$1"
  record scale payload-bytes - "$(du -sb "$dir/files" | cut -f1)"
  record scale payload-files - "$(find "$dir/files" -type f | wc -l)"
  write_manifest scale tailpack.toml "preset = 1" "extreme = false"
  measure scale build tailpack taskset -c "$core" "$tool" build "$dir/tailpack.toml" -q --stub x64 -o "$dir/setup.exe"
  record scale size tailpack "$(stat -c %s "$dir/setup.exe")"
  touch "$dir/built"
}

scale_verify_job() {
  measure scale verify tailpack taskset -c "$core" "$tool" verify "$work/scale/setup.exe"
}
scale_list_job() {
  measure scale list tailpack bash -c "taskset -c $core '$tool' list '$work/scale/setup.exe' >/dev/null"
}

# --- one payload against the peer --------------------------------------------

# bench_payload NAME [WHAT JOB...]: the payload against the peer; the JOBs
# (described by WHAT) run in the queue of single runs too.
bench_payload() {
  local name=$1 dir=$work/$1
  say "$name: $(du -sb "$dir/files" | cut -f1) bytes in $(find "$dir/files" -type f | wc -l) files"
  record "$name" payload-bytes - "$(du -sb "$dir/files" | cut -f1)"
  record "$name" payload-files - "$(find "$dir/files" -type f | wc -l)"
  write_manifest "$name" tailpack.toml
  write_nsis_script "$name"
  local i a b ours theirs
  for ((i = 1; i <= build_reps; i++)); do
    say "$name: build $i/$build_reps (both makers at once, one core each)"
    a=$(((i + 1) % 2)) b=$((i % 2))
    measure "$name" build tailpack taskset -c "$a" "$tool" build "$dir/tailpack.toml" -q --stub x64 \
      -o "$dir/setup.exe" &
    ours=$!
    measure "$name" build peer taskset -c "$b" makensis -V1 "$dir/peer.nsi" &
    theirs=$!
    wait "$ours" || die "tailpack build of $name failed"
    wait "$theirs" || die "peer build of $name failed"
  done
  record "$name" size tailpack "$(stat -c %s "$dir/setup.exe")"
  record "$name" size peer "$(stat -c %s "$dir/peer.exe")"

  # Single runs, two at a time: the compressor floor, the i686 installer,
  # what each encoder setting buys, and whatever the caller adds.
  local jobs=("$(job floor_job "$name")" "$(job x86_job "$name")")
  if [[ " $variants_on " == *" $name "* ]]; then
    # (Presets 6 to 9 differ only in their dictionary, which is fixed here.)
    local variant variants=("extreme|extreme = true" "pb 2|pb = 2" "lc 4|lc = 4")
    [[ $name == headers ]] && variants=("extension order|order = \"extension\"" "${variants[@]}")
    for variant in "${variants[@]}"; do jobs+=("$(job variant_job "$name" "$variant")"); done
  fi
  say "$name: floor, i686 installer, variants${2:+, $2}"
  run_on_two_cores "${jobs[@]}" "${@:3}"

  # One run each to warm the page cache and Wine, not counted.
  wine_clean "$name"; install_tailpack "$name"
  wine_clean "$name"; install_peer "$name"
  for ((i = 1; i <= reps; i++)); do
    say "$name: install $i/$reps"
    wine_clean "$name"
    measure "$name" install tailpack "$TP_WINE" "$dir/setup.exe" /s
    [[ $i == 1 ]] && check_installed "$name" "$programs/Bench$name" tailpack
    wine_clean "$name"
    measure "$name" install peer "$TP_WINE" "$dir/peer.exe" /S
    [[ $i == 1 ]] && check_installed "$name" "$programs/Peer$name" peer
  done
  wine_clean "$name"

  for ((i = 1; i <= reps; i++)); do
    say "$name: extract $i/$reps"
    rm -rf "$dir/x"
    sync
    measure "$name" extract tailpack "$tool" extract "$dir/setup.exe" -d "$dir/x" -q
    rm -rf "$dir/x"
    mkdir -p "$dir/x"
    sync
    measure "$name" extract xz bash -c "xz -d --format=raw --lzma1=preset=9e,dict=8MiB -c '$dir/files.tar.lzma' | tar -C '$dir/x' -x"
  done
  rm -rf "$dir/x"
}

# --- the scale payload: tailpack alone ---------------------------------------

# bench_scale SIZE: the rest of the scale steps (built already when the
# binaries' queue took the build; else built here).
bench_scale() {
  local dir=$work/scale size=$1
  if [[ ! -f $dir/built ]]; then
    say "scale: generating $size bytes and building"
    run_on_two_cores "$(job scale_build_job "$size")"
  fi
  rm -f "$dir/built"
  say "scale: verify and list (side by side)"
  run_on_two_cores scale_verify_job scale_list_job
  rm -rf "$dir/x"
  measure scale extract tailpack "$tool" extract "$dir/setup.exe" -d "$dir/x" -q
  if diff -r -q "$dir/files" "$dir/x" >/dev/null; then record scale extract-identical tailpack yes; else
    record scale extract-identical tailpack no; fi
  rm -rf "$dir/x"
  say "scale: install"
  wine_clean scale
  if /usr/bin/time -f '%e %M' -o "$work/time.txt" "$TP_WINE" "$dir/setup.exe" /s </dev/null >>"$work/wine.log" 2>&1; then
    local seconds kib
    read -r seconds kib <"$work/time.txt"
    record scale install-time tailpack "$seconds"
    record scale install-memory tailpack "$kib"
    check_installed scale "$programs/Benchscale" tailpack
  else
    record scale install-time tailpack failed
  fi
  wine_clean scale
}

# --- run ---------------------------------------------------------------------

started=$(date -u +%s)
if [[ $quick == 1 ]]; then scale_size=$((256 << 20)); else scale_size=$((3584 << 20)); fi
trap 'wine_end' EXIT
wine_begin
for payload in $payloads; do
  case $payload in
    headers)
      if [[ $quick == 1 ]]; then make_payload headers /usr/include ./c++ ./linux ./x86_64-linux-gnu; else
        make_payload headers /usr/include; fi
      bench_payload headers
      ;;
    binaries)
      if [[ $quick == 1 ]]; then
        mapfile -t subset < <(cd "$dlls" && find . -maxdepth 1 -type f -name '*.dll' | LC_ALL=C sort | head -120)
        make_payload binaries "$dlls" "${subset[@]}"
      else
        make_payload binaries "$dlls"
      fi
      # The scale build (tailpack alone, one core) joins the binaries' queue.
      if [[ " $payloads " == *" scale "* ]]; then
        rm -f "$work/scale/built"
        bench_payload binaries "the scale build" "$(job scale_build_job "$scale_size")"
      else
        bench_payload binaries
      fi
      ;;
    scale)
      bench_scale "$scale_size"
      ;;
    *) die "unknown payload $payload" ;;
  esac
  [[ ${BENCH_KEEP:-0} == 1 ]] || rm -rf "$work/$payload/files" "$work/$payload/x"
done

python3 "$root/bench/report.py" "$results" "$out" \
  --quick "$quick" --reps "$reps" --build-reps "$build_reps" --seconds $(($(date -u +%s) - started)) \
  --stub32 "$(stat -c %s "$stub32")" --stub64 "$(stat -c %s "$stub64")" \
  --nsis "$(dpkg-query -W -f='${Version}' nsis)" --xz "$(xz --version | head -1)" \
  --wine "$("$TP_WINE" --version 2>/dev/null)" --cpu "$(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ *//')"
say "wrote $out"
