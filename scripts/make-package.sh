#!/usr/bin/env bash
# make package: the Debian package build/tailpack_<version>_amd64.deb.
#
#   /usr/bin/tailpack                      the tool (stripped)
#   /usr/lib/tailpack/tailpack-stub-x86.exe, tailpack-stub-x64.exe,
#     tailpack-uninstall-x86.exe, tailpack-uninstall-x64.exe
#                                          the stubs, where the tool finds them
#   /usr/share/man/man1/tailpack.1.gz      from the tool's --help (help2man)
#   /usr/share/bash-completion/completions/tailpack
#                                          from the same --help texts
#   /usr/share/doc/tailpack/               README, the docs, the example with
#                                          its two built programs
#
# The version is the project's (CMakeLists.txt), as `tailpack --version`
# reports it. Needs build/host and both stubs built (make host stubs).
set -euo pipefail

top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
prog=${0##*/}
die() { printf '%s: error: %s\n' "$prog" "$*" >&2; exit 1; }

tool=$top/build/host/tailpack
for needed in "$tool" "$top/build/win32/tailpack-stub.exe" "$top/build/win64/tailpack-stub.exe" \
  "$top/build/win32/zentrova-app/zentrova.exe" "$top/build/win64/zentrova-app/zentrova.exe"; do
  [[ -f $needed ]] || die "$needed is missing (make host stubs)"
done
version=$("$tool" --version | awk '{print $2}')
[[ $version =~ ^[0-9]+(\.[0-9]+)*$ ]] || die "unexpected version \"$version\" from $tool --version"
arch=$(dpkg --print-architecture)
out=$top/build/tailpack_${version}_${arch}.deb
work=$(mktemp -d "${TMPDIR:-/tmp}/tailpack-package.XXXXXX")
trap 'rm -rf "$work"' EXIT
root=$work/root
doc=$root/usr/share/doc/tailpack

install -d "$root/usr/bin" "$root/usr/lib/tailpack" "$root/usr/share/man/man1" \
  "$root/usr/share/bash-completion/completions" "$doc/examples"
install -m 755 "$tool" "$root/usr/bin/tailpack"
strip --strip-unneeded --remove-section=.comment --remove-section=.note "$root/usr/bin/tailpack"
install -m 644 "$top/build/win32/tailpack-stub.exe" "$root/usr/lib/tailpack/tailpack-stub-x86.exe"
install -m 644 "$top/build/win64/tailpack-stub.exe" "$root/usr/lib/tailpack/tailpack-stub-x64.exe"
install -m 644 "$top/build/win32/tailpack-uninstall.exe" "$root/usr/lib/tailpack/tailpack-uninstall-x86.exe"
install -m 644 "$top/build/win64/tailpack-uninstall.exe" "$root/usr/lib/tailpack/tailpack-uninstall-x64.exe"

# --- Manual page: the top-level --help and every command's, as help2man
# reads them. ---------------------------------------------------------------
commands=$("$tool" --help | awk '/^Subcommands:/ {on = 1; next} on && NF {print $1}')
{
  echo '[COMMANDS]'
  for command in $commands; do
    echo ".SS \"tailpack $command\""
    # Usage line, then the options, as preformatted text.
    echo '.nf'
    "$tool" "$command" --help | sed -e 's/\\/\\e/g' -e 's/^\./\\\&./'
    echo '.fi'
  done
  cat <<'EOF'
[EXIT STATUS]
0 success; 1 invalid input or a failed check (a damaged or refused
installer, a manifest error); 2 a wrong command line.
[ENVIRONMENT]
.TP
.B SOURCE_DATE_EPOCH
Seconds since 1970: file times later than it are lowered to it, so the
same inputs give the same installer, byte for byte.
[FILES]
.TP
.I /usr/lib/tailpack/tailpack\-stub\-x86.exe
The i686 installer runtime, the one to ship (\fB\-\-stub x86\fR, the default).
.TP
.I /usr/lib/tailpack/tailpack\-stub\-x64.exe
The x86_64 runtime (\fB\-\-stub x64\fR).
.TP
.I /usr/share/doc/tailpack/manifest.md
Every key of the manifest.
.TP
.I /usr/share/doc/tailpack/examples/zentrova/
An example product and its manifest.
[SEE ALSO]
.BR osslsigncode (1)
signs an installer after it is built.
EOF
} >"$work/commands.h2m"
help2man --no-info --section=1 --name="build and inspect small self-extracting Windows installers" \
  --version-string="$version" --include="$work/commands.h2m" --output="$work/tailpack.1" "$tool" ||
  die "help2man failed"
gzip -9n <"$work/tailpack.1" >"$root/usr/share/man/man1/tailpack.1.gz"
chmod 644 "$root/usr/share/man/man1/tailpack.1.gz"

# --- Bash completion, from the same help texts. -------------------------------
python3 - "$tool" $commands >"$root/usr/share/bash-completion/completions/tailpack" <<'EOF'
import re, subprocess, sys
tool, commands = sys.argv[1], sys.argv[2:]
def options(args):
    text = subprocess.run([tool, *args, '--help'], capture_output=True, text=True, check=True).stdout
    found = []
    for line in text.splitlines():
        m = re.match(r'\s+((?:-[\w-]+,?)+)', line)
        if m:
            found += [o for o in m.group(1).split(',') if o]
    return found
print('# bash completion for tailpack; made from its --help texts.')
print('_tailpack() {')
print('  local cur=${COMP_WORDS[COMP_CWORD]} command=${COMP_WORDS[1]:-}')
print('  if ((COMP_CWORD == 1)); then')
print('    COMPREPLY=($(compgen -W "%s" -- "$cur"))' % ' '.join(commands + options([])))
print('    return')
print('  fi')
print('  case $command in')
for command in commands:
    print('    %s) local words="%s" ;;' % (command, ' '.join(options([command]))))
print('    *) return ;;')
print('  esac')
print('  if [[ $cur == -* ]]; then')
print('    COMPREPLY=($(compgen -W "$words" -- "$cur"))')
print('  else')
print('    COMPREPLY=($(compgen -f -- "$cur"))')
print('  fi')
print('}')
print('complete -o filenames -F _tailpack tailpack')
EOF
chmod 644 "$root/usr/share/bash-completion/completions/tailpack"

# --- Documentation and the example. -------------------------------------------
install -m 644 "$top/README.md" "$top/docs/manifest.md" "$top/docs/security.md" "$top/docs/benchmarks.md" "$doc/"
example=$doc/examples/zentrova
install -d "$example/bin/x86" "$example/bin/x64"
cp -r "$top/examples/zentrova/payload" "$example/"
install -m 644 "$top/build/win32/zentrova-app/zentrova.exe" "$example/bin/x86/zentrova.exe"
install -m 644 "$top/build/win64/zentrova-app/zentrova.exe" "$example/bin/x64/zentrova.exe"
# The manifest takes the two programs from the build tree; here they lie
# beside it.
sed -e 's|"../../build/win32/zentrova-app/zentrova.exe"|"bin/x86/zentrova.exe"|' \
  -e 's|"../../build/win64/zentrova-app/zentrova.exe"|"bin/x64/zentrova.exe"|' \
  -e 's|^#   ../../build/host/tailpack build -o zentrova-setup.exe|#   tailpack build -o /tmp/zentrova-setup.exe|' \
  "$top/examples/zentrova/tailpack.toml" >"$example/tailpack.toml"
grep -q '"\.\./\.\./build' "$example/tailpack.toml" && die "the example's manifest still points into the build tree"
find "$example" -type d -exec chmod 755 {} + && find "$example" -type f -exec chmod 644 {} +
cat >"$doc/copyright" <<'EOF'
Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/
Upstream-Name: tailpack

Files: *
Copyright: 2026 The tailpack developers
License: MIT
 Permission is hereby granted, free of charge, to any person obtaining a
 copy of this software and associated documentation files (the "Software"),
 to deal in the Software without restriction, including without limitation
 the rights to use, copy, modify, merge, publish, distribute, sublicense,
 and/or sell copies of the Software, and to permit persons to whom the
 Software is furnished to do so, subject to the following conditions:
 .
 The above copyright notice and this permission notice shall be included
 in all copies or substantial portions of the Software.
 .
 THE SOFTWARE IS PROVIDED "AS IS", WITHOUT WARRANTY OF ANY KIND, EXPRESS
 OR IMPLIED, INCLUDING BUT NOT LIMITED TO THE WARRANTIES OF
 MERCHANTABILITY, FITNESS FOR A PARTICULAR PURPOSE AND NONINFRINGEMENT. IN
 NO EVENT SHALL THE AUTHORS OR COPYRIGHT HOLDERS BE LIABLE FOR ANY CLAIM,
 DAMAGES OR OTHER LIABILITY, WHETHER IN AN ACTION OF CONTRACT, TORT OR
 OTHERWISE, ARISING FROM, OUT OF OR IN CONNECTION WITH THE SOFTWARE OR THE
 USE OR OTHER DEALINGS IN THE SOFTWARE.
EOF
chmod 644 "$doc/copyright"
stamp=$(git -C "$top" log -1 --format=%cD 2>/dev/null || date -R)
printf 'tailpack (%s) unstable; urgency=medium\n\n  * Built from the tailpack source tree.\n\n -- tailpack developers <tailpack@users.noreply.github.com>  %s\n' \
  "$version" "$stamp" | gzip -9n >"$doc/changelog.gz"
chmod 644 "$doc/changelog.gz"

# --- Control files. ------------------------------------------------------------
install -d "$root/DEBIAN"
mkdir -p "$work/shlibs/debian"
printf 'Source: tailpack\n\nPackage: tailpack\nArchitecture: any\n' >"$work/shlibs/debian/control"
depends=$(cd "$work/shlibs" && dpkg-shlibdeps -O "$root/usr/bin/tailpack" 2>/dev/null | sed -n 's/^shlibs:Depends=//p')
[[ -n $depends ]] || die "dpkg-shlibdeps found no dependencies"
size=$(du -sk --exclude=DEBIAN "$root" | cut -f1)
cat >"$root/DEBIAN/control" <<EOF
Package: tailpack
Version: $version
Architecture: $arch
Maintainer: tailpack developers <tailpack@users.noreply.github.com>
Installed-Size: $size
Depends: $depends
Section: devel
Priority: optional
Description: build small self-extracting Windows installers
 tailpack builds Windows installers from a TOML manifest: a small 32-bit
 installer runtime followed by an LZMA-compressed package of the product's
 files, its settings and its interface texts in 23 languages. The installers
 check their package, the Windows version and the machine's architecture,
 install silently or through a one-window wizard, and can be code-signed
 after they are built. The tool also lists, verifies and extracts any
 tailpack installer; inspecting one that is not trusted is safe.
EOF
(cd "$root" && find . -type f ! -path './DEBIAN/*' -printf '%P\0' | LC_ALL=C sort -z | xargs -0 md5sum) \
  >"$root/DEBIAN/md5sums"
chmod 644 "$root/DEBIAN/control" "$root/DEBIAN/md5sums"
find "$root" -type d -exec chmod 755 {} +

rm -f "$out"
SOURCE_DATE_EPOCH=${SOURCE_DATE_EPOCH:-$(git -C "$top" log -1 --format=%ct 2>/dev/null || date +%s)} \
  dpkg-deb --root-owner-group -Zxz --build "$root" "$out" >/dev/null
echo "$out"
