// The generated uninstaller: installed as
// "<folder>\uninstall\<ProductName>\uninstall.exe" beside the product's
// records, it asks, closes the running product and hands the removal to a
// private copy of itself in the temporary folder, which can delete the
// uninstaller's own file and folders once it has ended.
#pragma once

#include "base/command_line.h"
#include "base/types.h"

// Exit codes: removed or cancelled; not started (no administrator rights, no
// usable record, or, silently, the product still running after the wait);
// something could not be removed.
const uint32_t kExitRemoved = 0;
const uint32_t kExitNotStarted = 1;
const uint32_t kExitIncomplete = 2;

// Runs the uninstaller for the tail of its command line (after the program
// name): "-s" or "/s" removes without asking and without any box (what
// stops it goes to standard error);
// "--remove ..." is the temporary copy's part. Returns the exit code.
uint32_t RunUninstaller(const Char16* tail);

// The tail of a UTF-16 command line: after the program name (quoted or
// not) and the blanks that follow it.
inline const Char16* FindCommandTail16(const Char16* line) { return SkipProgramName(line); }
