#include "install/silent_install.h"

#include "base/text.h"
#include "install/extract.h"
#include "install/location.h"
#include "install/sequence.h"
#include "platform/platform.h"
#include "startup/message.h"
#include "startup/run_setup.h"

uint32_t SilentInstall() {
  Char16 path[kPathCapacity];
  path[0] = 0;
  g_isFreshInstall = QueryInstalledCopy(path, kPathCapacity);
  if (g_isFreshInstall && ResolveDefaultFolder(path, 1) != 0 && path[0] != 0 &&
      (AppendSeparator(path, kPathCapacity) != 0 ||
       AppendText(path, kPathCapacity, Setting(g_package, kProductName)) != 0)) {
    return kExitInstallFailed;
  }
  // No folder at all (an update entry without InstallLocation, or nothing
  // resolved) or one too long for the buffer: nothing to install into.
  if (path[0] == 0 || AppendSeparator(path, kPathCapacity) != 0) return kExitInstallFailed;
  uint32_t namePosition = static_cast<uint32_t>(TextLength(path));
  if (!FitsMainExecutable(namePosition)) return kExitInstallFailed;
  // Another product's uninstall records: nothing is written.
  if (HoldsOtherProduct(path)) return kExitInstallFailed;
  // A product that will not close stops the run before anything is made.
  if (CloseRunningInstances(0) != 0) {
    ReportStartupError(kProductStillRunning);
    return kExitGateStopped;
  }
  if (!IsExistingFolder(path) && CreateFolderTree(path) != 0) return kExitInstallFailed;
  if (FixLaunchTarget(path, namePosition) != 0) return kExitInstallFailed;
  return InstallFiles(0, path, namePosition, 1) != 0 ? kExitInstallFailed : 0;
}
