// The install without any window, selected by the -s or /s switch.
#pragma once

// Installs into the earlier installation's folder (an update) or into the
// default folder (ProductName appended unless DefaultFolder names the whole
// folder), creating the folder's last level when missing, closing the
// running product and writing the files with both shortcuts on a fresh
// install. Returns InstallFiles' result (0 success, 1 failure), or 1 when
// there is no folder, it does not fit a path buffer or cannot be created.
int SilentInstall();
