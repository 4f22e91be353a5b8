// The executable's own entry point: no language run-time start-up.
#include "platform/platform.h"
#include "startup/run_setup.h"

extern "C" void EntryPoint() {
  EndProcess(RunSetup(GetInstanceHandle(), 0, "", 10));
}
