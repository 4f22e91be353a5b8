// The install without any window, selected by the -s or /s switch.
#pragma once

// Installs into the earlier installation's folder (an update) or into the
// default folder (ProductName appended unless DefaultFolder names the whole
// folder), creating the folder with its missing parents, closing the
// running product and writing the files with both shortcuts on a fresh
// install. Returns InstallFiles' result (0 success, 1 failure), or 1 when
// there is no folder, it leaves no room for the main executable in a path
// buffer or cannot be created.
int SilentInstall();
