// The executable's own entry point: no language run-time start-up.
#include "startup/entry.h"

#include "base/command_line.h"
#include "platform/platform.h"
#include "startup/run_setup.h"

static const uint32_t kStartfUseShowWindow = 1;
static const uint32_t kSwShowDefault = 10;

const char* FindCommandTail(const char* line) {
  return reinterpret_cast<const char*>(SkipProgramName(reinterpret_cast<const signed char*>(line)));
}

extern "C" void EntryPoint() {
  const char* tail = FindCommandTail(GetCommandLine8());
  uint32_t flags = 0;
  uint16_t showWindow = 0;
  QueryStartupInfo(&flags, &showWindow);
  uint32_t showCommand = (flags & kStartfUseShowWindow) ? showWindow : kSwShowDefault;
  EndProcess(RunSetup(GetInstanceHandle(), 0, tail, showCommand));
}
