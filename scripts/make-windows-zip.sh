#!/usr/bin/env bash
# make windows-zip: the Windows tool as users get it,
# build/tailpack_<version>_windows-x64.zip, holding one folder:
#
#   tailpack-<version>/tailpack.exe            the tool (x86_64, static)
#   tailpack-<version>/tailpack-stub-x86.exe   the shipped i686 stub
#   tailpack-<version>/tailpack-stub-x64.exe   the x86_64 stub
#   tailpack-<version>/tailpack-uninstall-x86.exe, -x64.exe   the generated uninstallers
#   tailpack-<version>/docs/                   README.md, docs/*.md
#
# The tool finds the stubs next to itself, so `tailpack build` needs no
# --stub. The archive's entries are sorted and dated SOURCE_DATE_EPOCH (else
# the last commit's time), so one tree gives one archive.
set -euo pipefail

prog=${0##*/}
die() { printf '%s: error: %s\n' "$prog" "$*" >&2; exit 1; }
top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
tool=$top/build/host/tailpack
wintool=$top/build/win64/tailpack.exe
for file in "$tool" "$wintool" "$top/build/win32/tailpack-stub.exe" "$top/build/win64/tailpack-stub.exe"; do
  [[ -f $file ]] || die "$file is missing (make host stubs)"
done
version=$("$tool" --version | awk '{print $2}')
out=$top/build/tailpack_${version}_windows-x64.zip
stamp=${SOURCE_DATE_EPOCH:-$(git -C "$top" log -1 --format=%ct 2>/dev/null || echo 1700000000)}

python3 - "$out" "tailpack-$version" "$stamp" \
  "tailpack.exe=$wintool" \
  "tailpack-stub-x86.exe=$top/build/win32/tailpack-stub.exe" \
  "tailpack-stub-x64.exe=$top/build/win64/tailpack-stub.exe" \
  "tailpack-uninstall-x86.exe=$top/build/win32/tailpack-uninstall.exe" \
  "tailpack-uninstall-x64.exe=$top/build/win64/tailpack-uninstall.exe" \
  "docs/README.md=$top/README.md" \
  "docs/windows.md=$top/docs/windows.md" \
  "docs/manifest.md=$top/docs/manifest.md" \
  "docs/security.md=$top/docs/security.md" <<'PY'
import sys, time, zipfile
out, folder, stamp = sys.argv[1], sys.argv[2], int(sys.argv[3])
date = time.gmtime(max(stamp, 315532800))[:6]
with zipfile.ZipFile(out + ".tmp", "w", zipfile.ZIP_DEFLATED, compresslevel=9) as archive:
    for item in sorted(sys.argv[4:]):
        name, path = item.split("=", 1)
        info = zipfile.ZipInfo(folder + "/" + name, date)
        info.compress_type = zipfile.ZIP_DEFLATED
        info.external_attr = 0o644 << 16
        with open(path, "rb") as source:
            archive.writestr(info, source.read())
import os
os.replace(out + ".tmp", out)
PY
printf 'wrote %s (%s bytes)\n' "${out#"$top"/}" "$(stat -c %s "$out")"
