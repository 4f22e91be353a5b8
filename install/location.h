// Install location: the product's uninstall key, an earlier installation's
// folder and version, and the default folder of a first installation.
#pragma once

#include "base/types.h"
#include "package/format.h"

// Path buffers hold at most this many UTF-16 units, terminator included.
const uint32_t kPathCapacity = 260;
// PreviousVersion: 31 units and a terminator (64 bytes).
const uint32_t kVersionCapacity = 32;
// Room for the uninstall key path: 52 fixed characters, at most
// kMaxProductNameUnits name bytes and the terminator.
const uint32_t kKeyPathCapacity = 128;

// IsFreshInstall: 1 when no earlier installation was found, 0 for an update.
extern int g_isFreshInstall;
// PreviousVersion: the earlier installation's DisplayVersion, always
// terminated; empty on a fresh install.
extern Char16 g_previousVersion[kVersionCapacity];

// Writes "SOFTWARE\Microsoft\Windows\CurrentVersion\Uninstall\" followed by
// the low byte of each unit of ProductName into `out`, which must hold
// kKeyPathCapacity bytes. Returns 0, or 1 (nothing usable written) when
// ProductName is longer than kMaxProductNameUnits.
int UninstallKeyPath(char* out);

// Looks for the product's uninstall entry in the registry view of the
// package. Writes its "InstallLocation" into `buffer` (emptied when missing)
// and its "DisplayVersion" into g_previousVersion. Returns 0 when an earlier
// installation exists (a DisplayVersion of 1 to 64 bytes was read), else 1.
int QueryInstalledCopy(Char16* buffer, uint32_t capacity);

// Reads the text value `name` of the product's uninstall entry into
// `buffer` of `capacity` units. Returns 0, or 1 with the buffer empty when
// there is no such entry or value.
int QueryUninstallValue(const char* name, Char16* buffer, uint32_t capacity);

// Fills the kPathCapacity-unit `buffer` with the default destination. With
// `useSetting` 0 or no DefaultFolder: the Program Files folder, returns 1
// (the caller appends the product folder). Otherwise the complete folder
// from DefaultFolder ("%ProgramFiles%..." or "%LocalAppData%..." prefixes,
// anything else expanded from the environment), returns 0. A folder that
// cannot be obtained or does not fit leaves the buffer empty.
int ResolveDefaultFolder(Char16* buffer, int useSetting);

// Reads "ProgramFilesDir" of the registry view into the kPathCapacity-unit
// `buffer`. Where the view has no such value, the environment's Program
// Files folder stands in: ProgramW6432 for the 64-bit view, ProgramFiles
// otherwise. The buffer is empty when neither is there.
void QueryProgramFilesDir(Char16* buffer);

// Compares the first `count` units with the letters A-Z folded to a-z;
// stops early at a terminator of `a` or at the first difference. Returns the
// difference of the last folded units compared, 0 when equal.
int CompareNoCase(const Char16* a, const Char16* b, uint32_t count);
