# shellcheck shell=bash
# The template Wine prefix of the end-to-end tests: made once with wineboot
# and a seeded registry, cached, and copied for each test script
# (tests/wine/lib.sh). Sourced by lib.sh; the test guest's image build
# (scripts/build-guest.sh) makes its templates with the same code, which is
# why this file is part of both caches' keys.
#
# WINEARCH picks the kind of Windows: win64 (64-bit Windows; with Wine's
# 32-bit side installed, the WOW64 layer that runs 32-bit programs such as
# the shipped stub) or win32 (32-bit Windows: no WOW64, one registry view).

# Folders of a prefix that hold only Wine's DLLs and are never rewritten in
# place: hard-linked into each test's copy instead of copied.
TP_LINKED_DIRS="system32 syswow64 winsxs"

# The 32-bit registry view that 64-bit Windows has and a wine64-only prefix
# lacks: the stub is a 32-bit program on real machines and reads its default
# folders through this view (a prefix with Wine's 32-bit side has these
# values already; seeding them again changes nothing). A font for Chinese,
# Japanese and Korean, as Windows has its own: "MS UI Gothic", which
# licences converted to RTF name for those characters, is Droid Sans
# Fallback (Debian's fonts-droid-fallback). Unmanaged X11
# windows: Xvfb runs no window manager, so Wine would wait 2 s for one
# whenever a window is hidden. No crash dialog: a crashing program ends at
# once (its backtrace goes to the run's log) instead of waiting in the
# debugger until the driver's timeout.
tp_seed_registry_file() {
  echo REGEDIT4
  if [[ $WINEARCH != win32 ]]; then
    cat <<'EOF2'

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
EOF2
  fi
  cat <<'EOF2'

[HKEY_CURRENT_USER\Software\Wine\Fonts\Replacements]
"MS UI Gothic"="Droid Sans Fallback"

[HKEY_CURRENT_USER\Software\Wine\X11 Driver]
"Managed"="N"

[HKEY_CURRENT_USER\Software\Wine\WineDbg]
"ShowCrashDialog"=dword:00000000
EOF2
}

# The cache key of a template: the Wine version, the kind of Windows and
# this file.
tp_template_key() {
  { "$TP_WINE" --version 2>/dev/null; echo "$WINEARCH"; cat "$TP_ROOT/tests/wine/template.sh"; } |
    sha256sum | cut -c1-16
}

# Fingerprint of the hard-linked part of a template.
tp_template_listing() {
  local dirs=() dir
  for dir in $TP_LINKED_DIRS; do
    [[ -d $1/drive_c/windows/$dir ]] && dirs+=("$dir")
  done
  (cd "$1/drive_c/windows" && find "${dirs[@]}" -printf '%p %s %T@ %i\n' | LC_ALL=C sort)
}

# tp_make_template PREFIX LOG: makes a template prefix with wineboot and the
# seeded registry, and checks that the registry view the stub reads holds
# the Program Files folder of this kind of Windows.
tp_make_template() {
  local prefix=$1 log=$2 check=$2.check expected='C:\\Program Files (x86)' view=(/reg:32)
  if [[ $WINEARCH == win32 ]]; then
    expected='C:\\Program Files'
    view=()
  fi
  mkdir -p "$prefix"
  (
    export WINEPREFIX=$prefix
    # No Mono or Gecko: their installers would ask to download.
    export WINEDLLOVERRIDES="winemenubuilder.exe=d;mscoree=d;mshtml=d"
    "$TP_WINESERVER" -p
    status=0
    "$TP_WINE" wineboot -i || status=$?
    if ((status == 0)); then
      # wineboot links the user's Desktop, Documents and the like to the host
      # home folder; make them real folders so shortcuts stay in the prefix.
      for link in "$prefix"/drive_c/users/*/*; do
        if [[ -L $link ]]; then rm -f "$link" && mkdir -p "$link"; fi
      done
      # Wine's own fonts (Debian's fonts-wine: Tahoma for "MS Shell Dlg",
      # Marlett for the caption buttons) are found only in the Windows
      # font folder; without them captions show "0 1 r".
      for font in /usr/share/wine/fonts/*.ttf; do
        [[ -e $font ]] && cp -n "$font" "$prefix/drive_c/windows/Fonts/"
      done
      tp_seed_registry_file >"$prefix/drive_c/seed.reg"
      "$TP_WINE" regedit /S 'C:\seed.reg' || status=$?
      rm -f "$prefix/drive_c/seed.reg"
    fi
    if ((status == 0)); then
      "$TP_WINE" reg query 'HKLM\Software\Microsoft\Windows\CurrentVersion' \
        /v ProgramFilesDir "${view[@]}" >"$check" || status=$?
    fi
    "$TP_WINESERVER" -k || true
    "$TP_WINESERVER" -w || true
    exit "$status"
  ) </dev/null >"$log" 2>&1 || tp_die "wineboot failed (see $log)"
  tr -d '\r' <"$check" | grep -q "ProgramFilesDir.*$expected\$" ||
    tp_die "the registry view the stub reads was not seeded (see $check)"
}

# tp_cached_template LOG: sets TP_TEMPLATE to a valid cached template in
# $TP_WINE_CACHE, making and caching one when there is none.
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
  # Templates of another Wine, kind of Windows or version of this file stay
  # (a machine may test both kinds); staging folders of interrupted runs go.
  find "$TP_WINE_CACHE" -mindepth 1 -maxdepth 1 -name '.staging.*' -mmin +60 -exec rm -rf {} + \
    2>/dev/null || true
  mkdir -p "$TP_WINE_CACHE"
  staging=$(mktemp -d "$TP_WINE_CACHE/.staging.XXXXXX")
  tp_make_template "$staging" "$1"
  tp_template_listing "$staging" >"$staging/.listing"
  touch "$staging/.complete"
  # Publish atomically; a concurrent run may have published one first.
  mv -T "$staging" "$cached" 2>/dev/null || rm -rf "$staging"
  TP_TEMPLATE=$cached
  TP_TEMPLATE_SOURCE=wineboot
}

# tp_copy_prefix FROM TO: copies a prefix, the DLL folders hard-linked
# (falling back to a copy across file systems), the rest copied.
tp_copy_prefix() {
  local from=$1 to=$2 dir excludes=()
  for dir in $TP_LINKED_DIRS; do excludes+=("--exclude=./drive_c/windows/$dir"); done
  mkdir -p "$to"
  tar -C "$from" "${excludes[@]}" -cf - . | tar -C "$to" -xf -
  for dir in $TP_LINKED_DIRS; do
    [[ -d $from/drive_c/windows/$dir ]] || continue
    cp -al "$from/drive_c/windows/$dir" "$to/drive_c/windows/" 2>/dev/null ||
      cp -a "$from/drive_c/windows/$dir" "$to/drive_c/windows/"
  done
}
