// The uninstaller's own entry point: no language run-time start-up.
#include "package/load.h"
#include "platform/platform.h"
#include "startup/run_setup.h"
#include "uninstall/uninstaller.h"

// The product as its records describe it (see PrepareCatalogue).
Catalogue* g_package;
MachineState g_machine;

extern "C" void EntryPoint() { EndProcess(RunUninstaller(FindCommandTail16(GetCommandLine16()))); }
