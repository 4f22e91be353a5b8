#include "install/launch.h"

#include "install/location.h"
#include "install/shortcuts.h"
#include "platform/platform.h"
#include "startup/run_setup.h"

void LaunchProduct(const Char16* directory) {
  Char16 program[kLaunchCapacity];
  uint32_t needed = ExpandEnvironment(Setting(g_package, kLaunchTarget), program, kLaunchCapacity);
  if (needed == 0 || needed > kLaunchCapacity) return;
  if (ShellExecuteAsUser(program, directory) < 0) OpenWithShell(program, directory);
}
