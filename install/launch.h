// Starting the installed product when the wizard is left with Finish.
#pragma once

#include "base/types.h"

// Starts LaunchTarget with its environment references expanded (not split
// at blanks, no arguments) in `directory`, the folder the installation
// used: first through the desktop shell, so that it runs with the shell's
// rights rather than the installer's, and with ShellExecuteW "open" only
// when that fails. A target whose expansion does not fit kLaunchCapacity
// units is not started. The wizard calls it on Finish when its launch box
// is ticked.
void LaunchProduct(const Char16* directory);
