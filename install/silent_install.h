// The install without any window, selected by the -s or /s switch.
#pragma once

#include "base/types.h"

// Installs into the earlier installation's folder (an update) or into the
// default folder (ProductName appended unless DefaultFolder names the whole
// folder): closes the running product, creates the folder with its missing
// parents and writes the files with both shortcuts on a fresh install.
// Returns the exit code: 0 installed; kExitGateStopped when the product
// was still running after the close requests and the wait (nothing is
// changed then); kExitInstallFailed when there is no folder, it leaves no
// room for the main executable in a path buffer, cannot be created, or
// InstallFiles failed.
uint32_t SilentInstall();
