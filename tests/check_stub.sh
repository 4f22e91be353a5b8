#!/usr/bin/env bash
# Checks the built stubs from their PE headers (they are stripped, so only
# what the headers, section table and import table show can be judged):
#   - imports come only from the Windows system DLLs the runtime may use;
#   - no C run-time start-up is linked in: mingw's start-up code always
#     brings a TLS directory (.tls), the initialiser table section .CRT and
#     the imports of its exception filter and pseudo-relocation fix-ups;
#   - the entry point lies in .text and the subsystem is Windows GUI;
#   - the machine matches the build (build/win32: i386, build/win64: x86-64);
#   - hardening: ASLR (dynamic base with a non-empty relocation directory and
#     relocations not stripped), DEP (NX compatible), high-entropy addresses
#     on x86-64, and no section that is both writable and executable;
#   - the i386 stub stays within its size ceiling (the goal is reported).
# Usage: tests/check_stub.sh STUB...
set -euo pipefail

# The i386 stub must not grow past the ceiling; the goal is reported.
readonly kSizeCeiling=33792
readonly kSizeGoal=32768
readonly kAllowedDlls="kernel32 user32 gdi32 comctl32 advapi32 shell32 shlwapi ole32 oleaut32"
# Imported only by mingw's start-up and run-time support, never by the stub.
readonly kStartupImports="SetUnhandledExceptionFilter VirtualProtect VirtualQuery __getmainargs __wgetmainargs _initterm __set_app_type __p__acmdln _cexit"

if (($# == 0)); then
  echo "usage: $0 STUB..." >&2
  exit 2
fi

objdump=objdump
command -v x86_64-w64-mingw32-objdump >/dev/null && objdump=x86_64-w64-mingw32-objdump

passed=0
failed=0
pass() { passed=$((passed + 1)); printf 'ok    %s: %s\n' "$stub" "$1"; }
fail() { failed=$((failed + 1)); printf 'FAIL  %s: %s\n' "$stub" "$1"; }

for stub in "$@"; do
  if [[ ! -f $stub ]]; then
    fail "file not found"
    continue
  fi
  if ! headers=$("$objdump" -p "$stub" 2>&1) || ! sections=$("$objdump" -h "$stub" 2>&1); then
    fail "not readable as a PE image: $(head -1 <<<"$headers")"
    continue
  fi

  # Machine: the expected one comes from the build directory.
  format=$(sed -n 's/.*file format \(pei-[a-z0-9-]*\).*/\1/p' <<<"$headers" | head -1)
  case $stub in
    */win32/*) expected=pei-i386 ;;
    */win64/*) expected=pei-x86-64 ;;
    *) expected= ;;
  esac
  if [[ -z $expected ]]; then
    fail "cannot tell the expected machine (path has neither win32/ nor win64/); found ${format:-none}"
  elif [[ $format == "$expected" ]]; then
    pass "machine ${format#pei-}"
  else
    fail "machine is ${format:-unknown}, expected ${expected#pei-}"
  fi

  # Imported DLLs.
  dlls=$(sed -n 's/^[[:space:]]*DLL Name: //p' <<<"$headers" | tr -d '\r' | tr 'A-Z' 'a-z')
  bad=()
  while read -r dll; do
    [[ -z $dll ]] && continue
    [[ " $kAllowedDlls " == *" ${dll%.dll} "* ]] || bad+=("$dll")
  done <<<"$dlls"
  if [[ -z $dlls ]]; then
    fail "no import directory (Windows would resolve none of its imports)"
  elif ((${#bad[@]})); then
    fail "imports from non-system DLLs: ${bad[*]}"
  else
    pass "imports only system DLLs ($(tr '\n' ' ' <<<"$dlls" | sed 's/ $//'))"
  fi
  # The uninstaller shows message boxes only: a library it loads without
  # using it is one more that a planted copy could stand in for.
  if [[ ${stub##*/} == *uninstall* ]]; then
    unused=$(grep -E '^(comctl32|gdi32|ole32|oleaut32)\.dll$' <<<"$dlls" | tr '\n' ' ' || true)
    if [[ -z $unused ]]; then
      pass "no import of the common controls, GDI or COM"
    else
      fail "imports libraries it does not use: $unused"
    fi
  fi
  delay=$(awk '/^Entry d / {print $3; exit}' <<<"$headers")
  if [[ -n $delay && $delay =~ ^0+$ ]]; then
    pass "no delay-load imports"
  else
    fail "has a delay-load import directory (size ${delay:-unknown})"
  fi

  # No C run-time start-up.
  startup_hits=()
  for name in $kStartupImports; do
    grep -Eq "^[[:space:]]+[0-9a-f]+[[:space:]]+[0-9]+[[:space:]]+$name\$" <<<"$headers" &&
      startup_hits+=("$name")
  done
  crt_sections=$(awk '$2 == ".CRT" || $2 == ".tls" {print $2}' <<<"$sections" | tr '\n' ' ')
  tls=$(awk '/^Entry 9 / {print $3; exit}' <<<"$headers")
  if ((${#startup_hits[@]})); then
    fail "imports C run-time start-up functions: ${startup_hits[*]}"
  elif [[ -n $crt_sections ]]; then
    fail "has C run-time start-up sections: $crt_sections"
  elif [[ -z $tls || ! $tls =~ ^0+$ ]]; then
    fail "has a TLS directory (size ${tls:-unknown}), as the C run-time start-up brings"
  else
    pass "no C run-time start-up (no .CRT/.tls, no TLS directory, no start-up imports)"
  fi

  # Own entry point inside .text, GUI subsystem.
  entry=$(awk '/^AddressOfEntryPoint/ {print $2; exit}' <<<"$headers")
  read -r text_vma text_size < <(awk '$2 == ".text" {print $4, $3}' <<<"$sections") || true
  base=$(awk '/^ImageBase/ {print $2; exit}' <<<"$headers")
  if [[ -n $entry && -n ${text_vma:-} && -n $base ]] &&
    ((16#$entry != 0 && 16#$base + 16#$entry >= 16#$text_vma &&
      16#$base + 16#$entry < 16#$text_vma + 16#$text_size)); then
    pass "entry point 0x$entry lies in .text"
  else
    fail "entry point ${entry:-missing} is not inside .text"
  fi
  if grep -Eq '^Subsystem[[:space:]]+0+2[[:space:]]' <<<"$headers"; then
    pass "subsystem Windows GUI"
  else
    fail "subsystem is not Windows GUI: $(grep '^Subsystem' <<<"$headers" | tr -s '\t ' ' ')"
  fi

  # Hardening, from the headers and the section table.
  hardening=$(python3 - "$stub" <<'PYTHON'
import struct, sys
data = open(sys.argv[1], 'rb').read()
nt = struct.unpack_from('<I', data, 0x3C)[0]
characteristics = struct.unpack_from('<H', data, nt + 22)[0]
optional_size = struct.unpack_from('<H', data, nt + 20)[0]
optional = nt + 24
magic = struct.unpack_from('<H', data, optional)[0]
dll = struct.unpack_from('<H', data, optional + 70)[0]
directories = optional + (96 if magic == 0x10B else 112)
reloc_size = struct.unpack_from('<I', data, directories + 5 * 8 + 4)[0]
sections = struct.unpack_from('<H', data, nt + 6)[0]
wx = []
for i in range(sections):
    name, flags = struct.unpack_from('<8s28xI', data, optional + optional_size + 40 * i)
    if flags & 0x20000000 and flags & 0x80000000:
        wx.append(name.rstrip(b'\0').decode())
print('0x%04X %d %d %s' % (dll, reloc_size, characteristics & 1, ','.join(wx) or '-'))
PYTHON
  ) || hardening="0x0000 0 1 ?"
  read -r dll_flags reloc_size stripped wx_sections <<<"$hardening"
  # x86_64: high-entropy addresses; i686: no SEH handlers at all (the stub
  # registers none, so the flag stands in for a SafeSEH table).
  wanted=$((0x40 | 0x100)) extra="no SEH"
  if [[ $format == pei-x86-64 ]]; then
    wanted=$((wanted | 0x20)) extra="high-entropy VA"
  else
    wanted=$((wanted | 0x400))
  fi
  if (((dll_flags & wanted) == wanted && reloc_size > 0 && stripped == 0)); then
    pass "hardened: DllCharacteristics $dll_flags (dynamic base, NX, $extra), $reloc_size bytes of relocations"
  else
    fail "not hardened: DllCharacteristics $dll_flags (want $(printf '0x%04X' "$wanted") set), relocations $reloc_size bytes, relocations stripped flag $stripped"
  fi
  if [[ $wx_sections == - ]]; then
    pass "no section is both writable and executable"
  else
    fail "writable and executable sections: $wx_sections"
  fi

  # Size budget of the shipped (i386) stub.
  size=$(stat -c %s "$stub")
  if [[ $format == pei-i386 ]]; then
    if ((size > kSizeCeiling)); then
      fail "size $size bytes exceeds the ceiling of $kSizeCeiling"
    elif ((size <= kSizeGoal)); then
      pass "size $size bytes <= $kSizeGoal (the goal; ceiling $kSizeCeiling)"
    else
      pass "size $size bytes <= $kSizeCeiling (the ceiling; $((size - kSizeGoal)) above the goal of $kSizeGoal)"
    fi
  else
    printf 'info  %s: size %s bytes\n' "$stub" "$size"
  fi
done

echo "check_stub: $passed passed, $failed failed"
((failed == 0))
