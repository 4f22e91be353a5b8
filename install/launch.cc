#include "install/launch.h"

#include "install/location.h"
#include "install/shortcuts.h"
#include "platform/platform.h"
#include "startup/run_setup.h"
#include "wizard/wizard.h"

void LaunchProduct(void* window) {
  if (!IsItemChecked(window, kLaunchBox)) return;
  Char16 program[kLaunchCapacity];
  uint32_t needed = ExpandEnvironment(Setting(g_package, kLaunchTarget), program, kLaunchCapacity);
  if (needed == 0 || needed > kLaunchCapacity) return;
  Char16 directory[kPathCapacity + 1];
  ReadPathField(window, directory, kPathCapacity);
  if (ShellExecuteAsUser(program, directory) < 0) OpenWithShell(program, directory);
}
