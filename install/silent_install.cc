#include "install/silent_install.h"

#include "base/text.h"
#include "install/extract.h"
#include "install/location.h"
#include "install/sequence.h"
#include "platform/platform.h"
#include "startup/run_setup.h"

int SilentInstall() {
  Char16 path[kPathCapacity];
  path[0] = 0;
  g_isFreshInstall = QueryInstalledCopy(path, kPathCapacity);
  if (g_isFreshInstall && ResolveDefaultFolder(path, 1) != 0 && path[0] != 0 &&
      (AppendSeparator(path, kPathCapacity) != 0 ||
       AppendText(path, kPathCapacity, Setting(g_package, kProductName)) != 0)) {
    return 1;
  }
  // No folder at all (an update entry without InstallLocation, or nothing
  // resolved) or one too long for the buffer: nothing to install into.
  if (path[0] == 0 || AppendSeparator(path, kPathCapacity) != 0) return 1;
  uint32_t namePosition = static_cast<uint32_t>(TextLength(path));
  if (!FitsMainExecutable(namePosition)) return 1;
  if (!IsExistingFolder(path) && CreateFolderTree(path) != 0) return 1;
  if (FixLaunchTarget(path, namePosition) != 0) return 1;
  CloseRunningInstances(0);
  return InstallFiles(0, path, namePosition, 1);
}
