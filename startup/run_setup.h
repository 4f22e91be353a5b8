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
// tail starting with -s or /s (either case), else the wizard. `reserved` and
// `showCommand` are not used. Returns the process exit code: 1 when a gate
// stopped the run, else 0 whatever the run mode's outcome.
uint32_t RunSetup(void* instance, uint32_t reserved, const char* tail, uint32_t showCommand);

// Shows "This setup can only be installed on Windows %s!" with the
// architectures set in `architectures` (bits 1, 2, 4, 8: x86, x64, arm64,
// arm) listed in that order and separated by "/". No owner, the system's
// default caption, an error icon.
void ReportArchMismatch(uint32_t architectures);
