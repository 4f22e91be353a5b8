#!/usr/bin/env python3
"""Turns the bench's raw figures (bench/run.sh) into docs/benchmarks.md.

Input lines: PAYLOAD METRIC MAKER VALUE. Times are seconds, memory KiB,
sizes bytes; repeated runs of a figure are reduced to their median.
"""
import argparse
import os
import statistics
import sys
from collections import defaultdict


def load(path):
    figures = defaultdict(list)
    order = []
    for line in open(path, encoding="utf-8"):
        parts = line.split()
        if len(parts) != 4:
            continue
        payload, metric, maker, value = parts
        if payload not in order:
            order.append(payload)
        figures[(payload, metric, maker)].append(value)
    return figures, order


def median(figures, key):
    values = figures.get(key)
    if not values:
        return None
    try:
        return statistics.median(float(v) for v in values)
    except ValueError:
        return None


def text(figures, key):
    values = figures.get(key)
    return values[0] if values else None


def show(value, unit):
    if value is None:
        return "-"
    if unit == "bytes":
        return f"{value / 1048576:.2f} MiB" if value >= 1048576 else f"{value:.0f} B"
    if unit == "s":
        return f"{value:.2f} s"
    if unit == "KiB":
        return f"{value / 1024:.0f} MB" if value >= 10240 else f"{value:.0f} KiB"
    return str(value)


def ratio(a, b):
    if a is None or b is None or b == 0:
        return "-"
    return f"{a / b:.3g}"


ROWS = [
    ("installer size", "size", "bytes"),
    ("build time", "build-time", "s"),
    ("build peak memory", "build-memory", "KiB"),
    ("silent install time (wine64)", "install-time", "s"),
    ("installer peak memory", "install-memory", "KiB"),
    ("extract time", "extract-time", "s"),
    ("extract peak memory", "extract-memory", "KiB"),
]


def variants_table(figures, payload):
    base_size = median(figures, (payload, "size", "tailpack"))
    base_time = median(figures, (payload, "build-time", "tailpack"))
    labels = []
    for (p, metric, maker) in figures:
        if p == payload and metric.startswith("variant-") and maker == "size" and metric not in labels:
            labels.append(metric)
    if not labels or base_size is None:
        return []
    lines = ["", f"What each encoder setting buys on {payload}: one build each, the other settings as in the "
             "default build above. Single builds, two at a time on the two cores: the sizes are exact, the "
             "times only indicative.", "",
             "| setting | installer size | size / default | build time | time / default |", "|---|---|---|---|---|",
             f"| defaults | {base_size:.0f} | 1 | {show(base_time, 's')} | 1 |"]
    for metric in labels:
        size = median(figures, (payload, metric, "size"))
        seconds = median(figures, (payload, metric, "time"))
        label = metric[len("variant-"):].replace("_", " ")
        lines.append(f"| {label} | {size:.0f} | {ratio(size, base_size)} | {show(seconds, 's')} | "
                     f"{ratio(seconds, base_time)} |")
    return lines


def payload_table(figures, payload, runs):
    lines = []
    size = median(figures, (payload, "payload-bytes", "-"))
    files = median(figures, (payload, "payload-files", "-"))
    lines.append(f"### {payload}\n")
    if size is not None:
        lines.append(f"{files:.0f} files, {show(size, 'bytes')} ({size:.0f} bytes); medians of {runs} runs.\n")
    lines.append("| figure | tailpack | peer (makensis) | tailpack / peer | xz floor | tailpack / xz |")
    lines.append("|---|---|---|---|---|---|")
    for title, metric, unit in ROWS:
        ours = median(figures, (payload, metric, "tailpack"))
        peer = median(figures, (payload, metric, "peer"))
        floor = median(figures, (payload, metric, "xz"))
        if ours is None and peer is None:
            continue
        lines.append(f"| {title} | {show(ours, unit)} | {show(peer, unit)} | {ratio(ours, peer)} | "
                     f"{show(floor, unit)} | {ratio(ours, floor)} |")
    x86 = median(figures, (payload, "size", "tailpack-x86"))
    notes = []
    if x86 is not None:
        notes.append(f"The same package with the i686 stub (the one to ship): {x86:.0f} bytes.")
    for maker in ("tailpack", "peer"):
        installed = text(figures, (payload, "files-installed", maker))
        same = text(figures, (payload, "identical", maker))
        if installed:
            note = f"{maker}: {installed} files installed"
            if same:
                note += ", contents identical to the sources" if same == "yes" else ", CONTENTS DIFFER from the sources"
            notes.append(note + ".")
    if notes:
        lines.append("")
        lines.extend(notes)
    lines.extend(variants_table(figures, payload))
    lines.append("")
    return lines


def scale_table(figures):
    lines = ["### scale (tailpack alone)\n"]
    size = median(figures, ("scale", "payload-bytes", "-"))
    files = median(figures, ("scale", "payload-files", "-"))
    if size is not None:
        lines.append(f"{files:.0f} files, {size / 1073741824:.2f} GiB ({size:.0f} bytes), built with preset 1 "
                     "(not extreme); one run each. The peer is not measured: its installers stop at 2 GiB.\n")
    lines.append("| step | time | peak memory |")
    lines.append("|---|---|---|")
    for title, metric in (("build", "build"), ("verify", "verify"), ("list", "list"), ("extract", "extract"),
                          ("silent install (wine64, x86_64 stub)", "install")):
        seconds = text(figures, ("scale", metric + "-time", "tailpack"))
        if seconds is None:
            continue
        if seconds == "failed":
            lines.append(f"| {title} | failed | - |")
            continue
        lines.append(f"| {title} | {show(float(seconds), 's')} | "
                     f"{show(median(figures, ('scale', metric + '-memory', 'tailpack')), 'KiB')} |")
    installer = median(figures, ("scale", "size", "tailpack"))
    if installer is not None:
        lines.append(f"\nInstaller size {show(installer, 'bytes')}.")
    same = text(figures, ("scale", "extract-identical", "tailpack"))
    if same:
        lines.append(f"`tailpack extract` output identical to the sources: {same}.")
    installed = text(figures, ("scale", "identical", "tailpack"))
    if installed:
        lines.append(f"Installed files identical to the sources: {installed}.")
    # The peer cannot install this payload; its rate on the binaries, which
    # the scale payload is cut from, is the nearest comparison.
    rates = []
    for payload, maker, who in (("scale", "tailpack", "tailpack on this payload"),
                                ("binaries", "tailpack", "tailpack on the binaries"),
                                ("binaries", "peer", "the peer on the binaries")):
        seconds = median(figures, (payload, "install-time", maker))
        size = median(figures, (payload, "payload-bytes", "-"))
        if seconds and size:
            rates.append(f"{who} {size / 1048576 / seconds:.1f} MiB/s")
    if rates:
        lines.append("Silent install rate (unpacked bytes per second): " + ", ".join(rates) + ".")
    lines.append("")
    return lines


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("results")
    parser.add_argument("out")
    parser.add_argument("--quick", default="0")
    parser.add_argument("--reps", default="5")
    parser.add_argument("--build-reps", default=None)
    parser.add_argument("--seconds", default="0")
    for name in ("stub32", "stub64", "nsis", "xz", "wine", "cpu"):
        parser.add_argument("--" + name, default="?")
    args = parser.parse_args()
    figures, order = load(args.results)

    lines = ["# Benchmarks", ""]
    if args.quick == "1":
        lines += ["**Quick run (BENCH_QUICK=1): scaled-down payloads (a subset of the headers, 120 of the DLLs, "
                  "a 256 MiB scale payload) and fewer runs. Run `make bench` for the real figures.**", ""]
    lines += [
        "Written by `make bench` (bench/run.sh, bench/report.py); do not edit by hand.",
        "",
        f"Machine: {args.cpu}; {args.wine}; nsis {args.nsis}; {args.xz}. "
        f"Stubs: i686 {args.stub32} bytes, x86_64 {args.stub64} bytes. The run took {int(args.seconds) // 60} min.",
        "",
        "Ratios below 1 favour tailpack. Sizes are single figures (builds are reproducible); "
        "times and memory are medians. The two makers build side by side, each on its own core, and swap "
        "cores every run; they install and extract in alternation. The xz floor is built once.",
        "",
    ]
    folder = text(figures, ("all", "install-folder", "-"))
    if folder:
        lines += [f"Install folder: {'a tmpfs' if folder == 'tmpfs' else 'the Wine prefix on disk'}.", ""]
    for payload in order:
        if payload == "all":
            continue
        runs = args.reps if args.build_reps in (None, args.reps) else f"{args.reps} ({args.build_reps} for builds)"
        lines += scale_table(figures) if payload == "scale" else payload_table(figures, payload, runs)
    notes = os.path.join(os.path.dirname(os.path.abspath(__file__)), "notes.md")
    if os.path.exists(notes):
        lines += open(notes, encoding="utf-8").read().rstrip().splitlines() + [""]
    lines += COMMANDS.splitlines()
    with open(args.out, "w", encoding="utf-8") as f:
        f.write("\n".join(lines).rstrip() + "\n")


COMMANDS = """## How each figure is taken

Payload `NAME` lives in `build/bench/NAME/files` (regular files only, copied
through `tar`); `files.tar` is the same files as one tar.

* tailpack build, on one core (0 or 1; the peer builds on the other), with
  `tailpack.toml` holding
  `[compression] dictionary = "8 MiB"` (the other settings at the tool's
  defaults, see docs/manifest.md) and one `[[files]]` item for `files/**`;
  the variants add one setting each:
  `taskset -c 0 tailpack build tailpack.toml -q --stub x64 -o setup.exe`
* peer build, on the other core at the same time:
  `taskset -c 1 makensis -V1 peer.nsi` with the script
  ```nsis
  Unicode true
  Target amd64-unicode
  SetCompressor /SOLID lzma
  SetCompressorDictSize 8
  Name "PeerNAME"
  OutFile "peer.exe"
  InstallDir "$PROGRAMFILES64\\PeerNAME"
  RequestExecutionLevel admin
  Section
    SetOutPath "$INSTDIR"
    File /r "files/*"
  SectionEnd
  ```
* compressor floor, once: `taskset -c 0 xz --format=raw --lzma1=preset=9e,dict=8MiB -k files.tar`
* the i686 installer: the i686 stub followed by the block and trailer of
  `setup.exe` (they do not depend on the stub), checked with `tailpack verify`
* silent install, in a private copy of the Wine test harness's template
  prefix whose `C:\\Program Files` is a tmpfs (when run as root), the
  install folder removed and the uninstall entry deleted before every run:
  `wine64 setup.exe /s` and `wine64 peer.exe /S`. On the disk of a shared
  machine the times of both makers were dominated and scattered (by a
  factor of two) by the file system's inode allocation after the previous
  run's deletions; the tmpfs leaves the installers' own work.
* extract: `tailpack extract setup.exe -d x -q` against
  `xz -d --format=raw --lzma1=preset=9e,dict=8MiB -c files.tar.lzma | tar -C x -x`
* time and peak memory of each: `/usr/bin/time -f '%e %M' COMMAND` (wall
  seconds and maximum resident set size of the process tree's largest
  process; for installs, the installer process under wine64; the
  wineserver runs persistently and is not counted).
"""

if __name__ == "__main__":
    sys.exit(main())
