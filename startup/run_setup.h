// The installer's main routine and its start-up gates.
#pragma once

#include "base/types.h"
#include "package/package.h"

// The loaded package: set by RunSetup from LoadPackage, null before and when
// the package is damaged. Lives until the process exits.
extern Catalogue* g_package;

// Loads the package, applies the gates in their fixed order (package intact,
// Windows version, architecture, then, after selecting the language,
// administrator rights), initialises COM and runs the silent install for a
// tail starting with -s or /s (either case), else the wizard. Before all
// that, restricts the library search to the system directory. A gate's
// message is a box, or in the silent mode a line on standard error (no box
// at all). `reserved` and `showCommand` are not used. Returns the process
// exit code: kExitGateStopped when a gate stopped the run or a silent run
// found the product still running, kExitInstallFailed when an installation
// was attempted and failed (a silent install whose folder could not be
// made, or a failed InstallFiles), else 0 (also after Cancel).
const uint32_t kExitGateStopped = 1;
const uint32_t kExitInstallFailed = 2;

uint32_t RunSetup(void* instance, uint32_t reserved, const char* tail, uint32_t showCommand);

// Shows "This setup can only be installed on Windows %s!" with the
// architectures set in `architectures` (bits 1, 2, 4, 8: x86, x64, arm64,
// arm) listed in that order and separated by "/", through
// ReportStartupError.
void ReportArchMismatch(uint32_t architectures);
