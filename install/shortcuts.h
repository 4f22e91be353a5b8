// The desktop and Start-menu shortcuts of a fresh install.
#pragma once

#include "base/types.h"

// Capacity of the shortcut target (the LaunchTarget text), terminator
// included.
const uint32_t kLaunchCapacity = 388;

// Creates ProductName + ".lnk" on the desktop (when `desktop` is non-zero)
// and in the all-users Programs folder, each after its log line, and tells
// the shell about each. Target: LaunchTarget as stored; a package
// LaunchTarget is split at its last blank into target and arguments and the
// link gets the icon of `folder` + MainExecutable. Working directory:
// `folder`, which ends in "\". A shortcut whose folder cannot be obtained or
// whose target, link path or icon path does not fit its buffer is skipped.
void CreateShortcuts(const Char16* folder, int desktop);
